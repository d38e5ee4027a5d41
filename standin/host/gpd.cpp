#include "standin/host/gpd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace standin {

namespace {

constexpr int kMaxIncludeDepth = 8;

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

enum class Read { kOk, kMissing, kRefused };

// Reads a regular file of at most `budget` bytes, taking what it reads off
// the budget. Anything else (a device, a FIFO, a folder) is refused before
// it is opened: reading one may never end. On kRefused, `why` says why.
Read ReadText(const std::string& path, long long& budget, std::string& text, std::string& why) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) return Read::kMissing;
    if (!std::filesystem::is_regular_file(status)) {
        why = "not a regular file";
        return Read::kRefused;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) return Read::kMissing;
    text.clear();
    char chunk[16384];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        const long long n = in.gcount();
        if (n > budget) {
            why = "more than " + std::to_string(kMaxGpdBytes) + " bytes of GPD text in all";
            return Read::kRefused;
        }
        budget -= n;
        text.append(chunk, static_cast<size_t>(n));
    }
    if (in.bad()) {
        why = "read error";
        return Read::kRefused;
    }
    return Read::kOk;
}

std::string DirOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// One line's text without its comment: "*%" at the start or after
// whitespace, outside a string.
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        if (!quoted && line[i] == '*' && i + 1 < line.size() && line[i + 1] == '%' &&
            (i == 0 || std::isspace(static_cast<unsigned char>(line[i - 1]))))
            return line.substr(0, i);
    }
    return line;
}

// What reading one GPD has taken in so far, its includes counted.
struct ReadState {
    long long bytesLeft = kMaxGpdBytes;
    int includes = 0;
    std::set<std::string> reading;  // the files of the includes being read, canonical
};

class Parser {
public:
    Parser(Gpd& gpd, ReadState& state, std::string& error) : gpd_(gpd), state_(state), error_(error) {}

    // Entries go into `into`; `nesting` blocks are open around it.
    bool Parse(const std::string& text, const std::string& file, const std::string& dir, int depth,
               std::vector<GpdEntry>& into, int nesting) {
        // The stack of open blocks; the root first. Each holds the line of its '{'.
        std::vector<std::pair<std::vector<GpdEntry>*, int>> open{{&into, 0}};
        std::istringstream lines(text);
        std::string raw;
        int number = 0;
        bool lastWasEntry = false;
        while (std::getline(lines, raw)) {
            ++number;
            std::string line = StripComment(raw);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            line = Trim(line);
            if (line.empty()) continue;
            if (line[0] == '+') {  // a string's continuation
                std::vector<GpdEntry>& level = *open.back().first;
                if (!lastWasEntry || level.empty()) return Fail(file, number, "'+' continues no entry");
                level.back().value += " " + Trim(line.substr(1));
                continue;
            }
            size_t pos = 0;
            while (pos < line.size()) {
                const char c = line[pos];
                if (std::isspace(static_cast<unsigned char>(c))) {
                    ++pos;
                } else if (c == '{') {
                    std::vector<GpdEntry>& level = *open.back().first;
                    if (!lastWasEntry || level.empty() || level.back().block)
                        return Fail(file, number, "'{' follows no entry");
                    // Entries are freed recursively: the depth must stay small.
                    if (nesting + static_cast<int>(open.size()) > kMaxGpdNesting)
                        return Fail(file, number, "blocks nested deeper than " + std::to_string(kMaxGpdNesting));
                    level.back().block = true;
                    open.push_back({&level.back().children, number});
                    lastWasEntry = false;
                    ++pos;
                } else if (c == '}') {
                    if (open.size() == 1) return Fail(file, number, "'}' closes no open brace");
                    open.pop_back();
                    lastWasEntry = false;
                    ++pos;
                } else if (c == '*' || line.compare(pos, 14, "EXTERN_GLOBAL:") == 0) {
                    GpdEntry entry;
                    if (!Entry(line, pos, file, number, entry)) return false;
                    if (entry.keyword == "Include") {
                        if (!Include(entry, dir, depth, *open.back().first, nesting + static_cast<int>(open.size()) - 1))
                            return false;
                        lastWasEntry = false;
                        continue;
                    }
                    open.back().first->push_back(std::move(entry));
                    lastWasEntry = true;
                } else {
                    return Fail(file, number, "unexpected text: " + line.substr(pos));
                }
            }
        }
        if (open.size() > 1) return Fail(file, open.back().second, "'{' is never closed");
        return true;
    }

private:
    bool Fail(const std::string& file, int line, const std::string& what) {
        error_ = Where(file, line) + what;
        return false;
    }

    // `*Keyword: value`, up to a brace or another entry outside quotes and
    // parentheses, or the line's end.
    bool Entry(const std::string& line, size_t& pos, const std::string& file, int number, GpdEntry& entry) {
        if (line.compare(pos, 14, "EXTERN_GLOBAL:") == 0) {
            pos += 14;
            while (pos < line.size() && std::isspace(static_cast<unsigned char>(line[pos]))) ++pos;
            if (pos >= line.size() || line[pos] != '*') return Fail(file, number, "EXTERN_GLOBAL: needs an entry");
        }
        const size_t colon = line.find(':', pos);
        const size_t stop = line.find_first_of(" \t{}", pos);
        if (colon == std::string::npos || (stop != std::string::npos && stop < colon))
            return Fail(file, number, "expected '*Keyword:' at " + line.substr(pos));
        entry.keyword = line.substr(pos + 1, colon - pos - 1);
        entry.file = file;
        entry.line = number;
        size_t end = colon + 1;
        int depth = 0;
        bool quoted = false;
        for (; end < line.size(); ++end) {
            const char c = line[end];
            if (c == '"') quoted = !quoted;
            if (quoted) continue;
            if (c == '(') ++depth;
            if (c == ')') --depth;
            if (depth == 0 && (c == '{' || c == '}')) break;
            if (depth == 0 && c == '*' && std::isspace(static_cast<unsigned char>(line[end - 1]))) break;
        }
        if (quoted) return Fail(file, number, "*" + entry.keyword + ": unterminated string");
        entry.value = Trim(line.substr(colon + 1, end - colon - 1));
        if (entry.keyword.empty()) return Fail(file, number, "an entry without a keyword");
        if (entry.value.empty()) return Fail(file, number, "*" + entry.keyword + " has no value");
        pos = end;
        return true;
    }

    bool Include(const GpdEntry& entry, const std::string& dir, int depth, std::vector<GpdEntry>& level,
                 int nesting) {
        std::string name = entry.value;
        if (name.size() >= 2 && name.front() == '"' && name.back() == '"') name = name.substr(1, name.size() - 2);
        const std::string path = dir + "/" + name;
        auto fail = [&](const std::string& what) { return Fail(entry.file, entry.line, "*Include " + name + ": " + what); };
        std::error_code ec;
        const std::filesystem::path canonical = std::filesystem::weakly_canonical(path, ec);
        const std::string key = ec ? path : canonical.string();
        if (state_.reading.count(key)) return fail("includes itself, directly or through another file");
        std::string text, why;
        switch (ReadText(path, state_.bytesLeft, text, why)) {
        case Read::kMissing:
            gpd_.notes.push_back(Where(entry.file, entry.line) + "*Include " + name + " is not at hand; skipped");
            return true;
        case Read::kRefused: return fail(why);
        case Read::kOk: break;
        }
        if (depth >= kMaxIncludeDepth) return Fail(entry.file, entry.line, "*Include nested too deep");
        if (state_.includes >= kMaxGpdIncludes)
            return fail("more than " + std::to_string(kMaxGpdIncludes) + " includes in all");
        ++state_.includes;
        state_.reading.insert(key);
        Parser inner(gpd_, state_, error_);
        const bool ok = inner.Parse(text, name, DirOf(path), depth + 1, level, nesting);
        state_.reading.erase(key);
        return ok;
    }

    Gpd& gpd_;
    ReadState& state_;
    std::string& error_;
};

// Values.

const GpdEntry* Last(const std::vector<GpdEntry>& entries, const char* keyword, const char* value = nullptr) {
    const GpdEntry* found = nullptr;
    for (const GpdEntry& e : entries)
        if (e.keyword == keyword && (!value || e.value == value)) found = &e;  // later duplicates win
    return found;
}

// The range of a plain GPD number, and of an identifier or count.
constexpr long long kMinNumber = INT32_MIN, kMaxNumber = INT32_MAX, kMaxUnsigned = UINT32_MAX;

bool Number(const GpdEntry& e, const std::string& text, long long& value, std::string& error,
            long long min = kMinNumber, long long max = kMaxNumber) {
    const std::string t = Trim(text);
    char* end = nullptr;
    errno = 0;
    const bool hex = t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X');
    value = std::strtoll(t.c_str(), &end, hex ? 16 : 10);
    if (t.empty() || *end != '\0') {
        error = Where(e.file, e.line) + "*" + e.keyword + " expects a number, not " + t;
        return false;
    }
    if (errno == ERANGE || value < min || value > max) {
        error = Where(e.file, e.line) + "*" + e.keyword + ": " + t + " is out of range, " + std::to_string(min) +
                " to " + std::to_string(max);
        return false;
    }
    return true;
}

bool Pair(const GpdEntry& e, long long& a, long long& b, std::string& error) {
    const std::string& v = e.value;
    const size_t comma = v.find(',');
    if (v.compare(0, 5, "PAIR(") != 0 || v.back() != ')' || comma == std::string::npos) {
        error = Where(e.file, e.line) + "*" + e.keyword + " expects PAIR(a, b), not " + v;
        return false;
    }
    return Number(e, v.substr(5, comma - 5), a, error) && Number(e, v.substr(comma + 1, v.size() - comma - 2), b, error);
}

// A command string: quoted parts, <hex> bytes, %% for a percent sign.
bool Bytes(const GpdEntry& e, std::vector<BYTE>& bytes, std::string& error) {
    const std::string& v = e.value;
    auto fail = [&](const std::string& what) {
        error = Where(e.file, e.line) + "*" + e.keyword + ": " + what;
        return false;
    };
    size_t i = 0;
    while (i < v.size()) {
        if (std::isspace(static_cast<unsigned char>(v[i]))) { ++i; continue; }
        if (v[i] != '"') return fail("expects a quoted string");
        for (++i; i < v.size() && v[i] != '"'; ++i) {
            if (v[i] == '<') {
                const size_t close = v.find('>', i);
                if (close == std::string::npos) return fail("unclosed <hex>");
                std::string hex;
                for (size_t k = i + 1; k < close; ++k)
                    if (!std::isspace(static_cast<unsigned char>(v[k]))) hex += v[k];
                if (hex.size() % 2 != 0 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
                    return fail("bad <hex> bytes");
                for (size_t k = 0; k < hex.size(); k += 2)
                    bytes.push_back(static_cast<BYTE>(std::strtol(hex.substr(k, 2).c_str(), nullptr, 16)));
                i = close;
            } else if (v[i] == '%') {
                if (i + 1 >= v.size() || v[i + 1] != '%') return fail("command parameters are not run by this host");
                bytes.push_back('%');
                ++i;
            } else {
                bytes.push_back(static_cast<BYTE>(v[i]));
            }
        }
        if (i >= v.size()) return fail("unterminated string");
        ++i;
    }
    return true;
}

const char* const kSections[] = {"JOB_SETUP", "DOC_SETUP", "PAGE_SETUP", "PAGE_FINISH", "DOC_FINISH", "JOB_FINISH"};

bool Command(const GpdEntry& e, GpdCommand& command, std::string& error) {
    command.name = e.value;
    for (const GpdEntry& a : e.children) {
        if (a.keyword == "CallbackID") {
            long long id = 0;
            if (!Number(a, a.value, id, error, 0, kMaxUnsigned)) return false;
            command.callback = true;
            command.callbackId = static_cast<DWORD>(id);
        } else if (a.keyword == "Cmd") {
            command.bytes.clear();
            if (!Bytes(a, command.bytes, error)) return false;
        } else if (a.keyword == "Order") {
            const size_t dot = a.value.find('.');
            command.section = a.value.substr(0, dot);
            long long order = 0;
            if (std::find(std::begin(kSections), std::end(kSections), command.section) == std::end(kSections) ||
                dot == std::string::npos || !Number(a, a.value.substr(dot + 1), order, error)) {
                error = Where(a.file, a.line) + "*Order expects SECTION.n, not " + a.value;
                return false;
            }
            command.order = static_cast<long>(order);
        }
    }
    if (!e.block && !command.callback && command.bytes.empty()) {
        error = Where(e.file, e.line) + "*Command " + e.value + " has no block";
        return false;
    }
    return true;
}

long SectionRank(const std::string& section) {
    return std::find(std::begin(kSections), std::end(kSections), section) - std::begin(kSections);
}

// The option of a feature: the named one, else the feature's default.
const GpdEntry* Selected(const GpdEntry& feature, const std::string& name, std::string& error) {
    std::string want = name;
    if (want.empty()) {
        const GpdEntry* d = Last(feature.children, "DefaultOption");
        if (d) want = d->value;
    }
    const GpdEntry* option = nullptr;
    for (const GpdEntry& e : feature.children)
        if (e.keyword == "Option" && (want.empty() || e.value == want) && !option) option = &e;
    if (!option) error = Where(feature.file, feature.line) + "feature " + feature.value + " has no option " + want;
    return option;
}

// Master units to dots. Every value is within 32 bits, so 64 hold the product.
long long Dots(long long masterUnits, long long value, long long dpi) { return value * dpi / masterUnits; }

}  // namespace

namespace {

bool Parse(const std::string& text, const std::string& file, const std::string& dir, ReadState& state, Gpd& gpd,
           std::string& error) {
    gpd.file = file;
    if (static_cast<long long>(text.size()) > state.bytesLeft) {
        error = file + ": more than " + std::to_string(kMaxGpdBytes) + " bytes of GPD text in all";
        return false;
    }
    state.bytesLeft -= static_cast<long long>(text.size());
    std::error_code ec;
    const std::filesystem::path self = std::filesystem::weakly_canonical(dir + "/" + file, ec);
    if (!ec) state.reading.insert(self.string());
    Parser parser(gpd, state, error);
    return parser.Parse(text, file, dir, 0, gpd.entries, 0);
}

}  // namespace

bool ParseGpd(const std::string& text, const std::string& file, const std::string& dir, Gpd& gpd,
              std::string& error) {
    ReadState state;
    return Parse(text, file, dir, state, gpd, error);
}

bool ReadGpd(const std::string& path, Gpd& gpd, std::string& error) {
    ReadState state;
    std::string text, why;
    switch (ReadText(path, state.bytesLeft, text, why)) {
    case Read::kMissing: error = "cannot read " + path; return false;
    case Read::kRefused: error = "cannot read " + path + ": " + why; return false;
    case Read::kOk: break;
    }
    state.bytesLeft = kMaxGpdBytes;  // counted again as the text is parsed
    return Parse(text, BaseOf(path), DirOf(path), state, gpd, error);
}

LONG GpdSetup::PageHeight(LONG tallest) const {
    return std::max(height, std::min(maxHeight, tallest));
}

const GpdCommand* GpdSetup::Find(const char* name) const {
    for (const GpdCommand& c : commands)
        if (c.name == name) return &c;
    return nullptr;
}

bool SetupFromGpd(const Gpd& gpd, const std::string& paper, GpdSetup& setup, std::string& error) {
    setup = GpdSetup{};
    const std::vector<GpdEntry>& root = gpd.entries;
    auto fail = [&](const std::string& what) {
        error = gpd.file + ": " + what;
        return false;
    };
    auto failAt = [&](const GpdEntry& e, const std::string& what) {
        error = Where(e.file, e.line) + what;
        return false;
    };
    if (root.empty() || root.front().keyword != "GPDSpecVersion")
        return fail("*GPDSpecVersion must be the first entry");
    const GpdEntry* model = Last(root, "ModelName");
    if (model) setup.model = model->value.size() >= 2 ? model->value.substr(1, model->value.size() - 2) : model->value;
    const GpdEntry* master = Last(root, "MasterUnits");
    if (!master) return fail("no *MasterUnits");
    long long masterX = 0, masterY = 0;
    if (!Pair(*master, masterX, masterY, error)) return false;
    if (masterX <= 0 || masterY <= 0) return fail("*MasterUnits must be positive");
    const GpdEntry* space = Last(root, "UseSpaceForXMove?");
    setup.spaceForXMove = !space || space->value != "FALSE";
    setup.notes = gpd.notes;

    for (const GpdEntry& e : root) {
        if (e.keyword != "Command") continue;
        GpdCommand command;
        if (!Command(e, command, error)) return false;
        setup.commands.push_back(command);
    }

    const GpdEntry* resolution = Last(root, "Feature", "Resolution");
    const GpdEntry* paperSize = Last(root, "Feature", "PaperSize");
    const GpdEntry* colorMode = Last(root, "Feature", "ColorMode");
    if (!resolution) return fail("no Resolution feature");
    if (!paperSize) return fail("no PaperSize feature");
    if (!colorMode) return fail("no ColorMode feature: Unidrv's default sends its own raster and no band to ImageProcessing");

    // Every colour mode must hand its bands to the plug-in.
    for (const GpdEntry& option : colorMode->children)
        if (option.keyword == "Option" && !Last(option.children, "IPCallbackID"))
            return failAt(option, "colour mode " + option.value + " has no *IPCallbackID");
    std::string names;
    for (const GpdEntry& option : paperSize->children) {
        if (option.keyword != "Option") continue;
        setup.papers.push_back(option.value);
        names += (names.empty() ? "" : ", ") + option.value;
    }
    if (!paper.empty() && std::find(setup.papers.begin(), setup.papers.end(), paper) == setup.papers.end())
        return fail("no paper size " + paper + "; there are " + names);

    std::vector<std::pair<const GpdEntry*, const GpdEntry*>> selected;  // feature, option
    for (const GpdEntry& feature : root) {
        if (feature.keyword != "Feature") continue;
        const GpdEntry* option = Selected(feature, &feature == paperSize ? paper : std::string(), error);
        if (!option) return false;
        selected.push_back({&feature, option});
        for (const GpdEntry& e : option->children) {
            if (e.keyword != "Command") continue;
            GpdCommand command;
            if (!Command(e, command, error)) return false;
            setup.commands.push_back(command);
        }
    }
    auto option = [&](const GpdEntry* feature) {
        for (auto& s : selected)
            if (s.first == feature) return s.second;
        return static_cast<const GpdEntry*>(nullptr);
    };

    const GpdEntry* res = option(resolution);
    const GpdEntry* dpi = Last(res->children, "DPI");
    if (!dpi) return failAt(*res, "resolution " + res->value + " has no *DPI");
    long long dx = 0, dy = 0;
    if (!Pair(*dpi, dx, dy, error)) return false;
    if (dx <= 0 || dy <= 0 || masterX % dx != 0 || masterY % dy != 0)
        return failAt(*dpi, "*DPI must divide *MasterUnits");
    setup.dpiX = static_cast<LONG>(dx);
    setup.dpiY = static_cast<LONG>(dy);

    const GpdEntry* size = option(paperSize);
    setup.paper = size->value;
    long long w = 0, h = 0, height = 0, maxHeight = 0;
    if (size->value == "CUSTOMSIZE") {
        const GpdEntry* minSize = Last(size->children, "MinSize");
        const GpdEntry* maxSize = Last(size->children, "MaxSize");
        const GpdEntry* maxWidth = Last(size->children, "MaxPrintableWidth");
        if (!minSize || !maxSize || !maxWidth)
            return failAt(*size, "CUSTOMSIZE needs *MinSize, *MaxSize and *MaxPrintableWidth");
        long long minW = 0, minH = 0, maxW = 0, maxH = 0, printable = 0, left = 0, top = 0, bottom = 0;
        if (!Pair(*minSize, minW, minH, error) || !Pair(*maxSize, maxW, maxH, error) ||
            !Number(*maxWidth, maxWidth->value, printable, error))
            return false;
        for (auto [name, value] : {std::pair<const char*, long long*>{"MinLeftMargin", &left}, {"TopMargin", &top},
                                   {"BottomMargin", &bottom}}) {
            const GpdEntry* e = Last(size->children, name);
            if (e && !Number(*e, e->value, *value, error)) return false;
        }
        // The roll's width, less the left margin on both sides when centred.
        const GpdEntry* centre = Last(size->children, "CenterPrintable?");
        const long long margins = centre && centre->value == "TRUE" ? 2 * left : left;
        w = std::min(printable, maxW - margins);
        height = Dots(masterY, minH - top - bottom, dy);
        maxHeight = Dots(masterY, maxH - top - bottom, dy);
    } else {
        const GpdEntry* area = Last(size->children, "PrintableArea");
        if (!area) return failAt(*size, "paper size " + size->value + " has no *PrintableArea");
        if (!Pair(*area, w, h, error)) return false;
        height = maxHeight = Dots(masterY, h, dy);
    }
    const long long width = Dots(masterX, w, dx);
    if (width <= 0 || height <= 0 || maxHeight < height)
        return failAt(*size, "paper size " + size->value + " has no printable area");
    if (width > kMaxPageSide || maxHeight > kMaxPageSide)
        return failAt(*size, "paper size " + size->value + " is too large: " + std::to_string(width) + " x " +
                                 std::to_string(maxHeight) + " dots, the limit is " + std::to_string(kMaxPageSide) +
                                 " dots a side");
    setup.width = static_cast<LONG>(width);
    setup.height = static_cast<LONG>(height);
    setup.maxHeight = static_cast<LONG>(maxHeight);

    const GpdEntry* mode = option(colorMode);
    for (auto [name, value] : {std::pair<const char*, ULONG*>{"DrvBPP", &setup.drvBpp}, {"DevBPP", &setup.devBpp},
                               {"DevNumOfPlanes", &setup.devPlanes}}) {
        const GpdEntry* e = Last(mode->children, name);
        long long n = 0;
        if (e && !Number(*e, e->value, n, error, 0, kMaxUnsigned)) return false;
        if (e) *value = static_cast<ULONG>(n);
    }
    long long id = 0;
    const GpdEntry* ip = Last(mode->children, "IPCallbackID");
    if (!Number(*ip, ip->value, id, error, 0, kMaxUnsigned)) return false;
    setup.ipCallbackId = static_cast<DWORD>(id);

    for (const char* required : {"CmdCR", "CmdLF", "CmdFF", "CmdSendBlockData"})
        if (!setup.Find(required)) return fail(std::string("no *Command: ") + required);
    std::stable_sort(setup.commands.begin(), setup.commands.end(), [](const GpdCommand& a, const GpdCommand& b) {
        const long ra = SectionRank(a.section), rb = SectionRank(b.section);
        return ra != rb ? ra < rb : a.order < b.order;
    });
    return true;
}

bool LoadGpdSetup(const std::string& path, const std::string& paper, GpdSetup& setup, std::string& error) {
    Gpd gpd;
    return ReadGpd(path, gpd, error) && SetupFromGpd(gpd, paper, setup, error);
}

}  // namespace standin

#include "standin/host/gpd.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "standin/host/gpd_reader.h"

namespace standin {

namespace {

using gpd_internal::Trim;
using gpd_internal::Where;

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

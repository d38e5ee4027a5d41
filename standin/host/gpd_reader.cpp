// Reading GPD text: the files and their includes, and the tokenizer that
// makes the tree of entries.
#include "standin/host/gpd.h"

#include <cctype>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

#include "standin/host/gpd_reader.h"

namespace standin {

namespace gpd_internal {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string Where(const std::string& file, int line) { return file + ":" + std::to_string(line) + ": "; }

}  // namespace gpd_internal

namespace {

constexpr int kMaxIncludeDepth = 8;

using gpd_internal::Trim;
using gpd_internal::Where;

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

}  // namespace standin

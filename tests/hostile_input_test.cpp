// rasterprint and oeminfo on hostile and unusual input, as a user runs
// them: each case gives an exact exit status and first line on standard
// error, and leaves exactly the files it should. Natively and under Wine.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "tools/common/image.h"

namespace {

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }

#ifdef _WIN32
std::string ToolPath(const char* tool) {
    char self[MAX_PATH];
    const DWORD n = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string dir(self, n);
    return dir.substr(0, dir.find_last_of("\\/") + 1) + tool + ".exe";
}

std::string Dir() {
    static const std::string dir = [] {
        const std::string d = ::testing::TempDir() + "hostile-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(d.c_str(), nullptr);
        return d + "\\";
    }();
    return dir;
}

// Runs the tool in Dir() with standard input empty and the outputs caught.
Outcome Run(const std::string& tool, const std::vector<std::string>& args) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    const std::string outPath = Dir() + "stdout.txt", errPath = Dir() + "stderr.txt";
    HANDLE in =
        CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE out = CreateFileA(outPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    HANDLE err = CreateFileA(errPath.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr);
    std::string line = "\"" + tool + "\"";
    for (const std::string& a : args) line += " " + (a.find(' ') == std::string::npos ? a : "\"" + a + "\"");
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = in;
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi = {};
    Outcome o;
    if (CreateProcessA(tool.c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, Dir().c_str(), &si, &pi)) {
        WaitForSingleObject(pi.hProcess, 120000);
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        o.status = static_cast<int>(code);
        CloseHandle(pi.hProcess);
        CloseHandle(pi.hThread);
    }
    CloseHandle(in);
    CloseHandle(out);
    CloseHandle(err);
    o.out = Slurp(outPath);
    o.err = Slurp(errPath);
    return o;
}
#else
std::string ToolPath(const char* tool) {
    // A tools folder given in the environment, to run the table against
    // another build.
    const char* dir = std::getenv("HOSTILE_TOOLS_DIR");
    if (dir) return std::string(dir) + "/" + tool;
    return std::string(tool) == "rasterprint" ? RASTERPRINT_PATH : OEMINFO_PATH;
}

std::string Dir() {
    static const std::string dir = [] {
        const std::string d = ::testing::TempDir() + "hostile-" + std::to_string(getpid());
        mkdir(d.c_str(), 0777);
        chmod(d.c_str(), 0777);
        return d + "/";
    }();
    return dir;
}

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kMemoryCap = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kMemoryCap = false;
#else
constexpr bool kMemoryCap = true;
#endif
#else
constexpr bool kMemoryCap = true;
#endif

// Whether an ordinary user may reach a path: every folder on it is open to
// others (a build tree under a private folder is not).
bool OthersCanReach(const std::string& path) {
    for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        struct stat st;
        if (stat(path.substr(0, slash).c_str(), &st) != 0 || !(st.st_mode & S_IXOTH)) return false;
    }
    return true;
}

// Runs the tool in Dir() with standard input empty and the outputs caught,
// in a bounded address space (a tool that allocates what a header claims
// fails there), as an ordinary user when `unprivileged`.
Outcome Run(const std::string& tool, const std::vector<std::string>& args, bool unprivileged, unsigned memoryMB) {
    const std::string outPath = Dir() + "stdout.txt", errPath = Dir() + "stderr.txt";
    const pid_t pid = fork();
    if (pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (chdir(Dir().c_str()) != 0) _exit(126);
        if (kMemoryCap) {
            const rlimit memory = {rlim_t(memoryMB) << 20, rlim_t(memoryMB) << 20};
            setrlimit(RLIMIT_AS, &memory);
        }
        const rlimit cpu = {60, 60};
        setrlimit(RLIMIT_CPU, &cpu);
        if (unprivileged && geteuid() == 0 && OthersCanReach(tool) && OthersCanReach(Dir())) {
            const bool dropped = setgid(65534) == 0 && setuid(65534) == 0;
            (void)dropped;  // where no ordinary user can be had, the case runs as it is
        }
        std::vector<char*> argv = {const_cast<char*>(tool.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(tool.c_str(), argv.data());
        _exit(127);
    }
    int raw = 0;
    waitpid(pid, &raw, 0);
    Outcome o;
    o.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -WTERMSIG(raw);
    o.out = Slurp(outPath);
    o.err = Slurp(errPath);
    return o;
}
#endif

// Names in Dir() that look like an output's temporary.
std::vector<std::string> Temporaries() {
    std::vector<std::string> found;
    auto look = [&](const std::string& name) {
        if (name.size() > 4 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0) found.push_back(name);
    };
#ifdef _WIN32
    WIN32_FIND_DATAA entry;
    const HANDLE h = FindFirstFileA((Dir() + "*").c_str(), &entry);
    if (h == INVALID_HANDLE_VALUE) return found;
    do look(entry.cFileName);
    while (FindNextFileA(h, &entry));
    FindClose(h);
#else
    DIR* dir = opendir(Dir().c_str());
    if (!dir) return found;
    while (const dirent* entry = readdir(dir)) look(entry->d_name);
    closedir(dir);
#endif
    return found;
}

std::string FirstLine(std::string text) {
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::string BigEndian(std::uint32_t v) {
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const char* type, const std::string& data) {
    return BigEndian(static_cast<std::uint32_t>(data.size())) + type + data + BigEndian(0);
}

// A PNG whose header claims the size; its data is not needed to refuse it.
std::string PngClaiming(std::uint32_t width, std::uint32_t height, char colorType) {
    return std::string("\x89PNG\r\n\x1A\n", 8) +
           Chunk("IHDR", BigEndian(width) + BigEndian(height) + std::string{8, colorType, 0, 0, 0}) +
           Chunk("IDAT", std::string("\x78\x9C\x03\x00", 4)) + Chunk("IEND", "");
}

std::string Pbm(int width, int height, char fill) {
    return "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n" +
           std::string(size_t((width + 7) / 8) * size_t(height), fill);
}

// What the printer gets for `rows` rows of `dots` black dots.
std::string Rows(int rows, int dots) {
    std::string row = std::string("\x1B\x2E\x01\x00\x00\x01", 6) + char(dots & 0xFF) + char(dots >> 8);
    row += std::string(size_t(dots / 8), '\xFF');
    if (dots % 8) row += char(0xFF << (8 - dots % 8));
    std::string out;
    for (int i = 0; i < rows; ++i) out += row;
    return out;
}

const char kAbsent[] = "<absent>";

struct Expect {
    std::string file;
    std::string content;  // kAbsent: no such file
};

struct Case {
    const char* what;
    const char* tool;
    std::vector<std::string> args;
    int status;
    std::string message;  // the first line on standard error
    std::vector<Expect> files = {};
    std::string out = {};  // standard output
    std::function<void()> setup = {};
    bool unprivileged = false;
    unsigned memoryMB = 256;  // address space, where no sanitizer runs
};

void RunCases(const std::vector<Case>& cases) {
    for (const std::string& name : Temporaries()) std::remove((Dir() + name).c_str());  // an earlier run's
    for (size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case " << i << " (" << c.what << ")");
        for (const char* name : {"out.prn", "out.png", "out.prn.partial", "-"}) std::remove((Dir() + name).c_str());
        if (c.setup) c.setup();
#ifdef _WIN32
        const Outcome o = Run(ToolPath(c.tool), c.args);
#else
        const Outcome o = Run(ToolPath(c.tool), c.args, c.unprivileged, c.memoryMB);
#endif
        EXPECT_EQ(o.status, c.status) << o.err;
        EXPECT_EQ(FirstLine(o.err), c.message);
        std::string out = o.out;
        if (std::string(c.tool) == "oeminfo")  // text, with the platform's line ends
            for (size_t at; (at = out.find("\r\n")) != std::string::npos;) out.erase(at, 1);
        EXPECT_EQ(out, c.out);
        EXPECT_EQ(Temporaries(), std::vector<std::string>{}) << "a temporary is left behind";
        for (const Expect& e : c.files) {
            const bool exists = std::ifstream(Dir() + e.file).good();
            if (e.content == kAbsent) {
                EXPECT_FALSE(exists) << e.file << " is left behind";
            } else {
                EXPECT_EQ(Slurp(Dir() + e.file), e.content) << e.file;
            }
        }
    }
}

const char kLimit[] = "the limit is 268435456 dots, 65536 a side";

TEST(HostileInput, RefusedCleanlyOrPrintedRight) {
    Write(Dir() + "tall4.pbm", Pbm(4, 65536, 0));
    Write(Dir() + "tall1.pbm", Pbm(1, 65536, 0));
    Write(Dir() + "claims.pgm", "P5\n16384 16384\n255\n" + std::string(10, '\0'));
    Write(Dir() + "comment.pgm", std::string("P5 4 1 255# c\n\0\xFF\0\xFF", 18));
    Write(Dir() + "nospace.pgm", std::string("P5 2 1 255\0\0", 12));
    Write(Dir() + "trailing.pgm", std::string("P5 1 1 255\n\0junk", 16));
    Write(Dir() + "huge.png", PngClaiming(100000, 100000, 0));
    Write(Dir() + "zero.png", PngClaiming(0, 10, 0));
    Write(Dir() + "rgba.png", PngClaiming(16384, 16384, 6));
    Write(Dir() + "short.png", PngClaiming(8000, 8000, 0));
    Write(Dir() + "ok.pgm", "P5 8 2 255\n" + std::string(16, '\0'));
    Write(Dir() + "wide.pbm", Pbm(768, 2, '\xFF'));
    std::string error;
    ASSERT_TRUE(tools::WriteDots(Dir() + "small.png", 8, 8, std::vector<std::uint8_t>(64, 1), error)) << error;
    const std::string png = Slurp(Dir() + "small.png");
    const std::uint32_t idat = std::uint32_t(std::uint8_t(png[33])) << 24 | std::uint32_t(std::uint8_t(png[34])) << 16 |
                               std::uint32_t(std::uint8_t(png[35])) << 8 | std::uint8_t(png[36]);
    Write(Dir() + "cut.png", png.substr(0, 47));

    // A name of 250 bytes; on Windows, where a path without the long-path
    // prefix ends at MAX_PATH, as long as that allows (Wine has the 255
    // bytes of the Unix file system's names instead).
    size_t longest = 250;
#ifdef _WIN32
    if (!GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version"))
        longest = std::min(longest, size_t(MAX_PATH - 1) - Dir().size());
#endif
    const std::string longName = std::string(longest - 4, 'n') + ".prn";
    std::remove((Dir() + longName).c_str());
    const std::string ok = Rows(2, 8);
    const std::string stats = "rasterprint: 1 page, 1 bands, 2 rows sent, 18 bytes written, 0 rows trimmed";
    const std::vector<Expect> none = {{"out.prn", kAbsent}, {"out.png", kAbsent}};
    const std::vector<Case> cases = {
        {"--fit scales 4 x 65536 dots past the limit", "rasterprint", {"--fit", "tall4.pbm", "-o", "out.prn"}, 1,
         std::string("rasterprint: tall4.pbm scaled to 384 dots wide is too large (384x6291456): ") + kLimit, none},
        {"--fit scales 1 x 65536 dots past the limit", "rasterprint", {"--fit", "tall1.pbm", "-o", "out.prn"}, 1,
         std::string("rasterprint: tall1.pbm scaled to 384 dots wide is too large (384x25165824): ") + kLimit, none},
        {"a PGM header claims 16384 x 16384", "rasterprint", {"claims.pgm", "-o", "out.prn"}, 1,
         "rasterprint: claims.pgm is truncated: the raster needs 268435456 bytes, 10 are there", none},
        {"a comment right after the last header number", "rasterprint", {"comment.pgm", "-o", "out.prn"}, 0,
         "rasterprint: 1 page, 1 bands, 1 rows sent, 9 bytes written, 0 rows trimmed",
         {{"out.prn", std::string("\x1B\x2E\x01\x00\x00\x01\x04\x00\xA0", 9)}}},
        {"no whitespace byte before the raster", "rasterprint", {"nospace.pgm", "-o", "out.prn"}, 1,
         "rasterprint: nospace.pgm has no whitespace between its header and its raster", none},
        {"data after the last image", "rasterprint", {"trailing.pgm", "-o", "out.prn"}, 1,
         "rasterprint: trailing.pgm has 4 bytes after its last image that are not an image", none},
        {"a PNG claiming 100000 x 100000", "rasterprint", {"huge.png", "-o", "out.prn"}, 1,
         std::string("rasterprint: huge.png is too large (100000x100000): ") + kLimit, none},
        {"a PNG claiming 0 x 10", "rasterprint", {"zero.png", "-o", "out.prn"}, 1,
         "rasterprint: zero.png has a zero-sized image (0x10)", none},
        {"a 16384 x 16384 RGBA PNG", "rasterprint", {"rgba.png", "-o", "out.prn"}, 1,
         "rasterprint: rgba.png is too large to decode (16384x16384): the decoder would take 1073741824 bytes, the "
         "limit is 268435456",
         none},
        {"a PNG whose data cannot hold its size", "rasterprint", {"short.png", "-o", "out.prn"}, 1,
         "rasterprint: short.png is truncated: 4 bytes of image data cannot hold 8000x8000 dots", none},
        {"a truncated PNG", "rasterprint", {"cut.png", "-o", "out.prn"}, 1,
         "rasterprint: cut.png is truncated: its IDAT chunk at byte 33 needs " + std::to_string(idat + 12) +
             " bytes, 14 are there",
         none},
        {"--depth 8 prints nothing", "rasterprint", {"--depth", "8", "ok.pgm", "-o", "out.prn", "--preview", "out.png"},
         1, "rasterprint: the plug-in printed nothing: it prints 1-bit rendering only (--depth 1)", none},
        {"a preview that cannot be written", "rasterprint", {"ok.pgm", "-o", "out.prn", "--preview", "nodir/x.png"}, 1,
         "rasterprint: cannot create nodir/x.png: No such file or directory", none},
        {"a page wider than the printer", "rasterprint", {"wide.pbm", "-o", "out.prn"}, 0,
         "rasterprint: warning: wide.pbm is 768 dots wide; the printer prints its left 384 (--fit scales it to the "
         "width)",
         {{"out.prn", Rows(2, 384)}}},
        {"-o - is standard output", "rasterprint", {"ok.pgm", "-o", "-"}, 0, stats, {{"-", kAbsent}}, ok},
        {"a name as long as the system takes", "rasterprint", {"ok.pgm", "-o", longName}, 0, stats, {{longName, ok}}},
        {"a user's own FILE.partial is left alone", "rasterprint", {"ok.pgm", "-o", "out.prn"}, 0, stats,
         {{"out.prn", ok}, {"out.prn.partial", "mine"}}, "", [] { Write(Dir() + "out.prn.partial", "mine"); }},
        {"oeminfo --help", "oeminfo", {"--help"}, 0, "", {},
         "usage: oeminfo [MODULE]\nLoads a plug-in module (default: the one built with this tool) and prints\nwhat "
         "it reports in the host's handshake.\n"},
        {"oeminfo --bogus", "oeminfo", {"--bogus"}, 2, "oeminfo: unknown option --bogus"},
#ifdef _WIN32
        {"-o NUL", "rasterprint", {"ok.pgm", "-o", "NUL"}, 0, stats},
        {"-o nul.prn", "rasterprint", {"ok.pgm", "-o", "nul.prn"}, 0, stats},
        {"-o \\\\.\\NUL", "rasterprint", {"ok.pgm", "-o", "\\\\.\\NUL"}, 0, stats},
        {"-o COM9, a port that is not there", "rasterprint", {"ok.pgm", "-o", "COM9"}, 1,
         "rasterprint: cannot open COM9: No such file or directory"},
#else
        {"an input without end", "rasterprint", {"/dev/zero", "-o", "out.prn"}, 1,
         "rasterprint: /dev/zero is too large: more than 268435456 bytes, the limit for an input", none, "", nullptr,
         false, 1024},
        {"-o a symbolic link", "rasterprint", {"ok.pgm", "-o", "out.prn"}, 0, stats, {{"target.prn", ok}}, "",
         [] {
             std::remove((Dir() + "target.prn").c_str());
             Write(Dir() + "target.prn", "old");
             ASSERT_EQ(symlink("target.prn", (Dir() + "out.prn").c_str()), 0);
         }},
        {"-o a hard link", "rasterprint", {"ok.pgm", "-o", "out.prn"}, 0, stats, {{"other.prn", ok}}, "",
         [] {
             std::remove((Dir() + "other.prn").c_str());
             Write(Dir() + "other.prn", "old");
             ASSERT_EQ(link((Dir() + "other.prn").c_str(), (Dir() + "out.prn").c_str()), 0);
         }},
        {"-o a file in a read-only folder", "rasterprint", {"ok.pgm", "-o", "ro/out.prn"}, 0, stats,
         {{"ro/out.prn", ok}}, "",
         [] {
             mkdir((Dir() + "ro").c_str(), 0777);
             chmod((Dir() + "ro").c_str(), 0777);
             Write(Dir() + "ro/out.prn", "old");
             chmod((Dir() + "ro/out.prn").c_str(), 0666);
             chmod((Dir() + "ro").c_str(), 0555);
         },
         true},
#endif
    };
    RunCases(cases);
}

}  // namespace

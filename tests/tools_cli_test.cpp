// rasterprint and rasterview as a person runs them: exit codes, messages,
// files left behind, and what comes back out of a printed image.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string kPrint = RASTERPRINT_PATH;
const std::string kView = RASTERVIEW_PATH;

struct Outcome {
    int status;
    std::string err;
};

std::string Dir() {
    static const std::string dir = [] {
        std::string d = ::testing::TempDir() + "rastertools-" + std::to_string(getpid());
        std::system(("mkdir -p " + d).c_str());
        return d + "/";
    }();
    return dir;
}

Outcome Shell(const std::string& command) {
    const std::string errFile = Dir() + "stderr.txt";
    const int raw = std::system((command + " 2>" + errFile).c_str());
    std::ifstream in(errFile);
    std::stringstream err;
    err << in.rdbuf();
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, err.str()};
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool Exists(const std::string& path) { return std::ifstream(path).good(); }

void Write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

// A P4 image with a repeatable pattern and ink in its first and last rows,
// so that nothing is trimmed on the way through.
std::string Pbm(int width, int height) {
    std::string out = "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n";
    const int rowBytes = (width + 7) / 8;
    unsigned state = 12345;
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < rowBytes; ++x) {
            state = state * 1103515245u + 12345u;
            unsigned char b = static_cast<unsigned char>(state >> 16);
            if (x == 0) b |= 0x40;
            if (x == rowBytes - 1 && width % 8) b &= static_cast<unsigned char>(0xFF << (8 - width % 8));
            out.push_back(static_cast<char>(b));
        }
    }
    return out;
}

TEST(RasterTools, PrintedImagesComeBackDotForDot) {
    const std::string page = Dir() + "page.pbm";
    Write(page, Pbm(384, 70));
    for (const char* path : {"capture", "filter"}) {
        SCOPED_TRACE(path);
        const std::string prn = Dir() + "page-" + path + ".prn", back = Dir() + "back-" + path + ".pbm";
        Outcome run = Shell(kPrint + " --path " + path + " --band-rows 16 " + page + " -o " + prn);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_NE(run.err.find("1 page, 5 bands, 70 rows sent, " + std::to_string(70 * 56) + " bytes written"),
                  std::string::npos)
            << run.err;
        run = Shell(kView + " " + prn + " -o " + back);
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Slurp(back) == Slurp(page)) << "the dots differ";
    }
}

TEST(RasterTools, StandardInputAndStandardOutput) {
    const std::string page = Dir() + "stdin.pbm";
    Write(page, Pbm(200, 30));
    ASSERT_EQ(Shell(kPrint + " " + page + " -o " + Dir() + "by-path.prn").status, 0);
    const Outcome run = Shell("cat " + page + " | " + kPrint + " - > " + Dir() + "by-stdin.prn");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Slurp(Dir() + "by-stdin.prn"), Slurp(Dir() + "by-path.prn"));
    EXPECT_EQ(Slurp(Dir() + "by-path.prn").size(), 30u * (8 + 25));

    const Outcome view = Shell("cat " + Dir() + "by-path.prn | " + kView + " --summary - > " + Dir() + "summary.txt");
    ASSERT_EQ(view.status, 0) << view.err;
    EXPECT_NE(Slurp(Dir() + "summary.txt").find("widths: 200 dots x 30"), std::string::npos);
}

TEST(RasterTools, WidePagesAreClampedOrFitted) {
    const std::string page = Dir() + "wide.pbm";
    Write(page, Pbm(768, 40));
    ASSERT_EQ(Shell(kPrint + " " + page + " -o " + Dir() + "clamped.prn").status, 0);
    ASSERT_EQ(Shell(kView + " --summary " + Dir() + "clamped.prn > " + Dir() + "clamped.txt").status, 0);
    EXPECT_NE(Slurp(Dir() + "clamped.txt").find("rows: 40\nwidths: 384 dots x 40"), std::string::npos)
        << Slurp(Dir() + "clamped.txt");

    ASSERT_EQ(Shell(kPrint + " --fit " + page + " -o " + Dir() + "fitted.prn").status, 0);
    ASSERT_EQ(Shell(kView + " --summary " + Dir() + "fitted.prn > " + Dir() + "fitted.txt").status, 0);
    EXPECT_NE(Slurp(Dir() + "fitted.txt").find("widths: 384 dots x 20"), std::string::npos)
        << Slurp(Dir() + "fitted.txt");
}

// Text and PDF straight from the command line: a line more than the
// columns is one more line of cells; options reach the renderer.
TEST(RasterTools, TextAndPdfPrintDirectly) {
    auto rows = [](const std::string& args, const std::string& text) {
        Write(Dir() + "doc", text);
        const Outcome run = Shell(kPrint + " " + args + " " + Dir() + "doc -o " + Dir() + "doc.prn");
        EXPECT_EQ(run.status, 0) << args << ": " << run.err;
        return static_cast<long>(Slurp(Dir() + "doc.prn").size() / (8 + 48));
    };
    struct {
        const char* args;
        int columns, lineRows;
    } cases[] = {{"", 32, 24}, {"--columns 42", 42, 18}, {"--columns 48", 48, 16}};
    for (const auto& c : cases) {
        const std::string full(c.columns, 'M');
        EXPECT_EQ(rows(c.args, full + "\n" + full + "M\n") - rows(c.args, full + "\n" + full + "\n"), c.lineRows)
            << c.args;
        EXPECT_EQ(rows(std::string(c.args) + " --cut", full + "\n" + full + "M\n"), rows(c.args, full + "\n" + full))
            << c.args;
    }
    rows("--charset windows-1252", "price: 3,40 \x80");
    const std::string legacy = Slurp(Dir() + "doc.prn");
    rows("", "price: 3,40 \u20ac");
    EXPECT_EQ(legacy, Slurp(Dir() + "doc.prn"));

    EXPECT_GT(rows("", Slurp(SAMPLES_DIR "/receipt.pdf")), 500);
    Write(Dir() + "broken.pdf", "%PDF-1.4\nbroken\n");
    const Outcome broken = Shell(kPrint + " " + Dir() + "broken.pdf -o " + Dir() + "broken.prn");
    EXPECT_EQ(broken.status, 1);
    EXPECT_NE(broken.err.find("broken.pdf cannot be read as a PDF"), std::string::npos) << broken.err;
    EXPECT_EQ(Shell(kPrint + " --columns 40 " + Dir() + "doc").status, 2);
}

TEST(RasterTools, FailuresAreNamedAndLeaveNothingBehind) {
    Write(Dir() + "truncated.pgm", "P5\n10 10\n255\nabc");
    Write(Dir() + "empty.pgm", "P5\n0 10\n255\n");
    Write(Dir() + "ok.pbm", Pbm(8, 8));
    Write(Dir() + "bad.prn", std::string("\x1B\x2E\x01\x00\x00\x01\x08\x00\x55\x1B\x2E\x02", 12));
    struct Case {
        std::string command;
        int status;
        std::string message;
    };
    const std::string out = Dir() + "out.prn";
    const Case cases[] = {
        {kPrint, 2, "rasterprint: no file given"},
        {kPrint + " --bogus x", 2, "rasterprint: unknown option --bogus"},
        {kPrint + " --threshold 300 x", 2, "rasterprint: --threshold takes a grey level from 0 to 256"},
        {kPrint + " --depth 4 x", 2, "rasterprint: --depth is 1, 8 or 24"},
        {kPrint + " - - ", 2, "rasterprint: standard input can be read only once"},
        {kPrint + " " + Dir() + "missing.pgm -o " + out, 1, "rasterprint: cannot open " + Dir() + "missing.pgm"},
        {kPrint + " " + Dir() + "truncated.pgm -o " + out, 1,
         "rasterprint: " + Dir() + "truncated.pgm is truncated: the raster needs 100 bytes, 3 are there"},
        {kPrint + " " + Dir() + "empty.pgm -o " + out, 1,
         "rasterprint: " + Dir() + "empty.pgm has a zero-sized image (0x10)"},
        {kPrint + " --module /nonexistent/oemdll.so " + Dir() + "ok.pbm -o " + out, 1,
         "rasterprint: cannot load module /nonexistent/oemdll.so"},
        {kView, 2, "rasterview: no stream given"},
        {kView + " " + Dir() + "bad.prn", 2, "rasterview: nothing to do"},
        {kView + " --summary " + Dir() + "bad.prn", 1,
         "rasterview: " + Dir() + "bad.prn: malformed command at byte 9 (command 2): truncated header, 3 of 8 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        std::remove(out.c_str());
        const Outcome run = Shell(c.command + " > /dev/null");
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << run.err;
        EXPECT_FALSE(Exists(out)) << "nothing is left at -o after a failure";
        EXPECT_FALSE(Exists(out + ".partial"));
    }

    // An existing file is left as it was.
    Write(out, "earlier job");
    EXPECT_EQ(Shell(kPrint + " " + Dir() + "truncated.pgm -o " + out).status, 1);
    EXPECT_EQ(Slurp(out), "earlier job");
}

TEST(RasterTools, ThresholdAndDitherOnGrey) {
    std::string grey = "P5\n384 100\n255\n";
    grey.append(384 * 100, static_cast<char>(128));
    Write(Dir() + "grey.pgm", grey);
    for (const char* option : {"", "--threshold 100", "--threshold 200"}) {
        SCOPED_TRACE(option);
        const std::string back = Dir() + "grey-back.pbm";
        ASSERT_EQ(Shell(kPrint + " " + option + " " + Dir() + "grey.pgm -o " + Dir() + "grey.prn").status, 0);
        ASSERT_EQ(Shell(kView + " " + Dir() + "grey.prn -o " + back).status, 0);
        const std::string pbm = Slurp(back);
        size_t black = 0, dots = 0;
        for (size_t i = pbm.find('\n', 3) + 1; i < pbm.size(); ++i, dots += 8)
            black += static_cast<size_t>(__builtin_popcount(static_cast<unsigned char>(pbm[i])));
        const double share = dots ? double(black) / double(dots) : -1;
        if (std::string(option).empty()) {
            EXPECT_NEAR(share, 0.5, 0.03) << "error diffusion prints about half the dots";
        } else if (std::string(option) == "--threshold 200") {
            EXPECT_EQ(share, 1.0);
        }
    }
    // Below the threshold nothing is black: every row is blank, and an
    // all-blank document is sent whole, as zero rows.
    EXPECT_EQ(Slurp(Dir() + "grey.prn").size(), 100u * 56);
}

// Starts a tool with its standard input a pipe the caller holds and writes.
pid_t Start(std::vector<std::string> args, int& input) {
    int in[2];
    if (pipe(in) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_WRONLY);
        dup2(in[0], 0);
        dup2(null, 1);
        dup2(null, 2);
        close(in[1]);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(&a[0]);
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(in[0]);
    input = in[1];
    return pid;
}

// Whether a temporary (".NAME.PID-N.tmp") is in DIR.
bool TemporaryIn(const std::string& dir) {
    bool found = false;
    if (DIR* folder = opendir(dir.c_str())) {
        while (const dirent* entry = readdir(folder)) {
            const std::string name = entry->d_name;
            found |= name.size() > 4 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
        }
        closedir(folder);
    }
    return found;
}

bool AwaitTemporary(const std::string& dir) {
    for (int i = 0; i < 3000; ++i) {
        if (TemporaryIn(dir)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

TEST(RasterTools, AStopLeavesNoTemporaryAndALinkMadeMeanwhileIsWrittenThrough) {
    const std::string dir = Dir() + "stop/";
    mkdir(dir.c_str(), 0755);
    std::string tall("\x1B\x2E\x01\x00\x00\x01\x00\x00", 8);  // 2^21 blank rows: drawn in a few tenths of a second
    for (int i = 0; i < 21; ++i) tall += tall;
    Write(dir + "tall.prn", tall);
    const std::vector<std::string> runs[] = {
        {kPrint, "-", "-o", dir + "stopped.prn"},  // waits for its input
        {kView, dir + "tall.prn", "-o", dir + "stopped.png"},
    };
    for (const std::vector<std::string>& run : runs) {
        SCOPED_TRACE(run[0]);
        int input = -1;
        const pid_t pid = Start(run, input);
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(AwaitTemporary(dir)) << "the run makes a temporary";
        kill(pid, SIGTERM);
        int raw = 0;
        waitpid(pid, &raw, 0);
        close(input);
        EXPECT_TRUE(WIFSIGNALED(raw) && WTERMSIG(raw) == SIGTERM) << raw;
        EXPECT_FALSE(TemporaryIn(dir)) << "the temporary is left behind";
        EXPECT_FALSE(Exists(run[3]));
    }

    // -o names nothing when the run starts, a link when it ends.
    const std::string late = Dir() + "late/";
    mkdir(late.c_str(), 0755);
    Write(late + "target.prn", "old");
    int input = -1;
    const pid_t pid = Start({kPrint, "-", "-o", late + "late.prn"}, input);
    ASSERT_GT(pid, 0);
    ASSERT_TRUE(AwaitTemporary(late));
    ASSERT_EQ(symlink("target.prn", (late + "late.prn").c_str()), 0);
    const std::string page = Pbm(8, 8);
    EXPECT_EQ(write(input, page.data(), page.size()), static_cast<ssize_t>(page.size()));
    close(input);
    int raw = 0;
    waitpid(pid, &raw, 0);
    EXPECT_TRUE(WIFEXITED(raw) && WEXITSTATUS(raw) == 0) << raw;
    struct stat info;
    EXPECT_TRUE(lstat((late + "late.prn").c_str(), &info) == 0 && S_ISLNK(info.st_mode)) << "the link is kept";
    EXPECT_EQ(Slurp(late + "target.prn").size(), 8u * (8 + 1));
}

TEST(RasterTools, AWriteThroughALinkThatDoesNotFitKeepsTheOldContents) {
    const std::string small = Dir() + "small";
    mkdir(small.c_str(), 0755);
    if (std::system(("mount -t tmpfs -o size=512k tmpfs " + small + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a 512 KiB tmpfs at " << small << " (it needs root)";
    struct Unmount {
        std::string dir;
        ~Unmount() { std::system(("umount -l " + dir).c_str()); }
    } unmount{small};
    const std::string old(300000, '\x5A');
    Write(small + "/old.prn", old);
    ASSERT_EQ(link((small + "/old.prn").c_str(), (small + "/link.prn").c_str()), 0);
    Write(Dir() + "long.pbm", Pbm(384, 12000));  // 672,000 bytes to print
    Outcome run = Shell(kPrint + " " + Dir() + "long.pbm -o " + small + "/link.prn");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "rasterprint: cannot write " + small + "/link.prn: No space left on device\n");
    EXPECT_TRUE(Slurp(small + "/old.prn") == old) << "the old contents are lost";

    // A shorter stream that fits replaces them whole, through the link.
    Write(Dir() + "short.pbm", Pbm(384, 100));
    run = Shell(kPrint + " " + Dir() + "short.pbm -o " + small + "/link.prn");
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Slurp(small + "/old.prn").size(), 100u * 56);
    EXPECT_TRUE(Slurp(small + "/link.prn") == Slurp(small + "/old.prn"));
}

}  // namespace

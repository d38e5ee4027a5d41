// rasterview on hostile and unusual input: exit status and message for
// each, and pictures too tall for 32-bit dot indexes.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>

#include <string>

#include "tests/support/cli_run.h"

namespace {

const std::string kView = RASTERVIEW_PATH;

std::string Dir() {
    static const std::string dir = cli::ScratchDir("rasterview");
    return dir;
}

cli::Outcome Shell(const std::string& command) { return cli::Shell(command, Dir() + "stderr.txt"); }

// The height a PNG's header states.
unsigned long PngHeight(const std::string& png) {
    if (png.size() < 24 || png.compare(0, 4, "\x89PNG") != 0) return 0;
    unsigned long h = 0;
    for (int i = 20; i < 24; ++i) h = (h << 8) | static_cast<unsigned char>(png[i]);
    return h;
}

TEST(RasterView, HostileInputIsRefusedByName) {
    const std::string d = Dir();
    cli::Write(d + "good.prn", cli::Stream(20, 7));
    cli::Write(d + "empty.prn", "");
    cli::Write(d + "text.prn", "hello, printer\n");
    cli::Write(d + "wide.prn", cli::Command(0xFFFF, ""));
    const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(terminal, 0);
    ASSERT_EQ(grantpt(terminal), 0);
    ASSERT_EQ(unlockpt(terminal), 0);
    const std::string tty = ptsname(terminal);
    struct Case {
        std::string command;
        int status;
        std::string message;
    };
    const Case cases[] = {
        {kView + " " + d + "good.prn -o - > " + tty, 2, "rasterview: refusing to write a picture to a terminal"},
        {kView + " --summary " + d + "good.prn -o - > " + d + "x", 2,
         "rasterview: --summary and -o - would both write to standard output"},
        {kView + " --summary " + d + "good.prn > /dev/full", 1,
         "rasterview: cannot write standard output: No space left on device"},
        {kView + " " + d + "good.prn -o /dev/full", 1, "rasterview: cannot write /dev/full: No space left on device"},
        {kView + " " + d + "good.prn -o - > /dev/full", 1,
         "rasterview: cannot write standard output: No space left on device"},
        {kView + " " + d + "good.prn -o " + d + "missing/x.png", 1,
         "rasterview: cannot create " + d + "missing/x.png: No such file or directory"},
        {kView + " --summary " + d + "missing.prn", 1,
         "rasterview: cannot open " + d + "missing.prn: No such file or directory"},
        {kView + " --summary " + d, 1, "rasterview: cannot read " + d + ": Is a directory"},
        {kView + " " + d + "empty.prn -o " + d + "x.png", 1, "rasterview: " + d + "empty.prn holds no rows to show"},
        {kView + " --summary " + d + "text.prn", 1,
         "rasterview: " + d + "text.prn: malformed command at byte 0 (command 1): header byte 0 is 0x68, expected 0x1B"},
        {kView + " --summary " + d + "wide.prn", 1,
         "rasterview: " + d + "wide.prn: malformed command at byte 0 (command 1): dot count 65535 is wider than the "
         "printer's 384"},
        {kView + " --listen 127.0.0.1:9100", 2, "rasterview: --listen needs --out DIR"},
        {kView + " --listen 127.0.0.1:70000 --out " + d, 2, "rasterview: --listen 127.0.0.1:70000: expected [HOST:]PORT"},
        {kView + " --listen 0 --out " + d + " --jobs 0", 2, "rasterview: --jobs takes a count of 1 or more"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        const cli::Outcome run = Shell(c.command);
        EXPECT_EQ(run.status, c.status) << run.err;
        EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << run.err;
    }
    close(terminal);
    struct stat full;
    EXPECT_TRUE(stat("/dev/full", &full) == 0 && S_ISCHR(full.st_mode)) << "a failed picture removed a device";
    EXPECT_FALSE(cli::Slurp(d + "x.png").size()) << "no picture after a failure";
}

TEST(RasterView, DashIsStandardOutputAndPipesMatchFiles) {
    const std::string d = Dir();
    cli::Write(d + "pipe.prn", cli::Stream(300, 11));
    ASSERT_EQ(Shell(kView + " " + d + "pipe.prn -o " + d + "file.png").status, 0);
    ASSERT_EQ(Shell("cat " + d + "pipe.prn | " + kView + " - -o - > " + d + "piped.png").status, 0);
    EXPECT_EQ(cli::Slurp(d + "piped.png"), cli::Slurp(d + "file.png")) << "held rows draw what a reread file draws";
    EXPECT_EQ(PngHeight(cli::Slurp(d + "file.png")), 300u);
    // A picture over its own stream is drawn from rows held, not from the
    // emptied file.
    ASSERT_EQ(Shell(kView + " " + d + "pipe.prn -o " + d + "pipe.prn").status, 0);
    EXPECT_EQ(cli::Slurp(d + "pipe.prn"), cli::Slurp(d + "file.png"));
}

// 5,600,000 rows of 384 dots are 2,150,400,000 dots: past a 32-bit index.
// Blank rows keep the stream at 45 MB.
TEST(RasterView, RowsPastThirtyTwoBitDotIndexes) {
    const std::string d = Dir();
    const unsigned rows = 5600000;
    {
        std::ofstream out(d + "tall.prn", std::ios::binary);
        const std::string blank = cli::Command(0, "");
        std::string chunk;
        for (int i = 0; i < 100000; ++i) chunk += blank;
        for (unsigned i = 0; i < rows / 100000; ++i) out << chunk;
        out << cli::Command(384, std::string(48, '\xFF'));
    }
    const cli::Outcome run = Shell(kView + " --summary " + d + "tall.prn -o " + d + "tall.png > " + d + "tall.txt");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_NE(cli::Slurp(d + "tall.txt").find("rows: 5600001\nwidths: 0 dots x 5600000 384 dots x 1"),
              std::string::npos)
        << cli::Slurp(d + "tall.txt");
    EXPECT_EQ(PngHeight(cli::Slurp(d + "tall.png")), rows + 1);
    std::remove((d + "tall.prn").c_str());
    std::remove((d + "tall.png").c_str());
}

}  // namespace

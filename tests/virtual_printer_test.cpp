// rasterview --listen over real sockets on 127.0.0.1, at a port the system
// picks: jobs in sequence and at once, in one-byte pieces, cut off, over
// the size cap; every server is stopped by its process id.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/cli_run.h"

namespace {

const std::string kView = RASTERVIEW_PATH;
const std::string kPrint = RASTERPRINT_PATH;

std::string Dir() {
    static const std::string dir = cli::ScratchDir("virtual-printer");
    return dir;
}

// A server run: started with its standard output in a file, told apart by
// the port it reports.
class Printer {
public:
    Printer(const std::string& out, const std::vector<std::string>& options) : linesFile_(out + ".lines") {
        int err[2];
        if (pipe(err) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            std::vector<std::string> args = {kView, "--listen", "127.0.0.1:0", "--out", out};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            dup2(err[1], 2);
            if (!freopen(linesFile_.c_str(), "w", stdout)) _exit(127);
            execv(kView.c_str(), argv.data());
            _exit(127);
        }
        close(err[1]);
        // The first line on standard error names the address; a few seconds
        // at most.
        std::string text;
        char c;
        pollfd ready = {err[0], POLLIN, 0};
        while (text.find('\n') == std::string::npos && poll(&ready, 1, 5000) > 0 && read(err[0], &c, 1) == 1)
            text += c;
        close(err[0]);
        const size_t at = text.find("127.0.0.1:");
        if (at != std::string::npos) port_ = std::stoi(text.substr(at + 10));
        banner_ = text;
    }
    ~Printer() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    int port() const { return port_; }
    const std::string& banner() const { return banner_; }

    // The exit status, waiting at most 20 s; a signal first if given.
    int Wait(int signal = 0) {
        if (pid_ <= 0) return -1;
        if (signal) kill(pid_, signal);
        for (int i = 0; i < 2000 && status_ < 0; ++i) {
            int raw = 0;
            if (waitpid(pid_, &raw, WNOHANG) == pid_) status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128;
            else std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return status_;
    }
    std::string Lines() const { return cli::Slurp(linesFile_); }

private:
    std::string linesFile_;
    pid_t pid_ = -1;
    int port_ = 0;
    int status_ = -1;
    std::string banner_;
};

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends a job in pieces of `piece` bytes and closes; the sending may be
// cut short by the server.
void Send(int port, const std::string& job, size_t piece = 1 << 16) {
    const int fd = Connect(port);
    ASSERT_GE(fd, 0) << "connect to " << port;
    for (size_t at = 0; at < job.size(); at += piece)
        if (send(fd, job.data() + at, std::min(piece, job.size() - at), MSG_NOSIGNAL) < 0) break;
    close(fd);
}

std::string Job(const std::string& dir, int n, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "job-%04d.%s", n, extension);
    return cli::Slurp(dir + name);
}

TEST(VirtualPrinter, JobsInSequenceAndAtOnceKeepTheirBytes) {
    const std::string out = Dir() + "many";
    Printer printer(out, {"--jobs", "7"});
    ASSERT_GT(printer.port(), 0) << printer.banner();
    std::set<std::string> sent;
    for (unsigned i = 0; i < 3; ++i) {
        sent.insert(cli::Stream(50 + i, i));
        Send(printer.port(), cli::Stream(50 + i, i));
    }
    // Four at once, one of them a byte at a time.
    std::vector<std::thread> senders;
    for (unsigned i = 3; i < 7; ++i) {
        sent.insert(cli::Stream(40, i));
        senders.emplace_back([&, i] { Send(printer.port(), cli::Stream(40, i), i == 3 ? 1 : 97); });
    }
    for (std::thread& t : senders) t.join();
    EXPECT_EQ(printer.Wait(), 0) << printer.Lines();
    std::set<std::string> kept;
    for (int n = 1; n <= 7; ++n) {
        kept.insert(Job(out + "/", n, "prn"));
        EXPECT_EQ(Job(out + "/", n, "png").compare(1, 3, "PNG"), 0) << n;
        EXPECT_NE(printer.Lines().find("job " + std::to_string(n) + ": "), std::string::npos) << printer.Lines();
    }
    EXPECT_EQ(kept, sent);
    EXPECT_NE(printer.Lines().find("job 1: 50 rows, " + std::to_string(cli::Stream(50, 0).size()) + " bytes, ok\n"),
              std::string::npos)
        << printer.Lines();
}

TEST(VirtualPrinter, MalformedCutAndOversizedJobsAreKeptAndReported) {
    const std::string out = Dir() + "bad";
    std::system(("mkdir -p " + out + " && touch " + out + "/job-0041.png").c_str());
    Printer printer(out, {"--jobs", "4", "--max-job-bytes", "1000"});
    ASSERT_GT(printer.port(), 0) << printer.banner();
    const std::string rows384 = cli::Command(384, std::string(48, '\x5A'));
    std::string big;
    for (int i = 0; i < 40; ++i) big += rows384;
    struct Case {
        std::string job;
        std::string line;
    };
    const Case cases[] = {
        {cli::Command(8, "\x55") + "\x1B\x2E\x01", "job 42: 1 rows, 12 bytes, malformed at byte 9: truncated header, 3 of 8 bytes"},
        {"hello, printer\n", "job 43: 0 rows, 15 bytes, malformed at byte 0: header byte 0 is 0x68, expected 0x1B"},
        {rows384 + rows384, "job 44: 2 rows, 112 bytes, ok"},
        {big, "job 45: 17 rows, 1000 bytes, malformed at byte 952: truncated row: 384 dots need 48 bytes, 40 left, "
              "cut at 1000 bytes by --max-job-bytes"},
    };
    for (const Case& c : cases) Send(printer.port(), c.job);
    EXPECT_EQ(printer.Wait(), 1) << "a malformed job is not a well-formed run";
    const std::string lines = printer.Lines();
    for (int i = 0; i < 4; ++i) {
        EXPECT_NE(lines.find(cases[i].line + "\n"), std::string::npos) << lines;
        EXPECT_EQ(Job(out + "/", 42 + i, "prn"), cases[i].job.substr(0, 1000)) << i;
    }
    EXPECT_EQ(Job(out + "/", 43, "png"), "") << "nothing to draw";
    EXPECT_FALSE(Job(out + "/", 44, "png").empty());
}

TEST(VirtualPrinter, RasterprintOverTheSocketMatchesTheFile) {
    const std::string d = Dir();
    std::string pbm = "P4\n384 60\n";
    for (int i = 0; i < 60 * 48; ++i) pbm += char(i * 37 + i / 48);
    cli::Write(d + "page.pbm", pbm);
    ASSERT_EQ(cli::Shell(kPrint + " " + d + "page.pbm -o " + d + "page.prn", d + "err").status, 0);
    ASSERT_EQ(cli::Shell(kView + " " + d + "page.prn -o " + d + "page.png", d + "err").status, 0);
    Printer printer(d + "sent", {"--jobs", "1"});
    ASSERT_GT(printer.port(), 0) << printer.banner();
    Send(printer.port(), cli::Slurp(d + "page.prn"), 4096);
    EXPECT_EQ(printer.Wait(), 0) << printer.Lines();
    EXPECT_EQ(Job(d + "sent/", 1, "prn"), cli::Slurp(d + "page.prn"));
    EXPECT_EQ(Job(d + "sent/", 1, "png"), cli::Slurp(d + "page.png"));
}

TEST(VirtualPrinter, StopsOnSignalIdleTimeoutAndNamesWhatFails) {
    const std::string d = Dir();
    {
        // A job in progress is written as far as it came.
        Printer printer(d + "stop", {});
        ASSERT_GT(printer.port(), 0) << printer.banner();
        const int fd = Connect(printer.port());
        const std::string half = cli::Stream(10, 3).substr(0, 100);
        ASSERT_EQ(send(fd, half.data(), half.size(), 0), 100);
        for (int i = 0; i < 100 && Job(d + "stop/", 1, "prn").size() < 100; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(printer.Wait(SIGTERM), 1);
        close(fd);
        EXPECT_NE(printer.Lines().find(", cut short: the printer was stopped\n"), std::string::npos) << printer.Lines();
        EXPECT_EQ(Job(d + "stop/", 1, "prn"), half);
    }
    {
        const auto start = std::chrono::steady_clock::now();
        Printer printer(d + "idle", {"--idle-timeout", "1"});
        EXPECT_EQ(printer.Wait(), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    }
    // The port in use, and a folder that is a file.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    getsockname(taken, reinterpret_cast<sockaddr*>(&at), &length);
    const std::string port = std::to_string(ntohs(at.sin_port));
    cli::Write(d + "file", "");
    struct Case {
        std::string command;
        std::string message;
    };
    const Case cases[] = {
        {kView + " --listen " + port + " --out " + d + "inuse", "rasterview: cannot listen on 127.0.0.1:" + port +
                                                                    ": Address already in use"},
        {kView + " --listen 0 --out " + d + "file", "rasterview: " + d + "file is not a folder"},
        {kView + " --listen 0 --out " + d + "file/jobs", "rasterview: cannot create " + d + "file/jobs: Not a directory"},
    };
    for (const Case& c : cases) {
        const cli::Outcome run = cli::Shell("timeout 10 " + c.command, d + "err");
        EXPECT_EQ(run.status, 1) << c.command;
        EXPECT_EQ(run.err, c.message + "\n") << c.command;
    }
    close(taken);
}

}  // namespace

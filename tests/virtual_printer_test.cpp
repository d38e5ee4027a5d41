// rasterview --listen over real sockets on 127.0.0.1, at a port the system
// picks: jobs in sequence and at once, in one-byte pieces, cut off, over
// the size cap; silent, empty and flooding senders, a full disk; every
// server is stopped by its process id.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
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

void OnFirstProcessor() {
    cpu_set_t first;
    CPU_ZERO(&first);
    CPU_SET(0, &first);
    sched_setaffinity(0, sizeof first, &first);
}

// A server run: started with its standard output and error in files, told
// apart by the port it reports.
class Printer {
public:
    // A `slow` one shares the first processor at the lowest priority, so
    // that a sender there outpaces it.
    Printer(const std::string& out, const std::vector<std::string>& options, bool slow = false)
        : linesFile_(out + ".lines"), errFile_(out + ".err") {
        pid_ = fork();
        if (pid_ == 0) {
            if (slow) {
                OnFirstProcessor();
                if (setpriority(PRIO_PROCESS, 0, 19) != 0) _exit(126);
            }
            std::vector<std::string> args = {kView, "--listen", "127.0.0.1:0", "--out", out};
            args.insert(args.end(), options.begin(), options.end());
            std::vector<char*> argv;
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            if (!freopen(errFile_.c_str(), "w", stderr) || !freopen(linesFile_.c_str(), "w", stdout)) _exit(127);
            execv(kView.c_str(), argv.data());
            _exit(127);
        }
        // The first line on standard error names the address; a few seconds
        // at most.
        for (int i = 0; i < 500 && banner_.find('\n') == std::string::npos; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
            banner_ = cli::Slurp(errFile_);
        }
        banner_ = banner_.substr(0, banner_.find('\n') + 1);
        const size_t at = banner_.find("127.0.0.1:");
        if (at != std::string::npos) port_ = std::stoi(banner_.substr(at + 10));
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
    std::string Errors() const { return cli::Slurp(errFile_); }

private:
    std::string linesFile_, errFile_;
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

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// Whether the peer closed (or reset) the connection within `ms`.
bool ClosedWithin(int fd, int ms) {
    pollfd ready = {fd, POLLIN, 0};
    char c;
    return poll(&ready, 1, ms) == 1 && recv(fd, &c, 1, MSG_DONTWAIT) <= 0;
}

std::string JobName(const std::string& dir, int n, const char* extension) {
    char name[32];
    std::snprintf(name, sizeof name, "job-%04d.%s", n, extension);
    return dir + name;
}

std::string Job(const std::string& dir, int n, const char* extension) { return cli::Slurp(JobName(dir, n, extension)); }

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
        for (int i = 0; i < 3000 && Job(d + "stop/", 1, "prn").size() < 100; ++i)
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
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(60));
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

TEST(VirtualPrinter, SilentAndEmptyConnectionsHoldNoPlaceAndAreNoJobs) {
    const std::string out = Dir() + "silent";
    Printer printer(out, {"--jobs", "2", "--read-timeout", "5"});
    ASSERT_GT(printer.port(), 0) << printer.banner();
    std::vector<int> silent;
    for (int i = 0; i < 40; ++i) silent.push_back(Connect(printer.port()));
    for (int i = 0; i < 3; ++i) close(Connect(printer.port()));  // a port scan, a health check
    const std::string job = cli::Stream(30, 9);
    Send(printer.port(), job);
    for (int i = 0; i < 3000 && printer.Lines().empty(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // Had the job waited for a place, the silent connections would have been dropped first.
    EXPECT_FALSE(printer.Lines().empty());
    EXPECT_FALSE(ClosedWithin(silent.front(), 0)) << "a job waits for no silent connection";
    for (int fd : silent) {
        EXPECT_TRUE(ClosedWithin(fd, 30000)) << "a connection silent for --read-timeout is dropped";
        close(fd);
    }
    // One byte, then silence: a job, cut when it stays silent.
    const int trickle = Connect(printer.port());
    ASSERT_EQ(send(trickle, "\x1B", 1, 0), 1);
    EXPECT_EQ(printer.Wait(), 1);
    close(trickle);
    EXPECT_EQ(printer.Lines(), "job 1: 30 rows, " + std::to_string(job.size()) +
                                   " bytes, ok\njob 2: 0 rows, 1 bytes, malformed at byte 0: truncated header, 1 of 8 "
                                   "bytes, cut short: nothing received for 5 s\n");
    EXPECT_EQ(Count(printer.Errors(), " sent nothing; not a job\n"), 3u) << printer.Errors();
    EXPECT_EQ(Job(out + "/", 1, "prn"), job);
    struct stat info;
    EXPECT_NE(stat(JobName(out + "/", 3, "prn").c_str(), &info), 0) << "no file for a connection without a job";
}

TEST(VirtualPrinter, AStopKeepsWhatArrivedAndNoMore) {
    using Clock = std::chrono::steady_clock;
    const std::string out = Dir() + "stopped";
    Printer printer(out, {"--max-job-bytes", "1073741824"}, true);
    ASSERT_GT(printer.port(), 0) << printer.banner();
    // 31 jobs in progress and one about to flood hold every place.
    std::vector<int> holders;
    for (int i = 0; i < 32; ++i) {
        holders.push_back(Connect(printer.port()));
        ASSERT_EQ(send(holders.back(), cli::Stream(10, 1).data(), 50, 0), 50);
    }
    struct stat info;
    for (int i = 0; i < 300 && stat(JobName(out + "/", 32, "prn").c_str(), &info) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    // A whole job waiting for a place is taken at the stop.
    const std::string whole = cli::Stream(20, 4);
    const int waiting = Connect(printer.port());
    ASSERT_EQ(send(waiting, whole.data(), whole.size(), 0), static_cast<ssize_t>(whole.size()));
    shutdown(waiting, SHUT_WR);
    // Bytes no row can be drawn from, faster than they are read, from
    // shortly before the stop until the sender is refused (or 60 s).
    std::atomic<Clock::rep> refusedAt{0};
    std::atomic<std::uint64_t> sent{0};
    std::thread flood([&] {
        OnFirstProcessor();
        const std::string chunk(1 << 20, 'Z');
        const auto end = Clock::now() + std::chrono::seconds(60);
        while (Clock::now() < end) {
            const ssize_t n = send(holders.back(), chunk.data(), chunk.size(), MSG_NOSIGNAL);
            if (n < 0) {
                refusedAt = Clock::now().time_since_epoch().count();
                break;
            }
            sent += static_cast<std::uint64_t>(n);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint64_t sentBefore = sent;
    EXPECT_EQ(printer.Wait(SIGTERM), 1);
    flood.join();
    EXPECT_LT(Job(out + "/", 32, "prn").size(), sentBefore + (256u << 20)) << "a flood kept it reading";
    ASSERT_NE(refusedAt, 0) << "the flooding sender is never told its job was cut";
    char c;
    EXPECT_EQ(recv(waiting, &c, 1, 0), 0) << "the whole job's sender sees an orderly close";
    close(waiting);
    for (int fd : holders) close(fd);
    const std::string lines = printer.Lines();
    EXPECT_EQ(Count(lines, ", cut short: the printer was stopped\n"), 32u) << lines;
    EXPECT_NE(lines.find("job 33: 20 rows, " + std::to_string(whole.size()) + " bytes, ok\n"), std::string::npos)
        << lines;
    for (int n = 1; n <= 33; ++n) {
        const size_t at = lines.find("job " + std::to_string(n) + ": ");
        ASSERT_NE(at, std::string::npos) << n;
        const std::string line = lines.substr(at, lines.find('\n', at) - at);
        EXPECT_NE(line.find(" rows, " + std::to_string(Job(out + "/", n, "prn").size()) + " bytes, "),
                  std::string::npos)
            << line << ": the count is what was kept";
    }
    std::remove(JobName(out + "/", 32, "prn").c_str());
}

TEST(VirtualPrinter, AJobThatCannotBeKeptResetsTheSender) {
    const std::string out = Dir() + "full";
    mkdir(out.c_str(), 0755);
    if (std::system(("mount -t tmpfs -o size=512k tmpfs " + out + " 2>/dev/null").c_str()) != 0)
        GTEST_SKIP() << "cannot mount a 512 KiB tmpfs at " << out << " (it needs root)";
    struct Unmount {
        std::string dir;
        ~Unmount() { std::system(("umount -l " + dir).c_str()); }
    } unmount{out};
    // A page taken, so that the job's last write fits only in part.
    cli::Write(out + "/other", "x");
    Printer printer(out, {"--jobs", "1"});
    ASSERT_GT(printer.port(), 0) << printer.banner();
    std::string job;
    while (job.size() < (510u << 10)) job += cli::Stream(100, static_cast<unsigned>(job.size()));
    const int fd = Connect(printer.port());
    bool refused = false;
    for (size_t at = 0; at < job.size() && !refused; at += 65536)
        refused = send(fd, job.data() + at, std::min<size_t>(65536, job.size() - at), MSG_NOSIGNAL) < 0;
    if (!refused) {
        shutdown(fd, SHUT_WR);
        char c;
        refused = recv(fd, &c, 1, 0) < 0;
    }
    close(fd);
    EXPECT_TRUE(refused) << "the sender sees a reset, not an orderly close";
    EXPECT_EQ(printer.Wait(), 1);
    const std::string kept = Job(out + "/", 1, "prn");
    EXPECT_NE(printer.Lines().find(" " + std::to_string(kept.size()) + " bytes, cannot write " + out +
                                   "/job-0001.prn: No space left on device\n"),
              std::string::npos)
        << printer.Lines();
    EXPECT_EQ(kept, job.substr(0, kept.size()));
}

}  // namespace

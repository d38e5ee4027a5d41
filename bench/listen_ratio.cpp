// The virtual printer's network path against a plain socket read: a
// 100 MB job over loopback, received, checked, kept and drawn by
// `rasterview --listen`, timed against a reader that only receives the same
// bytes in this process; and the server's peak memory.
//   listen_ratio [RASTERVIEW] [MEGABYTES] [ROUNDS]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> MakeJob(std::size_t bytes, std::size_t& rows) {
    // A receipt-like mix: mostly full-width rows with some ink, and blank ones.
    std::vector<std::uint8_t> job;
    job.reserve(bytes + 64);
    unsigned state = 1;
    std::size_t row = 0;
    for (; job.size() + 56 <= bytes; ++row) {
        const unsigned dots = row % 5 == 4 ? 0 : 384;
        job.insert(job.end(), {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, std::uint8_t(dots & 0xFF), std::uint8_t(dots >> 8)});
        for (unsigned i = 0; i < dots / 8; ++i) {
            state = state * 1103515245u + 12345u;
            job.push_back(row % 40 < 20 ? std::uint8_t(state >> 24) : 0);
        }
    }
    rows = row;
    return job;
}

int Connect(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 ? fd : -1;
}

void SendAll(int fd, const std::vector<std::uint8_t>& job) {
    for (std::size_t at = 0; at < job.size();) {
        const ssize_t sent = send(fd, job.data() + at, std::min<std::size_t>(1 << 16, job.size() - at), MSG_NOSIGNAL);
        if (sent <= 0) break;
        at += static_cast<std::size_t>(sent);
    }
    close(fd);
}

// The floor: accept one connection and read it to its end, 64 KiB at a time.
double PlainRead(const std::vector<std::uint8_t>& job) {
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in at = {};
    at.sin_family = AF_INET;
    at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof at;
    bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at);
    listen(listener, 1);
    getsockname(listener, reinterpret_cast<sockaddr*>(&at), &length);
    std::size_t got = 0;
    std::thread reader([&] {
        const int fd = accept(listener, nullptr, nullptr);
        std::vector<std::uint8_t> buffer(1 << 16);
        for (ssize_t n; (n = recv(fd, buffer.data(), buffer.size(), 0)) > 0;) got += static_cast<std::size_t>(n);
        close(fd);
    });
    const auto start = Clock::now();
    SendAll(Connect(ntohs(at.sin_port)), job);
    reader.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    close(listener);
    if (got != job.size()) std::fprintf(stderr, "listen_ratio: the plain read got %zu bytes\n", got);
    return seconds;
}

// One job through `rasterview --listen`: the time from connecting
// to its line, and the server's peak resident memory in KiB.
double VirtualPrinter(const std::string& rasterview, const std::string& dir, const std::vector<std::uint8_t>& job,
                      double& sentSeconds, long& peakKiB) {
    int out[2], err[2];
    if (pipe(out) != 0 || pipe(err) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execl(rasterview.c_str(), rasterview.c_str(), "--listen", "127.0.0.1:0", "--out", dir.c_str(),
              static_cast<char*>(nullptr));
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    auto line = [](int fd) {
        std::string text;
        char c;
        pollfd ready = {fd, POLLIN, 0};
        while (poll(&ready, 1, 120000) > 0 && read(fd, &c, 1) == 1 && c != '\n') text += c;
        return text;
    };
    const std::string banner = line(err[0]);
    const std::size_t colon = banner.find("127.0.0.1:");
    double seconds = -1;
    if (colon != std::string::npos) {
        const auto start = Clock::now();
        SendAll(Connect(std::atoi(banner.c_str() + colon + 10)), job);
        sentSeconds = std::chrono::duration<double>(Clock::now() - start).count();
        const std::string verdict = line(out[0]);
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
        std::fprintf(stderr, "  %s\n", verdict.c_str());
    }
    // The high-water mark of the server's own memory (a forked child's
    // ru_maxrss would count this process's job buffer).
    std::FILE* proc = std::fopen(("/proc/" + std::to_string(pid) + "/status").c_str(), "r");
    char text[256];
    while (proc && std::fgets(text, sizeof text, proc))
        if (std::sscanf(text, "VmHWM: %ld", &peakKiB) == 1) break;
    if (proc) std::fclose(proc);
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    close(out[0]);
    close(err[0]);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? seconds : -1;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const std::string rasterview = argc > 1 ? argv[1] : RASTERVIEW_PATH;
    const std::size_t megabytes = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 100;
    const int rounds = argc > 3 ? std::atoi(argv[3]) : 3;
    std::size_t rows = 0;
    const std::vector<std::uint8_t> job = MakeJob(megabytes * 1000 * 1000, rows);
    char dirTemplate[] = "/tmp/listen-ratio-XXXXXX";
    if (!mkdtemp(dirTemplate)) return 1;
    const std::string dir = dirTemplate;

    std::vector<double> plain, printer, sent;
    long peak = 0;
    for (int r = 0; r < rounds; ++r) {
        plain.push_back(PlainRead(job));
        long roundPeak = 0;
        double sentSeconds = 0;
        const double t = VirtualPrinter(rasterview, dir, job, sentSeconds, roundPeak);
        if (t < 0) {
            std::fprintf(stderr, "listen_ratio: the virtual printer failed\n");
            return 1;
        }
        printer.push_back(t);
        sent.push_back(sentSeconds);
        peak = std::max(peak, roundPeak);
        std::system(("rm -f " + dir + "/job-*").c_str());
    }
    rmdir(dir.c_str());
    const double mb = double(job.size()) / 1e6;
    std::printf("job: %zu bytes, %zu rows; medians of %d rounds\n", job.size(), rows, rounds);
    std::printf("plain socket read:                %.3f s  %.0f MB/s\n", Median(plain), mb / Median(plain));
    std::printf("virtual printer, all bytes sent:  %.3f s  %.0f MB/s  (received, checked and kept, but for what\n"
                "                                  the socket buffers hold)\n",
                Median(sent), mb / Median(sent));
    std::printf("virtual printer, job line:        %.3f s  %.0f MB/s  (received, checked, kept and drawn)\n", Median(printer),
                mb / Median(printer));
    std::printf("ratio, bytes sent:                %.1f\n", Median(sent) / Median(plain));
    std::printf("ratio, job line:                  %.1f\n", Median(printer) / Median(plain));
    std::printf("server peak memory:               %.1f MiB\n", double(peak) / 1024);
    return 0;
}

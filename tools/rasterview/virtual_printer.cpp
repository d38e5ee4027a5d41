#include "tools/rasterview/virtual_printer.h"

#include <cstdio>

#ifdef _WIN32

namespace rasterview {

int RunVirtualPrinter(const ListenOptions&) {
    std::fputs("rasterview: --listen is not available in the Windows build; run it on Linux\n", stderr);
    return 2;
}

}  // namespace rasterview

#else

#include <dirent.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "tools/common/printer_stream.h"
#include "tools/rasterview/preview.h"

namespace rasterview {

namespace {

using Clock = std::chrono::steady_clock;

// Jobs served at once; more connections wait in the listen queue.
constexpr std::size_t kJobsAtOnce = 32;
constexpr int kTickMs = 200;

volatile std::sig_atomic_t gStop = 0;
int gWake[2] = {-1, -1};

void OnStopSignal(int) {
    gStop = 1;
    const char c = 0;
    if (write(gWake[1], &c, 1) < 0) {
        // The pipe is full: a wake-up is pending already.
    }
}

struct Server {
    explicit Server(const ListenOptions& o) : options(o) {}
    const ListenOptions& options;
    std::mutex mutex;  // guards what follows, and standard output
    bool allWellFormed = true;
    Clock::time_point lastActivity = Clock::now();
};

struct Job {
    int socket = -1;
    int prn = -1;
    std::uint64_t number = 0;
    std::string prnPath, pngPath;
    std::atomic<bool> done{false};
    std::thread thread;
};

std::string Reason() { return std::strerror(errno); }

std::string JobPath(const std::string& dir, std::uint64_t number, const char* extension) {
    char name[48];
    std::snprintf(name, sizeof name, "job-%04llu.%s", static_cast<unsigned long long>(number), extension);
    return dir + "/" + name;
}

// The highest job number among DIR's job-NNNN.* files.
std::uint64_t LastJob(const std::string& dir) {
    std::uint64_t last = 0;
    DIR* folder = opendir(dir.c_str());
    if (!folder) return 0;
    while (const dirent* entry = readdir(folder)) {
        const char* name = entry->d_name;
        if (std::strncmp(name, "job-", 4) != 0) continue;
        std::uint64_t number = 0;
        const char* p = name + 4;
        for (; *p >= '0' && *p <= '9' && number < (1ull << 59); ++p) number = number * 10 + std::uint64_t(*p - '0');
        if (p > name + 4 && *p == '.' && number > last) last = number;
    }
    closedir(folder);
    return last;
}

bool SplitAddress(const std::string& text, std::string& host, std::string& port) {
    host = "127.0.0.1";
    port = text;
    if (!text.empty() && text[0] == '[') {
        const size_t close = text.find(']');
        if (close == std::string::npos || text.compare(close, 2, "]:") != 0) return false;
        host = text.substr(1, close - 1);
        port = text.substr(close + 2);
    } else if (const size_t colon = text.rfind(':'); colon != std::string::npos) {
        host = text.substr(0, colon);
        port = text.substr(colon + 1);
    }
    return !host.empty() && !port.empty() && port.size() <= 5 &&
           port.find_first_not_of("0123456789") == std::string::npos && std::stoul(port) <= 65535;
}

std::string Shown(const sockaddr_storage& address) {
    char host[NI_MAXHOST], port[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr*>(&address), sizeof address, host, sizeof host, port,
                    sizeof port, NI_NUMERICHOST | NI_NUMERICSERV) != 0)
        return "?";
    return address.ss_family == AF_INET6 ? "[" + std::string(host) + "]:" + port : std::string(host) + ":" + port;
}

bool WriteAll(int fd, const std::uint8_t* data, size_t size) {
    while (size > 0) {
        const ssize_t wrote = write(fd, data, size);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote <= 0) return false;
        data += wrote;
        size -= static_cast<size_t>(wrote);
    }
    return true;
}

// Reads the job to its end, keeping the bytes as they come and checking
// them on the way; then draws it from the kept file.
void Serve(Server& server, Job& job) {
    const ListenOptions& options = server.options;
    tools::StreamDecoder decoder;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t received = 0;
    std::string cut, failure;
    bool stopping = false;
    for (;;) {
        if (gStop) stopping = true;
        if (!stopping) {
            pollfd ready = {job.socket, POLLIN, 0};
            if (poll(&ready, 1, kTickMs) <= 0) continue;
        }
        const ssize_t got = recv(job.socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (got == 0) break;
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) {
                cut = "connection lost: " + Reason();
                break;
            }
            if (stopping) {
                cut = "cut short: the printer was stopped";
                break;
            }
            continue;
        }
        size_t take = static_cast<size_t>(got);
        if (take > options.maxJobBytes - received) take = static_cast<size_t>(options.maxJobBytes - received);
        if (!WriteAll(job.prn, buffer.data(), take)) {
            failure = "cannot write " + job.prnPath + ": " + Reason();
            break;
        }
        decoder.Feed(buffer.data(), take);
        received += take;
        if (take < static_cast<size_t>(got)) {
            cut = "cut at " + std::to_string(received) + " bytes by --max-job-bytes";
            break;
        }
    }
    close(job.socket);
    if (close(job.prn) != 0 && failure.empty()) failure = "cannot write " + job.prnPath + ": " + Reason();
    decoder.Finish();

    if (failure.empty() && decoder.rows() > 0) {
        std::FILE* in = std::fopen(job.prnPath.c_str(), "rb");
        const int fd = open(job.pngPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        std::FILE* out = fd >= 0 ? fdopen(fd, "wb") : nullptr;
        if (!in) {
            failure = "cannot read " + job.prnPath + " back: " + Reason();
        } else if (!out) {
            failure = "cannot create " + job.pngPath + ": " + Reason();
        } else {
            DrawStream(in, job.prnPath, decoder.rows(), out, job.pngPath, tools::PictureFormat::kPng, failure);
        }
        if (in) std::fclose(in);
        if (out && std::fclose(out) != 0 && failure.empty()) failure = "cannot write " + job.pngPath + ": " + Reason();
        if (!out && fd >= 0) close(fd);
        if (!failure.empty() && out) unlink(job.pngPath.c_str());
    }

    std::string verdict;
    if (!failure.empty()) {
        verdict = failure;
    } else if (decoder.malformed()) {
        verdict = "malformed at byte " + std::to_string(decoder.errorOffset()) + ": " + decoder.problem();
        if (!cut.empty()) verdict += ", " + cut;
    } else {
        verdict = cut.empty() ? "ok" : cut;
    }
    std::lock_guard<std::mutex> lock(server.mutex);
    std::printf("job %llu: %llu rows, %llu bytes, %s\n", static_cast<unsigned long long>(job.number),
                static_cast<unsigned long long>(decoder.rows()), static_cast<unsigned long long>(received),
                verdict.c_str());
    std::fflush(stdout);
    if (verdict != "ok") server.allWellFormed = false;
    server.lastActivity = Clock::now();
    job.done = true;
}

// The folder exists (or is made) and takes new files.
bool PrepareFolder(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        error = "cannot create " + dir + ": " + Reason();
        return false;
    }
    struct stat info;
    if (stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = dir + " is not a folder";
        return false;
    }
    const std::string probe = dir + "/.rasterview-" + std::to_string(getpid());
    const int fd = open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
        error = "cannot write to " + dir + ": " + Reason();
        return false;
    }
    close(fd);
    unlink(probe.c_str());
    return true;
}

int OpenListener(const std::string& host, const std::string& port, std::string& shown, std::string& error) {
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    const std::string named = (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + port;
    if (const int rc = getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        error = "cannot listen on " + named + ": " + gai_strerror(rc);
        return -1;
    }
    int fd = -1;
    for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        const int on = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        if (bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, 64) != 0) {
            error = "cannot listen on " + named + ": " + Reason();
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return -1;
    sockaddr_storage bound = {};
    socklen_t length = sizeof bound;
    getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    shown = Shown(bound);
    return fd;
}

}  // namespace

int RunVirtualPrinter(const ListenOptions& options) {
    std::string host, port, shown, error;
    if (!SplitAddress(options.address, host, port)) {
        std::fprintf(stderr, "rasterview: --listen %s: expected [HOST:]PORT, a port from 0 to 65535\n",
                     options.address.c_str());
        return 2;
    }
    if (!PrepareFolder(options.out, error)) {
        std::fprintf(stderr, "rasterview: %s\n", error.c_str());
        return 1;
    }
    const int listener = OpenListener(host, port, shown, error);
    if (listener < 0) {
        std::fprintf(stderr, "rasterview: %s\n", error.c_str());
        return 1;
    }
    if (pipe(gWake) != 0) {
        std::fprintf(stderr, "rasterview: cannot make a pipe: %s\n", Reason().c_str());
        return 1;
    }
    fcntl(gWake[1], F_SETFL, O_NONBLOCK);
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "rasterview: listening on %s, jobs go to %s\n", shown.c_str(), options.out.c_str());

    Server server(options);
    std::list<std::unique_ptr<Job>> jobs;
    std::uint64_t next = LastJob(options.out) + 1, accepted = 0;
    for (;;) {
        for (auto it = jobs.begin(); it != jobs.end();) {
            if (!(*it)->done) {
                ++it;
                continue;
            }
            (*it)->thread.join();
            it = jobs.erase(it);
        }
        if (gStop || (options.jobs && accepted >= options.jobs)) break;
        if (options.idleSeconds && jobs.empty()) {
            std::lock_guard<std::mutex> lock(server.mutex);
            if (Clock::now() - server.lastActivity >= std::chrono::seconds(options.idleSeconds)) break;
        }
        pollfd ready[2] = {{listener, POLLIN, 0}, {gWake[0], POLLIN, 0}};
        const bool full = jobs.size() >= kJobsAtOnce;
        if (poll(full ? ready + 1 : ready, full ? 1 : 2, kTickMs) <= 0 || full || !(ready[0].revents & POLLIN))
            continue;
        const int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;  // gone before it was taken, or out of descriptors for now

        auto job = std::make_unique<Job>();
        job->socket = connection;
        for (;; ++next) {
            job->prnPath = JobPath(options.out, next, "prn");
            job->prn = open(job->prnPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
            if (job->prn >= 0 || errno != EEXIST) break;
        }
        job->number = next++;
        ++accepted;
        if (job->prn < 0) {
            std::lock_guard<std::mutex> lock(server.mutex);
            std::printf("job %llu: 0 rows, 0 bytes, cannot create %s: %s\n",
                        static_cast<unsigned long long>(job->number), job->prnPath.c_str(), Reason().c_str());
            std::fflush(stdout);
            server.allWellFormed = false;
            close(connection);
            continue;
        }
        job->pngPath = JobPath(options.out, job->number, "png");
        {
            std::lock_guard<std::mutex> lock(server.mutex);
            server.lastActivity = Clock::now();
        }
        Job& started = *job;
        jobs.push_back(std::move(job));
        started.thread = std::thread([&server, &started] { Serve(server, started); });
    }
    close(listener);
    for (auto& job : jobs) job->thread.join();
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.allWellFormed ? 0 : 1;
}

}  // namespace rasterview

#endif

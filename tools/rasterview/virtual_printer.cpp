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

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include "tools/common/printer_stream.h"
#include "tools/rasterview/preview.h"
#include "tools/rasterview/printer_io.h"

namespace rasterview {

namespace {

using printer_io::Hang;
using printer_io::JobPath;
using printer_io::LastJob;
using printer_io::OpenListener;
using printer_io::Peek;
using printer_io::PrepareFolder;
using printer_io::Reason;
using printer_io::Shown;
using printer_io::SplitAddress;
using printer_io::WriteAll;

using Clock = std::chrono::steady_clock;

// Jobs served at once; more senders wait their turn.
constexpr std::size_t kJobsAtOnce = 32;
// Connections held that are not jobs yet: silent so far, or waiting for a
// job's place. When all are held, the one silent longest makes room.
constexpr std::size_t kCallersHeld = 256;
constexpr int kTickMs = 200;

volatile std::sig_atomic_t gStop = 0;
int gWake[2] = {-1, -1};  // readable once a stop was asked for
int gDone[2] = {-1, -1};  // a job ended

void Poke(int fd) {
    const char c = 0;
    if (write(fd, &c, 1) < 0) {
        // The pipe is full: a wake-up is pending already.
    }
}

void OnStopSignal(int) {
    gStop = 1;
    Poke(gWake[1]);
}

struct Server {
    explicit Server(const ListenOptions& o) : options(o) {}
    const ListenOptions& options;
    std::mutex mutex;  // guards what follows, and the standard streams
    bool allWellFormed = true;
    Clock::time_point lastActivity = Clock::now();
};

// A connection that is not a job yet.
struct Caller {
    int socket = -1;
    std::string peer;
    Clock::time_point since;
    bool spoke = false;  // its first bytes are waiting
};

struct Job {
    int socket = -1;
    int prn = -1;
    std::uint64_t number = 0;
    std::string prnPath, pngPath;
    std::atomic<bool> done{false};
    std::thread thread;
};


void Note(Server& server, const std::string& text) {
    std::lock_guard<std::mutex> lock(server.mutex);
    std::fprintf(stderr, "rasterview: %s\n", text.c_str());
}

// Reads the job to its end, keeping the bytes as they come and checking
// them on the way; then draws it from the kept file. At a stop, it takes
// what had arrived by then and no more.
void Serve(Server& server, Job& job) {
    const ListenOptions& options = server.options;
    tools::StreamDecoder decoder;
    std::vector<std::uint8_t> buffer(1 << 16);
    std::uint64_t kept = 0;
    std::string cut, failure;
    bool ended = false;  // the sender closed after its last byte
    bool lost = false;   // or is gone: nobody is left to tell
    bool stopping = false;
    size_t arrived = 0;  // at a stop: the bytes still to take
    Clock::time_point lastData = Clock::now();
    for (;;) {
        if (gStop && !stopping) {
            stopping = true;
            int queued = 0;
            arrived = ioctl(job.socket, FIONREAD, &queued) == 0 && queued > 0 ? static_cast<size_t>(queued) : 0;
        }
        size_t want = buffer.size();
        if (stopping) {
            if (arrived == 0) {
                std::uint8_t next;
                ended = recv(job.socket, &next, 1, MSG_PEEK | MSG_DONTWAIT) == 0;
                if (!ended) cut = "cut short: the printer was stopped";
                break;
            }
            want = std::min(want, arrived);
        } else {
            pollfd ready[2] = {{job.socket, POLLIN, 0}, {gWake[0], POLLIN, 0}};
            const int n = poll(ready, 2, kTickMs);
            if (n < 0 && errno != EINTR) {
                failure = "cannot wait for the sender: " + Reason();
                break;
            }
            if (n <= 0 || !(ready[0].revents & (POLLIN | POLLHUP | POLLERR))) {
                if (Clock::now() - lastData >= std::chrono::seconds(options.readTimeoutSeconds))
                    cut = "cut short: nothing received for " + std::to_string(options.readTimeoutSeconds) + " s";
                if (!cut.empty()) break;
                continue;
            }
        }
        const ssize_t got = recv(job.socket, buffer.data(), want, MSG_DONTWAIT);
        if (got == 0) {
            ended = true;
            break;
        }
        if (got < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                arrived = 0;
                continue;
            }
            cut = "connection lost: " + Reason();
            lost = true;
            break;
        }
        lastData = Clock::now();
        if (stopping) arrived -= std::min(arrived, static_cast<size_t>(got));
        size_t take = static_cast<size_t>(got);
        if (take > options.maxJobBytes - kept) take = static_cast<size_t>(options.maxJobBytes - kept);
        const size_t wrote = WriteAll(job.prn, buffer.data(), take);
        if (wrote < take) failure = "cannot write " + job.prnPath + ": " + Reason();
        decoder.Feed(buffer.data(), wrote);
        kept += wrote;
        if (!failure.empty()) break;
        if (take < static_cast<size_t>(got)) {
            cut = "cut at " + std::to_string(kept) + " bytes by --max-job-bytes";
            break;
        }
    }
    if (close(job.prn) != 0 && failure.empty()) failure = "cannot write " + job.prnPath + ": " + Reason();
    Hang(job.socket, !lost && (!ended || !failure.empty()));
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
                static_cast<unsigned long long>(decoder.rows()), static_cast<unsigned long long>(kept),
                verdict.c_str());
    std::fflush(stdout);
    if (verdict != "ok") server.allWellFormed = false;
    server.lastActivity = Clock::now();
    job.done = true;
    Poke(gDone[1]);
}


// The caller's connection becomes job NEXT (or the first number free after
// it): its file is made, and it is served on a thread of its own, or here
// when none can be had.
void StartJob(Server& server, Caller& caller, std::uint64_t& next, std::list<std::unique_ptr<Job>>& jobs,
              bool here) {
    const std::string& dir = server.options.out;
    auto job = std::make_unique<Job>();
    job->socket = caller.socket;
    caller.socket = -1;
    for (;; ++next) {
        job->prnPath = JobPath(dir, next, "prn");
        job->prn = open(job->prnPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (job->prn >= 0 || errno != EEXIST) break;
    }
    job->number = next++;
    if (job->prn < 0) {
        std::lock_guard<std::mutex> lock(server.mutex);
        std::printf("job %llu: 0 rows, 0 bytes, cannot create %s: %s\n",
                    static_cast<unsigned long long>(job->number), job->prnPath.c_str(), Reason().c_str());
        std::fflush(stdout);
        server.allWellFormed = false;
        Hang(job->socket, true);
        return;
    }
    job->pngPath = JobPath(dir, job->number, "png");
    {
        std::lock_guard<std::mutex> lock(server.mutex);
        server.lastActivity = Clock::now();
    }
    Job& started = *job;
    jobs.push_back(std::move(job));
    if (!here) {
        try {
            started.thread = std::thread([&server, &started] { Serve(server, started); });
            return;
        } catch (const std::system_error&) {
            // No thread to be had: this job is served before the next is taken.
        }
    }
    Serve(server, started);
}

void EndJobs(std::list<std::unique_ptr<Job>>& jobs, bool all) {
    for (auto it = jobs.begin(); it != jobs.end();) {
        if (!all && !(*it)->done) {
            ++it;
            continue;
        }
        if ((*it)->thread.joinable()) (*it)->thread.join();
        it = jobs.erase(it);
    }
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
    if (pipe2(gWake, O_CLOEXEC | O_NONBLOCK) != 0 || pipe2(gDone, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "rasterview: cannot make a pipe: %s\n", Reason().c_str());
        return 1;
    }
    fcntl(listener, F_SETFL, O_NONBLOCK);
    struct sigaction stop = {};
    stop.sa_handler = OnStopSignal;
    sigaction(SIGINT, &stop, nullptr);
    sigaction(SIGTERM, &stop, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
    std::fprintf(stderr, "rasterview: listening on %s, jobs go to %s\n", shown.c_str(), options.out.c_str());

    Server server(options);
    const auto silence = std::chrono::seconds(options.readTimeoutSeconds);
    std::list<std::unique_ptr<Job>> jobs;
    std::deque<Caller> callers;
    std::uint64_t next = LastJob(options.out) + 1, started = 0;
    auto jobsLeft = [&] { return !options.jobs || started < options.jobs; };
    auto drop = [&](std::deque<Caller>::iterator it, const char* why) {
        if (why) Note(server, it->peer + " " + why);
        Hang(it->socket, it->spoke);
        return callers.erase(it);
    };
    // The silent connection held longest gives its place to a new one.
    auto makeRoom = [&] {
        auto silent = std::find_if(callers.begin(), callers.end(), [](const Caller& c) { return !c.spoke; });
        if (silent == callers.end()) return false;
        drop(silent, "sent nothing; dropped to make room");
        return true;
    };
    bool paused = false;  // out of descriptors, with no silent connection to drop
    // Takes a connection from the listen queue; false when there is none to take.
    auto take = [&](bool hold) {
        sockaddr_storage from = {};
        socklen_t length = sizeof from;
        const int connection = accept4(listener, reinterpret_cast<sockaddr*>(&from), &length, SOCK_CLOEXEC);
        if (connection < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                if (hold && makeRoom()) return true;
                paused = true;
            }
            return errno == EINTR || errno == ECONNABORTED;
        }
        if (hold && callers.size() >= kCallersHeld) makeRoom();
        callers.push_back({connection, Shown(from), Clock::now(), false});
        return true;
    };
    for (;;) {
        EndJobs(jobs, false);
        if (gStop || !jobsLeft()) break;
        const Clock::time_point now = Clock::now();
        const std::string silent = "sent nothing for " + std::to_string(options.readTimeoutSeconds) + " s; dropped";
        for (auto it = callers.begin(); it != callers.end();)
            it = !it->spoke && now - it->since >= silence ? drop(it, silent.c_str()) : it + 1;
        // Senders take free places in the order they spoke.
        for (auto it = callers.begin(); it != callers.end() && jobs.size() < kJobsAtOnce && jobsLeft();) {
            if (!it->spoke) {
                ++it;
                continue;
            }
            ++started;
            StartJob(server, *it, next, jobs, false);
            it = callers.erase(it);
        }
        const bool waiting = std::any_of(callers.begin(), callers.end(), [](const Caller& c) { return c.spoke; });
        if (options.idleSeconds && jobs.empty() && !waiting) {
            std::lock_guard<std::mutex> lock(server.mutex);
            if (now - server.lastActivity >= std::chrono::seconds(options.idleSeconds)) break;
        }
        // Accepting pauses only while every held connection has spoken, or
        // for a tick when out of descriptors.
        const bool allSpoke = std::all_of(callers.begin(), callers.end(), [](const Caller& c) { return c.spoke; });
        const bool full = paused || (callers.size() >= kCallersHeld && allSpoke);
        paused = false;
        std::vector<pollfd> ready = {{gWake[0], POLLIN, 0}, {gDone[0], POLLIN, 0}, {full ? -1 : listener, POLLIN, 0}};
        for (const Caller& c : callers) ready.push_back({c.spoke ? -1 : c.socket, POLLIN, 0});
        if (poll(ready.data(), ready.size(), kTickMs) < 0) {
            if (errno != EINTR) std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
            continue;
        }
        if (ready[1].revents & POLLIN) {
            char drain[64];
            while (read(gDone[0], drain, sizeof drain) > 0) {
            }
        }
        size_t i = 3;
        for (auto it = callers.begin(); it != callers.end(); ++i) {
            if (it->spoke || !ready[i].revents) {
                ++it;
                continue;
            }
            const int state = Peek(it->socket);
            if (state == 0) {
                it = drop(it, "sent nothing; not a job");
            } else {
                it->spoke = state > 0;
                ++it;
            }
        }
        if (ready[2].revents & POLLIN) {
            for (int n = 0; n < 64 && take(true); ++n) {
            }
        }
    }
    if (gStop) {
        // What had arrived when the stop came is kept, from connections
        // waiting for a place and from those still in the listen queue
        // alike: none is left unread and unreported.
        for (int n = 0; n < 128 && take(false); ++n) {
        }
        for (Caller& c : callers) {
            if (!jobsLeft() || Peek(c.socket) <= 0) continue;
            ++started;
            StartJob(server, c, next, jobs, true);
        }
    }
    for (Caller& c : callers)
        if (c.socket >= 0) Hang(c.socket, c.spoke);
    close(listener);
    EndJobs(jobs, true);
    std::lock_guard<std::mutex> lock(server.mutex);
    return server.allWellFormed ? 0 : 1;
}

}  // namespace rasterview

#endif

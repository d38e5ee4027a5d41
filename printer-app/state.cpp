#include "printer-app/state.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include <fcntl.h>
#include <libgen.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace app {

namespace {

const char kHeader[] = "# raster58-app state\n";
const char kTrailer[] = "# end: %zu bytes\n";
// Job numbers skipped when how many were handed out since the last save is
// not known (a marker of an older version, or a state loaded from its
// backup, which is older than the counted jobs).
constexpr int kJobMargin = 100;
// A client's change waits this long for its save; past it (a save blocked
// behind the lock the client holds) the change is saved a moment later.
constexpr auto kSaveWait = std::chrono::seconds(2);
constexpr time_t kRetrySeconds = 5;

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, std::strlen(prefix), prefix) == 0; }

// The whole of a file, or errno.
int ReadFile(const std::string& path, std::string& text) {
    text.clear();
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno;
    char buffer[8192];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            const int err = n < 0 ? errno : 0;
            close(fd);
            return err;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

bool WriteAll(int fd, const std::string& text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

// PAPPL reads its state by file name only: an anonymous file in memory
// lends it one (it writes only to a plain file).
class MemoryFile {
  public:
    MemoryFile() : fd_(memfd_create("raster58-app-state", MFD_CLOEXEC)) {
        std::snprintf(name_, sizeof name_, "/proc/self/fd/%d", fd_);
    }
    ~MemoryFile() {
        if (fd_ >= 0) close(fd_);
    }
    MemoryFile(const MemoryFile&) = delete;
    MemoryFile& operator=(const MemoryFile&) = delete;
    bool ok() const { return fd_ >= 0; }
    const char* name() const { return name_; }
    bool Put(const std::string& text) { return ftruncate(fd_, 0) == 0 && WriteAll(fd_, text); }

  private:
    int fd_;
    char name_[64];
};

// The value of a "<Printer ...>" line: its name.
std::string PrinterName(const std::string& line) {
    std::string value = line.substr(std::strlen("<Printer "));
    if (!value.empty() && value.back() == '>') value.pop_back();
    cups_option_t* options = nullptr;
    const int count = cupsParseOptions(value.c_str(), 0, &options);
    const char* name = cupsGetOption("name", count, options);
    std::string out = name ? name : "?";
    cupsFreeOptions(count, options);
    return out;
}

std::set<std::string> PrinterNames(const std::string& text) {
    std::set<std::string> names;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        if (StartsWith(line, "<Printer ")) names.insert(PrinterName(line));
        at = end + 1;
    }
    return names;
}

// The next job number of each printer in a state's text, as far as it can
// be read (a damaged state is newer than its backup).
std::map<std::string, int> NextJobIds(const std::string& text) {
    std::map<std::string, int> next;
    std::string printer;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        if (StartsWith(line, "<Printer "))
            printer = PrinterName(line);
        else if (line == "</Printer>")
            printer.clear();
        else if (!printer.empty() && StartsWith(line, "NextJobId "))
            next[printer] = std::atoi(line.c_str() + std::strlen("NextJobId "));
    }
    return next;
}

// Whether a line of quoted options (name="value", backslash escapes) from
// `at` on is whole: a value cut by a line break leaves its quote open.
bool WholeOptions(const std::string& line, size_t at, bool block) {
    while (at < line.size() && line[at] == ' ') {
        const size_t eq = line.find('=', at + 1);
        if (eq == std::string::npos || eq == at + 1 || line.find_first_of(" \">", at + 1) < eq ||
            eq + 1 >= line.size() || line[eq + 1] != '"')
            return false;
        size_t i = eq + 2;
        while (i < line.size() && line[i] != '"') i += line[i] == '\\' ? 2 : 1;
        if (i >= line.size()) return false;
        at = i + 1;
    }
    return at == line.size() - (block ? 1 : 0) && (!block || line.back() == '>');
}

// The lines PAPPL writes as quoted options, and where their options begin.
size_t OptionsAt(const std::string& line) {
    for (const char* word : {"<Printer", "Job", "Contact", "media-col-default"})
        if (StartsWith(line, word) && (line.size() == std::strlen(word) || line[std::strlen(word)] == ' '))
            return std::strlen(word);
    if (StartsWith(line, "media-col-ready")) {
        size_t at = std::strlen("media-col-ready");
        while (at < line.size() && line[at] >= '0' && line[at] <= '9') ++at;
        return at;
    }
    return std::string::npos;
}

// What PAPPL writes: the system's settings, ending with its UUID, then each
// printer between "<Printer" and "</Printer>". A value holding a line break
// or cut by a bounded read would leave a line whose quote is open or a line
// of its own; PAPPL (as patched) writes neither.
std::string StructureDamage(const std::string& body) {
    if (!body.empty() && body.back() != '\n') return "cut inside a line at byte " + std::to_string(body.size());
    std::string printer;
    std::set<std::string> printers, ids;
    bool in_printer = false, uuid = false;
    size_t number = 0;
    for (size_t at = 0; at < body.size(); ++number) {
        const size_t end = body.find('\n', at);
        const std::string line = body.substr(at, end - at);
        at = end + 1;
        const std::string where = "line " + std::to_string(number + 1);
        const size_t options = OptionsAt(line);
        if (options != std::string::npos && !WholeOptions(line, options, line[0] == '<'))
            return where + " is broken (a value not closed)";
        if (StartsWith(line, "<Printer ")) {
            if (in_printer) return "printer \"" + printer + "\" is not closed";
            in_printer = true;
            printer = PrinterName(line);
            cups_option_t* opts = nullptr;
            const int count = cupsParseOptions(line.c_str() + std::strlen("<Printer "), 0, &opts);
            const char* id = cupsGetOption("id", count, opts);
            const std::string key = id ? id : "";
            cupsFreeOptions(count, opts);
            if (!printers.insert(printer).second || !ids.insert(key).second)
                return "printer \"" + printer + "\" is listed twice";
        } else if (line == "</Printer>") {
            if (!in_printer) return "a printer closed that was never opened";
            in_printer = false;
        } else if (line.empty() || line[0] == '<' || line[0] == ' ') {
            return where + " is no setting";
        } else if (!in_printer && StartsWith(line, "UUID ")) {
            uuid = true;
        }
    }
    if (in_printer) return "cut inside printer \"" + printer + "\"";
    if (!uuid) return "cut inside the system's settings";
    return "";
}

// The system's printers that a saved state lacks, or "".
std::string MissingPrinters(pappl_system_t* system, const std::string& body) {
    struct Check {
        std::set<std::string> saved;
        std::string missing;
    } check{PrinterNames(body), ""};
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            Check& c = *static_cast<Check*>(data);
            const char* name = papplPrinterGetName(printer);
            if (!papplPrinterIsDeleted(printer) && name && !c.saved.count(name))
                c.missing += (c.missing.empty() ? "printer \"" : ", \"") + std::string(name) + "\"";
        },
        &check);
    return check.missing.empty() ? "" : check.missing + " missing";
}

// A state as PAPPL reads it: without the header and the trailer.
std::string Body(const std::string& text) {
    if (!StartsWith(text, kHeader)) return text;
    const size_t last = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
    const size_t end = last == std::string::npos ? text.size() : last + 1;
    const size_t begin = std::strlen(kHeader);
    return end > begin ? text.substr(begin, end - begin) : std::string();
}

void LoadText(pappl_system_t* system, const std::string& path, const std::string& text) {
    MemoryFile memory;
    if (!memory.ok() || !memory.Put(Body(text))) {
        papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to load the state of '%s': %s", path.c_str(),
                 std::strerror(errno));
        return;
    }
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Loading the state saved in '%s'.", path.c_str());
    papplSystemLoadState(system, memory.name());
}

std::string When(const std::string& path) {
    struct stat st;
    char when[64] = "an unknown time";
    if (stat(path.c_str(), &st) == 0) {
        struct tm tm;
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", gmtime_r(&st.st_mtime, &tm));
    }
    return when;
}

bool SyncFolder(const std::string& path) {
    std::string copy = path;
    const int fd = open(dirname(&copy[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = fsync(fd) == 0;
    close(fd);
    return ok;
}

// One save at a time, whoever asks.
std::mutex save_mutex;
bool last_failed = false;  // under save_mutex
std::atomic<time_t> failed_at{0};

// The job numbers handed out since the last save are counted in FILE.jobs:
// a record of fixed size, rewritten in place as each job is made (no new
// block is needed, so it is kept on a full disk; not flushed, it outlives a
// kill, not a power cut). A start skips as many numbers on each printer.
constexpr size_t kCountSize = 24;
std::mutex jobs_mutex;
long jobs_counted = 0;  // under jobs_mutex
int jobs_fd = -1;       // under jobs_mutex

// Under jobs_mutex. A failure leaves the count in memory for the next save.
bool WriteCount() {
    char record[kCountSize];
    std::snprintf(record, sizeof record, "%*ld\n", static_cast<int>(kCountSize - 2), jobs_counted);
    return jobs_fd >= 0 && pwrite(jobs_fd, record, kCountSize - 1, 0) == static_cast<ssize_t>(kCountSize - 1);
}

// The count FILE.jobs holds: 0 without the file, kJobMargin when it is not
// a count (an older version's empty marker, or damage).
long ReadCount(const std::string& path) {
    std::string text;
    const int err = ReadFile(path + ".jobs", text);
    if (err == ENOENT) return 0;
    char* end = nullptr;
    const long count = err ? -1 : std::strtol(text.c_str(), &end, 10);
    if (count < 0 || end == text.c_str() || *end != '\n') return kJobMargin;
    return count;
}

// The thread that saves on the events; never deleted, as the process may
// end with it waiting.
struct Keeper {
    pappl_system_t* system = nullptr;
    std::string path;
    std::mutex mutex;
    std::condition_variable changed;
    unsigned long wanted = 0, saved = 0;
    bool stopped = false;

    void Run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopped || wanted > saved; });
            if (stopped) return;
            const unsigned long target = wanted;
            lock.unlock();
            SaveState(system, path);
            lock.lock();
            saved = target;
            changed.notify_all();
        }
    }

    unsigned long Ask() {
        std::lock_guard<std::mutex> lock(mutex);
        changed.notify_all();
        return ++wanted;
    }

    void Await(unsigned long ticket) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, kSaveWait, [&] { return stopped || saved >= ticket; });
    }
};

Keeper* keeper = nullptr;

// PAPPL's save callback: its main loop calls it after changes, and once
// more when the system stops; after that the thread saves no more.
bool SaveCallback(pappl_system_t* system, void* data) {
    Keeper* k = static_cast<Keeper*>(data);
    if (!papplSystemIsRunning(system)) {
        std::lock_guard<std::mutex> lock(k->mutex);
        k->stopped = true;
        k->changed.notify_all();
    }
    return SaveState(system, k->path);
}

// Each printer's next job number at least what `next` lists for it.
void RaiseJobIds(pappl_system_t* system, const std::map<std::string, int>& next) {
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            const auto& n = *static_cast<const std::map<std::string, int>*>(data);
            const char* name = papplPrinterGetName(printer);
            const auto it = name ? n.find(name) : n.end();
            if (it != n.end() && it->second > papplPrinterGetNextJobID(printer))
                papplPrinterSetNextJobID(printer, it->second);
        },
        const_cast<std::map<std::string, int>*>(&next));
}

// Numbers handed out after the last save are not given again: `count` are
// skipped on each printer, and counted until a save holds them.
void SkipUnsavedJobs(pappl_system_t* system, long count) {
    if (count <= 0) return;
    const int skip = static_cast<int>(std::min<long>(count, INT_MAX / 2));
    papplSystemIteratePrinters(
        system,
        [](pappl_printer_t* printer, void* data) {
            papplPrinterSetNextJobID(printer, papplPrinterGetNextJobID(printer) + *static_cast<const int*>(data));
        },
        const_cast<int*>(&skip));
    {
        std::lock_guard<std::mutex> lock(jobs_mutex);
        jobs_counted = skip;
    }
    papplLog(system, PAPPL_LOGLEVEL_INFO, "Job numbers skip %d, as many as may have been handed out after the last save.",
             skip);
}

}  // namespace

std::string StateDamage(const std::string& text) {
    if (text.empty()) return "empty";
    if (!StartsWith(text, kHeader)) return StructureDamage(text);
    const size_t last = text.size() < 2 ? std::string::npos : text.rfind('\n', text.size() - 2);
    size_t counted = 0;
    int end = 0;
    if (text.back() != '\n' || last == std::string::npos ||
        std::sscanf(text.c_str() + last + 1, "# end: %zu bytes%n", &counted, &end) != 1 || counted != last + 1)
        return "cut at byte " + std::to_string(text.size());
    if (text.compare(last + 1 + static_cast<size_t>(end), std::string::npos, "\n") != 0)
        return "cut at byte " + std::to_string(text.size());
    return StructureDamage(Body(text));
}

void LoadState(pappl_system_t* system, const std::string& path) {
    unlink((path + ".new").c_str());
    std::string text;
    const int err = ReadFile(path, text);
    if (err == ENOENT) return;
    const std::string damage = err ? std::strerror(err) : StateDamage(text);
    const long counted = ReadCount(path);
    if (damage.empty()) {
        LoadText(system, path, text);
        if (counted > 0) {
            SkipUnsavedJobs(system, counted);
            SaveState(system, path);
        }
        return;
    }
    const std::string backup = path + ".bak";
    std::string saved;
    if (ReadFile(backup, saved) == 0 && StateDamage(saved).empty()) {
        std::string lost;
        const std::set<std::string> kept = PrinterNames(saved);
        for (const std::string& name : PrinterNames(text))
            if (!kept.count(name)) lost += (lost.empty() ? "" : ", ") + ("\"" + name + "\"");
        papplLog(system, PAPPL_LOGLEVEL_WARN,
                 "The state file '%s' is damaged (%s); loading its backup of %s instead. Lost: every change made "
                 "after that%s%s. The damaged file is kept as '%s.damaged'.",
                 path.c_str(), damage.c_str(), When(backup).c_str(), lost.empty() ? "" : ", and the printers ",
                 lost.c_str(), path.c_str());
        // The damaged file must not become the backup, nor be read again.
        rename(path.c_str(), (path + ".damaged").c_str());
        LoadText(system, backup, saved);
        RaiseJobIds(system, NextJobIds(text));
        SkipUnsavedJobs(system, counted + kJobMargin);
        SaveState(system, path);
        return;
    }
    papplLog(system, PAPPL_LOGLEVEL_ERROR,
             "The state file '%s' is damaged (%s) and has no whole backup; loading what it holds: settings after "
             "the damage are lost.%s%s%s",
             path.c_str(), damage.c_str(), err ? "" : " The damaged file is kept as '", err ? "" : path.c_str(),
             err ? "" : ".damaged'.");
    if (err) return;  // unreadable: left as it is
    rename(path.c_str(), (path + ".damaged").c_str());
    LoadText(system, path, text);
    SkipUnsavedJobs(system, counted + kJobMargin);
    SaveState(system, path);
}

bool SaveState(pappl_system_t* system, const std::string& path) {
    std::lock_guard<std::mutex> lock(save_mutex);
    const std::string temporary = path + ".new", backup = path + ".bak";
    std::string body, why;
    long counted = 0;  // jobs this save holds, at least
    {
        std::lock_guard<std::mutex> jobs(jobs_mutex);
        counted = jobs_counted;
    }
    // PAPPL ignores its write errors: what it wrote must hold every printer
    // the system has (one added meanwhile makes a second try).
    for (int attempt = 0; attempt < 3; ++attempt) {
        unlink(temporary.c_str());
        if (!papplSystemSaveState(system, temporary.c_str()) || ReadFile(temporary, body) != 0) {
            why = std::strerror(errno);
            break;
        }
        why = StructureDamage(body);
        if (why.empty()) why = MissingPrinters(system, body);
        if (why.empty()) break;
        why = "what was written is incomplete (" + why + ")";
    }

    std::string text = kHeader + body;
    char trailer[64];
    std::snprintf(trailer, sizeof trailer, kTrailer, text.size());
    text += trailer;
    if (why.empty()) {
        const int fd = open(temporary.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
        if (fd < 0 || fchmod(fd, 0600) != 0 || !WriteAll(fd, text) || fsync(fd) != 0) why = std::strerror(errno);
        if (fd >= 0 && close(fd) != 0 && why.empty()) why = std::strerror(errno);
    }
    if (why.empty()) {
        // The previous state stays whole as the backup; FILE is never absent.
        const std::string link_name = backup + ".new";
        unlink(link_name.c_str());
        if (link(path.c_str(), link_name.c_str()) == 0) rename(link_name.c_str(), backup.c_str());
        if (rename(temporary.c_str(), path.c_str()) != 0 || !SyncFolder(path)) why = std::strerror(errno);
    }
    if (why.empty()) {
        // Jobs made during the save stay counted; a failed save keeps all.
        std::lock_guard<std::mutex> jobs(jobs_mutex);
        jobs_counted -= counted;
        WriteCount();
    }
    if (!why.empty()) {
        unlink(temporary.c_str());
        if (!last_failed)
            papplLog(system, PAPPL_LOGLEVEL_ERROR, "Unable to save the state to '%s': %s; the previous state is kept.",
                     path.c_str(), why.c_str());
        last_failed = true;
        failed_at = time(nullptr);
        return false;
    }
    if (last_failed) papplLog(system, PAPPL_LOGLEVEL_INFO, "The state is saved to '%s' again.", path.c_str());
    last_failed = false;
    failed_at = 0;
    return true;
}

void KeepState(pappl_system_t* system, const std::string& path) {
    keeper = new Keeper;
    keeper->system = system;
    keeper->path = path;
    {
        std::lock_guard<std::mutex> jobs(jobs_mutex);
        jobs_fd = open((path + ".jobs").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (!WriteCount() || fsync(jobs_fd) != 0)
            papplLog(system, PAPPL_LOGLEVEL_ERROR,
                     "Unable to keep the count of new jobs in '%s.jobs': %s; after a crash before a save, job "
                     "numbers may be given again.",
                     path.c_str(), std::strerror(errno));
    }
    std::thread([] { keeper->Run(); }).detach();
    papplSystemSetSaveCallback(system, SaveCallback, keeper);
}

void StateEvent(pappl_system_t*, pappl_event_t event) {
    if (!keeper) return;
    if (event & PAPPL_EVENT_JOB_CREATED) {
        std::lock_guard<std::mutex> lock(jobs_mutex);
        ++jobs_counted;
        WriteCount();
    }
    // A deleted printer is still listed when its event comes; the main loop
    // saves again once it is gone.
    if (event & PAPPL_EVENT_PRINTER_DELETED) {
        keeper->Ask();
        return;
    }
    const pappl_event_t saved =
        PAPPL_EVENT_PRINTER_CREATED | PAPPL_EVENT_PRINTER_CONFIG_CHANGED | PAPPL_EVENT_SYSTEM_CONFIG_CHANGED;
    if (event & saved) keeper->Await(keeper->Ask());
}

void RetryState(pappl_system_t*) {
    const time_t failed = failed_at;
    if (keeper && failed && time(nullptr) - failed >= kRetrySeconds) {
        failed_at = time(nullptr);
        keeper->Ask();
    }
}

}  // namespace app

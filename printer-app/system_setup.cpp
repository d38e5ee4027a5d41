#include "printer-app/system_setup.h"

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "printer-app/documents.h"
#include "printer-app/jpeg_filter.h"
#include "printer-app/png_filter.h"
#include "printer-app/raster_job.h"
#include "printer-app/raw_stream.h"

namespace app {

namespace {

// The formats the printer prints, for the reason a document is refused.
const char kFormatNames[] = "PWG raster, Apple raster, PNG, JPEG, PDF, plain text or the printer's own row stream";

// A document sent as application/octet-stream that PAPPL does not recognise
// itself (it knows PDF, PostScript, PNG, JPEG and both rasters): the
// printer's own row stream, or PDF or text for the document filters.
const char* TypeDocument(const unsigned char* header, size_t size, void*) {
    if (LooksRaw(header, size)) return kRawFormat;
    return DocumentFormat(header, size);
}

// A document that is no format the printer prints reaches a filter only as
// application/octet-stream (PAPPL refuses a named format it does not list):
// its type could not be told from its first bytes.
bool RefuseUntyped(pappl_job_t* job, pappl_device_t*, void*) {
    return RefuseJob(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR,
                     std::string("the document's type cannot be told from its contents; the printer prints ") +
                         kFormatNames);
}

// Sweeps are done on a thread of their own: PAPPL calls timers with the
// system locked, and cancelling a job or changing its message takes the
// printer's and job's locks.
struct Keeper {
    pappl_system_t* system = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    bool sweepDue = false;
};

// Never destroyed: its thread waits on it for the life of the process, and
// a condition variable destroyed at exit under a waiter blocks the exit.
Keeper& gKeeper = *new Keeper;
constexpr int kSweepSeconds = 5;

struct Waiting {
    time_t before;
    std::vector<int> jobs;
};

void FindWaiting(pappl_job_t* job, void* data) {
    Waiting& w = *static_cast<Waiting*>(data);
    if (papplJobGetState(job) == IPP_JSTATE_HELD && !papplJobGetFilename(job) &&
        papplJobGetTimeCreated(job) < w.before)
        w.jobs.push_back(papplJobGetID(job));
}

void AddPrinter(pappl_printer_t* printer, void* data) {
    static_cast<std::vector<pappl_printer_t*>*>(data)->push_back(printer);
}

// Bounds each printer's active jobs, and cancels jobs whose document never
// came: they would hold the printer's connection open for ever.
void Sweep(pappl_system_t* system) {
    std::vector<pappl_printer_t*> printers;
    papplSystemIteratePrinters(system, AddPrinter, &printers);
    for (pappl_printer_t* printer : printers) {
        if (papplPrinterGetMaxActiveJobs(printer) == 0) papplPrinterSetMaxActiveJobs(printer, kMaxActiveJobs);
        Waiting waiting{time(nullptr) - kDocumentTimeout, {}};
        papplPrinterIterateActiveJobs(printer, FindWaiting, &waiting, 1, 0);
        for (int id : waiting.jobs) {
            pappl_job_t* job = papplPrinterFindJob(printer, id);
            if (!job) continue;
            papplLogJob(job, PAPPL_LOGLEVEL_INFO, "No document within %d seconds, cancelling.", kDocumentTimeout);
            papplJobSetReasons(job, PAPPL_JREASON_ABORTED_BY_SYSTEM, PAPPL_JREASON_NONE);
            papplJobSetMessage(job, "no document came within %d seconds of the job's creation", kDocumentTimeout);
            papplJobCancel(job);
        }
    }
}

void Keep() {
    std::unique_lock<std::mutex> hold(gKeeper.lock);
    for (;;) {
        gKeeper.wake.wait(hold, [] { return gKeeper.sweepDue; });
        if (gKeeper.sweepDue) {
            gKeeper.sweepDue = false;
            hold.unlock();
            if (papplSystemIsRunning(gKeeper.system)) Sweep(gKeeper.system);
            hold.lock();
        }
    }
}

// PAPPL's timer; the sweep itself runs on the keeper's thread.
bool Tick(pappl_system_t*, void*) {
    std::lock_guard<std::mutex> hold(gKeeper.lock);
    gKeeper.sweepDue = true;
    gKeeper.wake.notify_one();
    return true;
}

// Tasks (threads and processes) kept beside the clients' threads: the main
// loop, the keepers, a job thread per printer and what it starts, DNS-SD's
// and USB's threads.
constexpr long kReservedTasks = 32;
constexpr long kMinClients = 4;

// The most tasks this process's control groups allow (a unit's TasksMax=,
// their pids.max, the lowest on the way to the root); 0 when unbounded.
long TaskLimit() {
    std::ifstream groups("/proc/self/cgroup");
    long limit = 0;
    for (std::string line; std::getline(groups, line);) {
        // "ID:CONTROLLERS:PATH"; cgroup v2's has no controllers.
        const size_t a = line.find(':'), b = a == std::string::npos ? a : line.find(':', a + 1);
        if (b == std::string::npos) continue;
        const std::string controllers = "," + line.substr(a + 1, b - a - 1) + ",";
        std::vector<std::string> roots;
        if (controllers == ",,")
            roots = {"/sys/fs/cgroup", "/sys/fs/cgroup/unified"};
        else if (controllers.find(",pids,") != std::string::npos)
            roots = {"/sys/fs/cgroup/pids"};
        for (const std::string& root : roots) {
            for (std::string path = line.substr(b + 1); !path.empty();) {
                std::ifstream max(root + (path == "/" ? "" : path) + "/pids.max");
                std::string value;
                if (max >> value) {
                    char* end = nullptr;
                    const long n = std::strtol(value.c_str(), &end, 10);
                    if (end != value.c_str() && !*end && n > 0) limit = limit ? std::min(limit, n) : n;
                }
                if (path == "/") break;
                const size_t slash = path.rfind('/');
                path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
            }
        }
    }
    return limit;
}

// Each client has a thread of its own: the clients let in stay below the
// task limit, with room for the jobs; one past it is answered 503.
void BoundClients(pappl_system_t* system) {
    const long tasks = TaskLimit();
    if (tasks <= 0) return;
    const long clients = std::max(kMinClients, tasks - kReservedTasks);
    if (clients >= papplSystemGetMaxClients(system)) return;
    papplSystemSetMaxClients(system, static_cast<int>(clients));
    papplLog(system, PAPPL_LOGLEVEL_INFO, "At most %ld clients at once: %ld tasks are allowed, %ld kept for jobs.",
             clients, tasks, tasks - clients);
}

}  // namespace

void ConfigureSystem(pappl_system_t* system) {
    static std::once_flag once;
    std::call_once(once, [system] {
        gKeeper.system = system;
        papplSystemSetMIMECallback(system, TypeDocument, nullptr);
        AddDocumentFormats(system, nullptr, nullptr);
        // Ours before PAPPL's own (to image/pwg-raster): the driver's format
        // is looked up first.
        papplSystemAddMIMEFilter(system, "image/png", kRawFormat, PrintPng, nullptr);
        papplSystemAddMIMEFilter(system, "image/jpeg", kRawFormat, PrintJpeg, nullptr);
        papplSystemAddMIMEFilter(system, "application/octet-stream", kRawFormat, RefuseUntyped, nullptr);
        papplSystemSetMaxImageSize(system, kMaxPicturePixels, kMaxPictureSide, kMaxPictureSide);
        BoundClients(system);
        std::thread(Keep).detach();
        papplSystemAddTimerCallback(system, 0, kSweepSeconds, Tick, nullptr);
    });
}

}  // namespace app

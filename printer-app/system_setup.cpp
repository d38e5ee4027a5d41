#include "printer-app/system_setup.h"

#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "printer-app/documents.h"
#include "printer-app/png_check.h"
#include "printer-app/raw_stream.h"

namespace app {

namespace {

// The formats the printer prints, and how a document sent as
// application/octet-stream is recognised as one where PAPPL does not
// recognise it itself (it knows PDF, PostScript, PNG, JPEG and both
// rasters). PDF and text are rendered by the document filters.
struct Format {
    const char* type;
    bool (*recognise)(const unsigned char* header, size_t size);
};
const Format kFormats[] = {
    {"image/pwg-raster", nullptr},
    {"image/urf", nullptr},
    {"image/png", nullptr},
    {"image/jpeg", nullptr},
    {kRawFormat, LooksRaw},
};
const char kFormatNames[] = "PWG raster, Apple raster, PNG, JPEG, PDF, plain text or the printer's own row stream";

bool Printable(const char* format) {
    if (!format) return false;
    for (const Format& f : kFormats)
        if (!std::strcmp(format, f.type)) return true;
    return RendersFormat(format);
}

const char* TypeDocument(const unsigned char* header, size_t size, void*) {
    for (const Format& f : kFormats)
        if (f.recognise && f.recognise(header, size)) return f.type;
    return DocumentFormat(header, size);
}

// Work on jobs is done on a thread of its own: PAPPL calls event callbacks
// with the job locked and timers with the system locked, and cancelling a
// job or changing its message takes the printer's and job's locks.
struct Refusal {
    pappl_printer_t* printer;
    int job;
    std::string why;
};

struct Keeper {
    pappl_system_t* system = nullptr;
    std::mutex lock;
    std::condition_variable wake;
    std::deque<Refusal> refusals;
    bool sweepDue = false;
};

// Never destroyed: its thread waits on it for the life of the process, and
// a condition variable destroyed at exit under a waiter blocks the exit.
Keeper& gKeeper = *new Keeper;
constexpr int kSweepSeconds = 5;

void Refuse(const Refusal& r) {
    pappl_job_t* job = papplPrinterFindJob(r.printer, r.job);
    if (!job) return;
    papplJobSetReasons(job, PAPPL_JREASON_DOCUMENT_FORMAT_ERROR, PAPPL_JREASON_NONE);
    papplJobSetMessage(job, "%s", r.why.c_str());
}

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
        gKeeper.wake.wait(hold, [] { return gKeeper.sweepDue || !gKeeper.refusals.empty(); });
        while (!gKeeper.refusals.empty()) {
            Refusal r = std::move(gKeeper.refusals.front());
            gKeeper.refusals.pop_front();
            hold.unlock();
            Refuse(r);
            hold.lock();
        }
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

// PAPPL accepts a document of any format and only fails it when it is
// processed: the job is told why as it starts.
void CheckFormat(pappl_printer_t* printer, pappl_job_t* job) {
    const char* format = papplJobGetFormat(job);
    if (Printable(format)) return;
    std::string why = format && std::strcmp(format, "application/octet-stream")
                          ? std::string("the printer does not print ") + format + " documents"
                          : std::string("the document's type cannot be told from its contents");
    why += "; the printer prints " + std::string(kFormatNames);
    std::lock_guard<std::mutex> hold(gKeeper.lock);
    gKeeper.refusals.push_back({printer, papplJobGetID(job), why});
    gKeeper.wake.notify_one();
}

}  // namespace

void WatchJobs(pappl_system_t* system, pappl_printer_t* printer, pappl_job_t* job, pappl_event_t event, void* data) {
    if (job && printer && (event & PAPPL_EVENT_JOB_STATE_CHANGED) && papplJobGetState(job) == IPP_JSTATE_PROCESSING)
        CheckFormat(printer, job);
    CheckPngJobs(system, printer, job, event, data);
}

void ConfigureSystem(pappl_system_t* system) {
    static std::once_flag once;
    std::call_once(once, [system] {
        gKeeper.system = system;
        papplSystemSetMIMECallback(system, TypeDocument, nullptr);
        AddDocumentFormats(system, nullptr, nullptr);
        papplSystemSetMaxImageSize(system, kMaxPicturePixels, kMaxPictureSide, kMaxPictureSide);
        std::thread(Keep).detach();
        papplSystemAddTimerCallback(system, 0, kSweepSeconds, Tick, nullptr);
    });
}

}  // namespace app

// The simulated print pipeline: runs whole jobs through a plug-in module
// loaded by path, making the calls the universal printer driver makes, in
// its order, and collecting what the plug-in writes to the printer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "oemdll/host/printer.h"
#include "standin/host/gpd.h"

namespace standin {

// A page as the application drew it: one byte per dot, non-zero = black.
struct Page {
    LONG width = 0;
    LONG height = 0;
    std::vector<std::uint8_t> dots;  // width * height, row by row from the top

    bool Black(LONG x, LONG y) const { return dots[static_cast<size_t>(y) * width + x] != 0; }
};

using Document = std::vector<Page>;

enum class OutputPath {
    kCapture,  // bands go to ImageProcessing; the plug-in prints at the document's end
    kFilter,   // each band's rows go to FilterGraphics in printer order
};

// What the host offers in PDEVOBJ.pDrvProcs.
enum class HostProcs {
    kSpoolWrite,    // its DRVPROCS, with DrvWriteSpoolBuf
    kNoSpoolWrite,  // its DRVPROCS, with DrvWriteSpoolBuf null
    kNone,          // no DRVPROCS at all
};

struct JobOptions {
    std::string modulePath;  // empty: the module built with this tree
    OutputPath path = OutputPath::kCapture;
    LONG bandRows = 256;
    ULONG depth = 1;          // the host's rendering depth: 1, 8 or 24
    DWORD callbackId = 1;     // passed to ImageProcessing
    HostProcs procs = HostProcs::kSpoolWrite;
    // How many bytes the helper's spool write reports taken for its nth call
    // (filter path); null: all of them.
    std::function<DWORD(size_t call, DWORD offered)> helperTakes;
    // Called after each page is handed over (pages done, pages in the job).
    std::function<void(size_t, size_t)> progress;
    // When set, the job runs as this GPD makes Unidrv run it, and depth,
    // callbackId and path are the GPD's: pages at its printable size, bands
    // at *DrvBPP to ImageProcessing with *IPCallbackID, Unidrv's own raster
    // to FilterGraphics when *DevBPP is not 0, and its commands issued as
    // CommandCallback calls or as their bytes in the stream. Not owned.
    const GpdSetup* gpd = nullptr;
    // When set, what the plug-in writes through DRVPROCS goes here as it is
    // written, instead of into JobResult::output.
    std::function<void(const BYTE*, DWORD)> write;
};

struct JobStats {
    size_t documents = 0;
    size_t pages = 0;
    size_t bands = 0;
    size_t rowsRendered = 0;
    size_t commands = 0;  // spool writes made by the plug-in
    size_t bytes = 0;     // bytes taken into the output stream
};

struct JobResult {
    bool ok = false;
    std::string error;          // the refused call and what it returned
    std::vector<BYTE> output;   // the printer stream, both spool paths in order
    JobStats stats;
    std::vector<std::string> claimed;  // optional methods the plug-in claims
    std::vector<ULONG> hostCalls;      // the host's own DDI entry points, in call order
    std::vector<DWORD> callbacks;      // CommandCallback identifiers, in call order
};

// Runs the documents as one job on one device context.
JobResult RunJob(const std::vector<Document>& documents, const JobOptions& options);

struct SessionHost;

// The same host driven a band at a time, for a caller that renders pages as
// it reads them: Start, then per document StartDocument, per page
// StartPage, Band..., EndPage, then EndDocument; Finish shuts down. Bands
// are 1-bit, top row first, each row RowStride(width) bytes, 1 = white;
// they go to ImageProcessing with options.callbackId. Once a call fails,
// the rest refuse and result().error says what failed first. options.gpd
// is not taken: the caller renders the pages.
class JobSession {
public:
    explicit JobSession(const JobOptions& options);
    ~JobSession();
    JobSession(const JobSession&) = delete;
    JobSession& operator=(const JobSession&) = delete;

    bool Start();
    bool StartDocument(LONG width);
    bool StartPage();
    bool Band(const BYTE* rows, LONG count, bool blank);
    bool EndPage();
    // Ends the document; an aborted one is ended with the abort flag.
    bool EndDocument(bool aborted);
    const JobResult& Finish();

    const JobResult& result() const { return result_; }

private:
    JobOptions options_;
    JobResult result_;
    std::unique_ptr<SessionHost> host_;
    LONG width_ = 0;
    LONG top_ = 0;
    bool started_ = false;
    bool inDocument_ = false;
    bool finished_ = false;
};

// The width of the device's surface, which every page of the job is
// rendered at: the widest page.
LONG SurfaceWidth(const std::vector<Document>& documents);

}  // namespace standin

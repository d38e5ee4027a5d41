// The simulated print pipeline: runs whole jobs through a plug-in module
// loaded by path, making the calls the universal printer driver makes, in
// its order, and collecting what the plug-in writes to the printer.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "oemdll/host/printer.h"
#include "printhost/device_context.h"
#include "standin/host/gpd.h"

namespace standin {

using printhost::HostProcs;
using printhost::JobResult;
using printhost::JobStats;

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

struct JobOptions : printhost::HostOptions {
    OutputPath path = OutputPath::kCapture;
    // Called after each page is handed over (pages done, pages in the job).
    std::function<void(size_t, size_t)> progress;
    // When set, the job runs as this GPD makes Unidrv run it, and depth,
    // callbackId and path are the GPD's: pages at its printable size, bands
    // at *DrvBPP to ImageProcessing with *IPCallbackID, Unidrv's own raster
    // to FilterGraphics when *DevBPP is not 0, and its commands issued as
    // CommandCallback calls or as their bytes in the stream. Not owned.
    const GpdSetup* gpd = nullptr;
};

// Runs the documents as one job on one device context. An empty
// modulePath is the module built with this tree.
JobResult RunJob(const std::vector<Document>& documents, const JobOptions& options);

// The width of the device's surface, which every page of the job is
// rendered at: the widest page.
LONG SurfaceWidth(const std::vector<Document>& documents);

// The path of the plug-in module built with this tree.
std::string DefaultModulePath();

}  // namespace standin

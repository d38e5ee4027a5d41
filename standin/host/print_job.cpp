#include "standin/host/print_job.h"

#include <cstring>
#include <initializer_list>
#include <memory>

#include "oemdll/host/services.h"

namespace standin {

namespace {

using printhost::BandHeader;
using printhost::DdiCall;
using printhost::Hex;
using printhost::kEndDocAbort;

constexpr DWORD kPrintRowBytes = 48;

// The device context, and what a GPD-driven job adds to it.
struct Host : printhost::DeviceContext {
    const GpdSetup* gpd = nullptr;
    LONG pageHeight = 0;  // a GPD job's: every page is rendered this long
    size_t documentsLeft = 0;
};

// A GPD command as Unidrv issues it: a call to the plug-in's
// CommandCallback, or the command's own bytes written into the stream.
void Issue(Host& host, const GpdCommand& command) {
    if (command.callback) {
        INT result = 0;
        host.result->callbacks.push_back(command.callbackId);
        host.Check(("CommandCallback(" + command.name + ")").c_str(),
                   host.plugin->CommandCallback(&host.devobj, command.callbackId, 0, nullptr, &result));
    } else {
        host.result->output.insert(host.result->output.end(), command.bytes.begin(), command.bytes.end());
    }
}

void IssueSection(Host& host, const char* section) {
    for (const GpdCommand& c : host.gpd->commands)
        if (c.section == section) Issue(host, c);
}

void IssueNamed(Host& host, std::initializer_list<const char*> names) {
    for (const char* name : names)
        if (const GpdCommand* c = host.gpd->Find(name)) Issue(host, *c);
}

// Unidrv's commands, from within its own DDI functions: after whatever
// the plug-in's hook wrote before forwarding. Each band ends with a move to
// the next, each page with a form feed.
void IssueGpdCommands(Host& host, const DdiCall& call) {
    switch (call.function) {
    case INDEX_DrvStartDoc:
        if (host.result->stats.documents == 0) IssueSection(host, "JOB_SETUP");
        IssueSection(host, "DOC_SETUP");
        break;
    case INDEX_DrvStartPage:
        IssueSection(host, "PAGE_SETUP");
        break;
    case INDEX_DrvNextBand:
        IssueNamed(host, {"CmdCR", "CmdLF"});
        break;
    case INDEX_DrvSendPage:
        IssueNamed(host, {"CmdCR", "CmdFF"});
        IssueSection(host, "PAGE_FINISH");
        break;
    case INDEX_DrvEndDoc:
        IssueSection(host, "DOC_FINISH");
        if (host.documentsLeft == 1) IssueSection(host, "JOB_FINISH");
        break;
    default:
        break;
    }
}

// One band of a page as the host renders it for ImageProcessing: a
// top-down DIB section erased to white, at the job's depth.
struct RenderedBand {
    std::vector<BYTE> pixels;
    BITMAPINFOHEADER header{};
    bool blank = true;
};

void RenderBand(const Page& page, LONG width, LONG top, LONG rows, ULONG depth, RenderedBand& band) {
    const LONG stride = ((width * static_cast<LONG>(depth) + 31) / 32) * 4;
    band.pixels.assign(static_cast<size_t>(stride) * rows, 0xFF);
    band.blank = true;
    for (LONG y = 0; y < rows; ++y) {
        const LONG py = top + y;
        if (py >= page.height) continue;
        BYTE* row = band.pixels.data() + static_cast<size_t>(y) * stride;
        for (LONG x = 0; x < page.width && x < width; ++x) {
            if (!page.Black(x, py)) continue;
            band.blank = false;
            if (depth == 1) {
                row[x / 8] = static_cast<BYTE>(row[x / 8] & ~(0x80 >> (x % 8)));
            } else {
                const LONG bytes = static_cast<LONG>(depth / 8);
                std::memset(row + x * bytes, 0, static_cast<size_t>(bytes));
            }
        }
    }
    band.header = BandHeader(width, rows, depth, static_cast<DWORD>(band.pixels.size()));
}

// The band's rows in printer order (1 = dot), each cut or padded to 48 bytes.
void FilterBand(const Page& page, LONG width, LONG top, LONG rows, std::vector<BYTE>& block) {
    block.assign(static_cast<size_t>(rows) * kPrintRowBytes, 0);
    for (LONG y = 0; y < rows && top + y < page.height; ++y) {
        BYTE* row = block.data() + static_cast<size_t>(y) * kPrintRowBytes;
        for (LONG x = 0; x < page.width && x < width && x < LONG(kPrintRowBytes * 8); ++x) {
            if (page.Black(x, top + y)) row[x / 8] = static_cast<BYTE>(row[x / 8] | (0x80 >> (x % 8)));
        }
    }
}

bool PrintDocument(Host& host, const Document& document, LONG width, const JobOptions& options, size_t& pagesDone,
                   size_t pagesInJob) {
    SURFOBJ* pso = &host.surface.surface;
    printhost::HookedDdi hooks;
    if (!hooks.Find(host)) return false;

    host.ddi.bandSize = SIZEL{width, options.bandRows};
    WCHAR name[] = {'j', 'o', 'b', 0};
    if (!hooks.startDoc(pso, name, 1)) return host.Fail("DrvStartDoc returned FALSE");

    RenderedBand band;
    std::vector<BYTE> block;
    bool ok = true;
    // A GPD job hands every band to ImageProcessing, and Unidrv's own
    // raster to FilterGraphics as well when the device takes raster.
    const bool capture = host.gpd || options.path == OutputPath::kCapture;
    const bool filter = host.gpd ? host.gpd->devBpp != 0 : options.path == OutputPath::kFilter;
    for (const Page& page : document) {
        if (!hooks.startPage(pso)) { ok = host.Fail("DrvStartPage returned FALSE"); break; }
        POINTL origin{0, 0};
        if (!hooks.startBanding(pso, &origin)) { ok = host.Fail("DrvStartBanding returned FALSE"); break; }
        const LONG height = host.gpd ? host.pageHeight : page.height;
        for (LONG top = 0; ok && top < height; top += options.bandRows) {
            const LONG rows = height - top < options.bandRows ? height - top : options.bandRows;
            PERBANDINFO info{};
            if (hooks.bandInfo(pso, &info) == DDI_ERROR) { ok = host.Fail("DrvQueryPerBandInfo returned DDI_ERROR"); break; }
            HRESULT hr;
            if (capture) {
                RenderBand(page, width, top, rows, options.depth, band);
                IPPARAMS params{};
                params.dwSize = sizeof params;
                params.ptOffset = POINT{0, top};
                params.bBanding = TRUE;
                params.bBlankBand = band.blank ? TRUE : FALSE;
                PBYTE processed = nullptr;
                hr = host.plugin->ImageProcessing(&host.devobj, band.pixels.data(), &band.header, nullptr,
                                                  options.callbackId, &params, &processed);
                if (hr != S_OK) ok = host.Fail("ImageProcessing failed: " + Hex(hr));
            }
            if (ok && filter) {
                if (host.gpd) IssueNamed(host, {"CmdSendBlockData"});
                FilterBand(page, width, top, rows, block);
                const size_t before = host.helper.writeCount;
                hr = host.plugin->FilterGraphics(&host.devobj, block.data(), static_cast<DWORD>(block.size()));
                host.result->stats.commands += host.helper.writeCount - before;
                if (hr != S_OK) ok = host.Fail("FilterGraphics returned " + Hex(hr) + (hr == S_FALSE ? " (short write)" : ""));
            }
            ++host.result->stats.bands;
            host.result->stats.rowsRendered += static_cast<size_t>(rows);
            if (ok && !hooks.nextBand(pso, &origin)) ok = host.Fail("DrvNextBand returned FALSE");
        }
        if (!ok) break;
        if (!hooks.sendPage(pso)) { ok = host.Fail("DrvSendPage returned FALSE"); break; }
        ++host.result->stats.pages;
        ++pagesDone;
        if (options.progress) options.progress(pagesDone, pagesInJob);
    }
    // A document that went wrong is still ended, as aborted.
    const size_t helperWrites = host.helper.writeCount;
    const BOOL ended = hooks.endDoc(pso, ok ? 0 : kEndDocAbort);
    if (options.path == OutputPath::kCapture) host.result->stats.commands += host.helper.writeCount - helperWrites;
    if (ok && !ended) ok = host.Fail("DrvEndDoc returned FALSE");
    ++host.result->stats.documents;
    --host.documentsLeft;
    return ok;
}

}  // namespace

LONG SurfaceWidth(const std::vector<Document>& documents) {
    LONG width = 0;
    for (const Document& document : documents)
        for (const Page& page : document) width = page.width > width ? page.width : width;
    return width;
}

JobResult RunJob(const std::vector<Document>& documents, const JobOptions& options) {
    JobResult result;
    auto host = std::make_unique<Host>();
    host->result = &result;
    if (options.bandRows < 1) {
        result.error = "band rows must be at least 1";
        return result;
    }
    size_t pagesInJob = 0, pagesDone = 0;
    for (const Document& d : documents) pagesInJob += d.size();

    LONG width = SurfaceWidth(documents);
    JobOptions job = options;
    if (job.modulePath.empty()) job.modulePath = DefaultModulePath();
    if (const GpdSetup* gpd = options.gpd) {
        LONG tallest = 0;
        for (const Document& d : documents)
            for (const Page& p : d) tallest = p.height > tallest ? p.height : tallest;
        host->gpd = gpd;
        host->pageHeight = gpd->PageHeight(tallest);
        host->documentsLeft = documents.size();
        host->ddi.onCall = [h = host.get()](const DdiCall& call) { IssueGpdCommands(*h, call); };
        width = gpd->width;
        job.depth = gpd->drvBpp;
        job.callbackId = gpd->ipCallbackId;
        job.path = OutputPath::kCapture;
        job.dpiX = static_cast<ULONG>(gpd->dpiX);
        job.dpiY = static_cast<ULONG>(gpd->dpiY);
        if (job.depth != 1 && job.depth != 8 && job.depth != 24) {
            result.error = "the GPD's *DrvBPP " + std::to_string(job.depth) + " is not a depth this host renders";
            return result;
        }
    }
    std::vector<const char*> needs{job.path == OutputPath::kCapture ? "ImageProcessing" : "FilterGraphics"};
    if (host->gpd) {
        if (host->gpd->devBpp != 0) needs.push_back("FilterGraphics");
        for (const GpdCommand& c : host->gpd->commands)
            if (c.callback) needs.push_back("CommandCallback");
    }
    bool ok = printhost::StartUp(*host, job, needs);
    for (size_t i = 0; ok && i < documents.size(); ++i)
        ok = PrintDocument(*host, documents[i], width, job, pagesDone, pagesInJob);
    printhost::ShutDown(*host);
    for (const DdiCall& call : host->ddi.calls) result.hostCalls.push_back(call.function);
    result.stats.bytes = result.output.size();
    result.ok = ok && result.error.empty();
    return result;
}

}  // namespace standin

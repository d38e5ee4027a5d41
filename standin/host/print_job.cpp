#include "standin/host/print_job.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "oemdll/host/services.h"
#include "oemdll/server/module.h"
#include "standin/host/host_ddi.h"
#include "standin/host/plugin_module.h"
#include "standin/host/spool_helper.h"

namespace standin {

namespace {

constexpr DWORD kPrintRowBytes = 48;
constexpr FLONG kEndDocAbort = 1;


std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

// Everything one job's host holds; torn down in the platform's order.
struct Host {
    JobResult* result = nullptr;
    PluginModule module;
    IPrintOemUni2* plugin = nullptr;
    SpoolHelper helper;
    HostDdi ddi;
    HostSurface surface{};
    DRVPROCS procs{};
    DEVOBJ devobj{};
    GDIINFO gdiInfo{};
    DEVINFO devInfo{};
    HPALETTE hostPalette = nullptr;
    BYTE devmode[16] = {};
    DRVENABLEDATA pluginTable{};
    bool driverEnabled = false;
    bool pdevEnabled = false;
    const GpdSetup* gpd = nullptr;
    LONG pageHeight = 0;  // a GPD job's: every page is rendered this long
    size_t documentsLeft = 0;

    bool Fail(const std::string& what) {
        if (result->error.empty()) result->error = what;
        return false;
    }
    bool Check(const char* call, HRESULT hr) {
        return SUCCEEDED(hr) ? true : Fail(std::string(call) + " failed: " + Hex(hr));
    }

    template <typename F>
    F Hook(ULONG function) const {
        for (ULONG i = 0; i < pluginTable.c; ++i) {
            if (pluginTable.pdrvfn[i].iFunc == function) return FromPfn<F>(pluginTable.pdrvfn[i].pfn);
        }
        return nullptr;
    }

    std::function<void(const BYTE*, DWORD)> write;

    static DWORD APIENTRY WriteSpool(PDEVOBJ pdevobj, PVOID buffer, DWORD size) {
        auto* self = reinterpret_cast<Host*>(pdevobj->hOEM);
        const BYTE* bytes = static_cast<const BYTE*>(buffer);
        if (self->write) {
            self->write(bytes, size);
            self->result->stats.bytes += size;
        } else {
            self->result->output.insert(self->result->output.end(), bytes, bytes + size);
        }
        ++self->result->stats.commands;
        return size;
    }
};

bool StartUp(Host& host, const JobOptions& options) {
    const std::string path = options.modulePath.empty() ? DefaultModulePath() : options.modulePath;
    if (!host.module.Load(path)) return host.Fail(host.module.error());

    void* ppv = nullptr;
    if (!host.Check("DllGetClassObject", host.module.getClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv)))
        return false;
    auto* factory = static_cast<IClassFactory*>(ppv);
    ppv = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv);
    factory->Release();
    if (!host.Check("CreateInstance(IID_IPrintOemUni2)", created)) return false;
    host.plugin = static_cast<IPrintOemUni2*>(ppv);

    DWORD value = 0, needed = 0;
    if (!host.Check("GetInfo(OEMGI_GETSIGNATURE)", host.plugin->GetInfo(OEMGI_GETSIGNATURE, &value, 4, &needed)))
        return false;
    if (value != PLUGIN_SIGNATURE) return host.Fail("GetInfo(OEMGI_GETSIGNATURE) gave an unknown signature " + Hex(HRESULT(value)));
    if (!host.Check("GetInfo(OEMGI_GETVERSION)", host.plugin->GetInfo(OEMGI_GETVERSION, &value, 4, &needed)))
        return false;

    host.helper.takes = options.helperTakes;
    host.helper.output = &host.result->output;
    if (!host.Check("PublishDriverInterface", host.plugin->PublishDriverInterface(&host.helper))) return false;

    for (const char* method : kOptionalMethodNames) {
        std::string name = method;
        if (host.plugin->GetImplementedMethod(&name[0]) == S_OK) host.result->claimed.push_back(method);
    }
    std::vector<const char*> needs{options.path == OutputPath::kCapture ? "ImageProcessing" : "FilterGraphics"};
    if (host.gpd) {
        if (host.gpd->devBpp != 0) needs.push_back("FilterGraphics");
        for (const GpdCommand& c : host.gpd->commands)
            if (c.callback) needs.push_back("CommandCallback");
    }
    for (const char* need : needs) {
        bool claims = false;
        for (const std::string& m : host.result->claimed) claims = claims || m == need;
        if (!claims) return host.Fail(std::string("the plug-in does not claim ") + need);
    }

    // The devmode section: its size, then its defaults, kept for the job.
    OEMDMPARAM dm{};
    dm.cbSize = sizeof dm;
    HRESULT hr = host.plugin->DevMode(OEMDM_SIZE, &dm);
    if (hr != E_NOTIMPL) {
        if (!host.Check("DevMode(OEMDM_SIZE)", hr)) return false;
        if (dm.cbBufSize > sizeof host.devmode) return host.Fail("DevMode(OEMDM_SIZE) asks for more than 16 bytes");
        dm.pOEMDMOut = host.devmode;
        if (!host.Check("DevMode(OEMDM_DEFAULT)", host.plugin->DevMode(OEMDM_DEFAULT, &dm))) return false;
    }

    if (!host.Check("EnableDriver", host.plugin->EnableDriver(PRINTER_OEMINTF_VERSION, sizeof host.pluginTable,
                                                              &host.pluginTable)))
        return false;
    host.driverEnabled = true;
    if (!host.pluginTable.pdrvfn || host.pluginTable.c == 0) return host.Fail("EnableDriver returned no hooks");

    host.write = options.write;
    if (options.procs != HostProcs::kNoSpoolWrite) host.procs.DrvWriteSpoolBuf = &Host::WriteSpool;
    host.devobj.dwSize = sizeof host.devobj;
    host.devobj.hOEM = reinterpret_cast<HANDLE>(&host);
    host.devobj.pDrvProcs = options.procs == HostProcs::kNone ? nullptr : &host.procs;
    host.devobj.pOEMDM = host.devmode;
    host.ddi.Attach(host.surface, &host.devobj);

    host.gdiInfo.ulVersion = 0x5000;
    host.gdiInfo.ulTechnology = 2;  // raster printer
    host.gdiInfo.cBitsPixel = options.depth;
    host.gdiInfo.cPlanes = 1;
    host.gdiInfo.ulLogPixelsX = host.gdiInfo.ulLogPixelsY = 203;
    if (host.gpd) {
        host.gdiInfo.ulLogPixelsX = static_cast<ULONG>(host.gpd->dpiX);
        host.gdiInfo.ulLogPixelsY = static_cast<ULONG>(host.gpd->dpiY);
    }
    if (options.depth != 24) {
        // A grey ramp for 8 bits, black and white for 1.
        const int count = options.depth == 8 ? 256 : 2;
        std::vector<BYTE> storage(sizeof(LOGPALETTE) + count * sizeof(PALETTEENTRY));
        auto* logical = reinterpret_cast<LOGPALETTE*>(storage.data());
        logical->palVersion = 0x300;
        logical->palNumEntries = static_cast<WORD>(count);
        for (int i = 0; i < count; ++i) {
            const BYTE v = static_cast<BYTE>(count == 2 ? i * 255 : i);
            logical->palPalEntry[i] = PALETTEENTRY{v, v, v, 0};
        }
        host.hostPalette = CreatePalette(logical);
        host.devInfo.hpalDefault = host.hostPalette;
    }

    DRVENABLEDATA hostTable = host.ddi.EnableData();
    WCHAR printer[] = {'r', 'a', 's', 't', 'e', 'r', 0};
    PDEVOEM record = nullptr;
    hr = host.plugin->EnablePDEV(&host.devobj, printer, 0, nullptr, sizeof host.gdiInfo, &host.gdiInfo,
                                 sizeof host.devInfo, &host.devInfo, &hostTable, &record);
    if (!host.Check("EnablePDEV", hr)) return false;
    host.devobj.pdevOEM = record;
    host.pdevEnabled = true;
    return true;
}

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

// The header the host hands over with a band of `size` pixel bytes.
BITMAPINFOHEADER BandHeader(LONG width, LONG rows, ULONG depth, DWORD size) {
    BITMAPINFOHEADER h{};
    h.biSize = sizeof h;
    h.biWidth = width;
    h.biHeight = rows;
    h.biPlanes = 1;
    h.biBitCount = static_cast<WORD>(depth);
    h.biSizeImage = size;
    h.biXPelsPerMeter = h.biYPelsPerMeter = 7992;  // 203 dpi
    h.biClrUsed = depth == 1 ? 2 : depth == 8 ? 256 : 0;
    return h;
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
    auto startDoc = host.Hook<PFN_DrvStartDoc>(INDEX_DrvStartDoc);
    auto endDoc = host.Hook<PFN_DrvEndDoc>(INDEX_DrvEndDoc);
    auto startPage = host.Hook<PFN_DrvStartPage>(INDEX_DrvStartPage);
    auto sendPage = host.Hook<PFN_DrvSendPage>(INDEX_DrvSendPage);
    auto startBanding = host.Hook<PFN_DrvStartBanding>(INDEX_DrvStartBanding);
    auto nextBand = host.Hook<PFN_DrvNextBand>(INDEX_DrvNextBand);
    auto bandInfo = host.Hook<PFN_DrvQueryPerBandInfo>(INDEX_DrvQueryPerBandInfo);
    if (!startDoc || !endDoc || !startPage || !sendPage || !startBanding || !nextBand || !bandInfo)
        return host.Fail("EnableDriver did not hook all seven DDI functions");

    host.ddi.bandSize = SIZEL{width, options.bandRows};
    WCHAR name[] = {'j', 'o', 'b', 0};
    if (!startDoc(pso, name, 1)) return host.Fail("DrvStartDoc returned FALSE");

    RenderedBand band;
    std::vector<BYTE> block;
    bool ok = true;
    // A GPD job hands every band to ImageProcessing, and Unidrv's own
    // raster to FilterGraphics as well when the device takes raster.
    const bool capture = host.gpd || options.path == OutputPath::kCapture;
    const bool filter = host.gpd ? host.gpd->devBpp != 0 : options.path == OutputPath::kFilter;
    for (const Page& page : document) {
        if (!startPage(pso)) { ok = host.Fail("DrvStartPage returned FALSE"); break; }
        POINTL origin{0, 0};
        if (!startBanding(pso, &origin)) { ok = host.Fail("DrvStartBanding returned FALSE"); break; }
        const LONG height = host.gpd ? host.pageHeight : page.height;
        for (LONG top = 0; ok && top < height; top += options.bandRows) {
            const LONG rows = height - top < options.bandRows ? height - top : options.bandRows;
            PERBANDINFO info{};
            if (bandInfo(pso, &info) == DDI_ERROR) { ok = host.Fail("DrvQueryPerBandInfo returned DDI_ERROR"); break; }
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
            if (ok && !nextBand(pso, &origin)) ok = host.Fail("DrvNextBand returned FALSE");
        }
        if (!ok) break;
        if (!sendPage(pso)) { ok = host.Fail("DrvSendPage returned FALSE"); break; }
        ++host.result->stats.pages;
        ++pagesDone;
        if (options.progress) options.progress(pagesDone, pagesInJob);
    }
    // A document that went wrong is still ended, as aborted.
    const size_t helperWrites = host.helper.writeCount;
    const BOOL ended = endDoc(pso, ok ? 0 : kEndDocAbort);
    if (options.path == OutputPath::kCapture) host.result->stats.commands += host.helper.writeCount - helperWrites;
    if (ok && !ended) ok = host.Fail("DrvEndDoc returned FALSE");
    ++host.result->stats.documents;
    --host.documentsLeft;
    return ok;
}

void ShutDown(Host& host) {
    if (host.pdevEnabled) {
        const HRESULT hr = host.plugin->DisablePDEV(&host.devobj);
        host.Check("DisablePDEV", hr);
        host.devobj.pdevOEM = nullptr;
    }
    if (host.plugin) {
        if (host.driverEnabled) host.Check("DisableDriver", host.plugin->DisableDriver());
        const ULONG left = host.plugin->Release();
        if (left != 0) host.Fail("Release left " + std::to_string(left) + " references");
        host.plugin = nullptr;
    }
    if (host.hostPalette) DeleteObject(host.hostPalette);
    if (host.gdiInfo.cBitsPixel == 24 && host.devInfo.hpalDefault) DeleteObject(host.devInfo.hpalDefault);
    if (host.helper.refCount() != 1) host.Fail("the plug-in kept a reference to the helper");
    if (host.module.loaded()) {
        const HRESULT hr = host.module.canUnloadNow();
        if (hr != S_OK) host.Fail("DllCanUnloadNow returned " + Hex(hr));
    }
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
        if (job.depth != 1 && job.depth != 8 && job.depth != 24) {
            result.error = "the GPD's *DrvBPP " + std::to_string(job.depth) + " is not a depth this host renders";
            return result;
        }
    }
    bool ok = StartUp(*host, job);
    for (size_t i = 0; ok && i < documents.size(); ++i)
        ok = PrintDocument(*host, documents[i], width, job, pagesDone, pagesInJob);
    ShutDown(*host);
    for (const DdiCall& call : host->ddi.calls) result.hostCalls.push_back(call.function);
    result.stats.bytes = result.output.size();
    result.ok = ok && result.error.empty();
    return result;
}

struct SessionHost {
    Host host;
    PFN_DrvStartDoc startDoc = nullptr;
    PFN_DrvEndDoc endDoc = nullptr;
    PFN_DrvStartPage startPage = nullptr;
    PFN_DrvSendPage sendPage = nullptr;
    PFN_DrvStartBanding startBanding = nullptr;
    PFN_DrvNextBand nextBand = nullptr;
    PFN_DrvQueryPerBandInfo bandInfo = nullptr;
};

JobSession::JobSession(const JobOptions& options) : options_(options), host_(std::make_unique<SessionHost>()) {
    host_->host.result = &result_;
}

JobSession::~JobSession() { Finish(); }

bool JobSession::Start() {
    Host& host = host_->host;
    if (started_ || finished_) return host.Fail("the session was already started");
    started_ = true;
    if (!StartUp(host, options_)) return false;
    SessionHost& s = *host_;
    s.startDoc = host.Hook<PFN_DrvStartDoc>(INDEX_DrvStartDoc);
    s.endDoc = host.Hook<PFN_DrvEndDoc>(INDEX_DrvEndDoc);
    s.startPage = host.Hook<PFN_DrvStartPage>(INDEX_DrvStartPage);
    s.sendPage = host.Hook<PFN_DrvSendPage>(INDEX_DrvSendPage);
    s.startBanding = host.Hook<PFN_DrvStartBanding>(INDEX_DrvStartBanding);
    s.nextBand = host.Hook<PFN_DrvNextBand>(INDEX_DrvNextBand);
    s.bandInfo = host.Hook<PFN_DrvQueryPerBandInfo>(INDEX_DrvQueryPerBandInfo);
    if (!s.startDoc || !s.endDoc || !s.startPage || !s.sendPage || !s.startBanding || !s.nextBand || !s.bandInfo)
        return host.Fail("EnableDriver did not hook all seven DDI functions");
    return true;
}

bool JobSession::StartDocument(LONG width) {
    Host& host = host_->host;
    if (!result_.error.empty()) return false;
    if (!started_ || finished_ || inDocument_) return host.Fail("StartDocument out of order");
    if (width < 1) return host.Fail("a document needs a width of at least 1 dot");
    width_ = width;
    host.ddi.bandSize = SIZEL{width, options_.bandRows};
    WCHAR name[] = {'j', 'o', 'b', 0};
    if (!host_->startDoc(&host.surface.surface, name, 1)) return host.Fail("DrvStartDoc returned FALSE");
    inDocument_ = true;
    return true;
}

bool JobSession::StartPage() {
    Host& host = host_->host;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("StartPage outside a document");
    SURFOBJ* pso = &host.surface.surface;
    if (!host_->startPage(pso)) return host.Fail("DrvStartPage returned FALSE");
    POINTL origin{0, 0};
    if (!host_->startBanding(pso, &origin)) return host.Fail("DrvStartBanding returned FALSE");
    top_ = 0;
    return true;
}

bool JobSession::Band(const BYTE* rows, LONG count, bool blank) {
    Host& host = host_->host;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("Band outside a document");
    if (count < 1) return true;
    SURFOBJ* pso = &host.surface.surface;
    PERBANDINFO info{};
    if (host_->bandInfo(pso, &info) == DDI_ERROR) return host.Fail("DrvQueryPerBandInfo returned DDI_ERROR");

    const LONG stride = ((width_ + 31) / 32) * 4;
    BITMAPINFOHEADER header = BandHeader(width_, count, 1, static_cast<DWORD>(stride) * static_cast<DWORD>(count));
    IPPARAMS params{};
    params.dwSize = sizeof params;
    params.ptOffset = POINT{0, top_};
    params.bBanding = TRUE;
    params.bBlankBand = blank ? TRUE : FALSE;
    PBYTE processed = nullptr;
    const HRESULT hr = host.plugin->ImageProcessing(&host.devobj, const_cast<BYTE*>(rows), &header, nullptr,
                                                    options_.callbackId, &params, &processed);
    if (hr != S_OK) return host.Fail("ImageProcessing failed: " + Hex(hr));
    ++result_.stats.bands;
    result_.stats.rowsRendered += static_cast<size_t>(count);
    top_ += count;
    POINTL origin{0, top_};
    if (!host_->nextBand(pso, &origin)) return host.Fail("DrvNextBand returned FALSE");
    return true;
}

bool JobSession::EndPage() {
    Host& host = host_->host;
    if (!result_.error.empty()) return false;
    if (!inDocument_) return host.Fail("EndPage outside a document");
    if (!host_->sendPage(&host.surface.surface)) return host.Fail("DrvSendPage returned FALSE");
    ++result_.stats.pages;
    return true;
}

bool JobSession::EndDocument(bool aborted) {
    Host& host = host_->host;
    if (!inDocument_) return result_.error.empty() ? host.Fail("EndDocument outside a document") : false;
    inDocument_ = false;
    const bool abort = aborted || !result_.error.empty();
    const BOOL ended = host_->endDoc(&host.surface.surface, abort ? kEndDocAbort : 0);
    ++result_.stats.documents;
    if (!ended && result_.error.empty()) return host.Fail("DrvEndDoc returned FALSE");
    return result_.error.empty();
}

const JobResult& JobSession::Finish() {
    if (finished_) return result_;
    finished_ = true;
    Host& host = host_->host;
    if (inDocument_) EndDocument(true);
    if (started_) ShutDown(host);
    for (const DdiCall& call : host.ddi.calls) result_.hostCalls.push_back(call.function);
    if (!options_.write) result_.stats.bytes = result_.output.size();
    result_.ok = started_ && result_.error.empty();
    return result_;
}

}  // namespace standin

// One device context of the universal printer driver around a loaded
// plug-in: the module, the plug-in object and the helper it is given, the
// host's DDI table and the device records, set up and torn down in the
// platform's order. What every host product and the simulated pipeline
// share.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "oemdll/host/ddi.h"
#include "oemdll/host/printer.h"
#include "printhost/host_ddi.h"
#include "printhost/plugin_module.h"
#include "printhost/spool_helper.h"

namespace printhost {

// What the host offers in PDEVOBJ.pDrvProcs.
enum class HostProcs {
    kSpoolWrite,    // its DRVPROCS, with DrvWriteSpoolBuf
    kNoSpoolWrite,  // its DRVPROCS, with DrvWriteSpoolBuf null
    kNone,          // no DRVPROCS at all
};

struct HostOptions {
    std::string modulePath;   // the plug-in module to load; required
    LONG bandRows = 256;
    ULONG depth = 1;          // the host's rendering depth: 1, 8 or 24
    DWORD callbackId = 1;     // passed to ImageProcessing
    ULONG dpiX = 203, dpiY = 203;
    HostProcs procs = HostProcs::kSpoolWrite;
    // How many bytes the helper's spool write reports taken for its nth call;
    // null: all of them.
    std::function<DWORD(size_t call, DWORD offered)> helperTakes;
    // When set, what the plug-in writes through DRVPROCS goes here as it is
    // written, instead of into JobResult::output.
    std::function<void(const BYTE*, DWORD)> write;
    // The most white rows a JobSession feeds between the last printed row
    // of a page and the first of the next: the rest of a page's blank tail
    // and the next one's blank head (a fixed media length's, not the
    // content's) is not fed, in whole groups of 8 rows. Negative: every
    // page at its full length.
    LONG pageGapRows = -1;
};

struct JobStats {
    size_t documents = 0;
    size_t pages = 0;
    size_t bands = 0;
    size_t rowsRendered = 0;
    size_t rowsTrimmed = 0;  // white rows between pages not fed
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

struct DeviceContext {
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
    std::function<void(const BYTE*, DWORD)> write;

    // Records the first failure; always false.
    bool Fail(const std::string& what);
    bool Check(const char* call, HRESULT hr);

    template <typename F>
    F Hook(ULONG function) const {
        for (ULONG i = 0; i < pluginTable.c; ++i) {
            if (pluginTable.pdrvfn[i].iFunc == function) return FromPfn<F>(pluginTable.pdrvfn[i].pfn);
        }
        return nullptr;
    }
};

// The seven DDI functions as the plug-in hooked them.
struct HookedDdi {
    PFN_DrvStartDoc startDoc = nullptr;
    PFN_DrvEndDoc endDoc = nullptr;
    PFN_DrvStartPage startPage = nullptr;
    PFN_DrvSendPage sendPage = nullptr;
    PFN_DrvStartBanding startBanding = nullptr;
    PFN_DrvNextBand nextBand = nullptr;
    PFN_DrvQueryPerBandInfo bandInfo = nullptr;

    // Looks them up in the plug-in's table; false (and a failure recorded)
    // when one is missing.
    bool Find(DeviceContext& context);
};

// DrvEndDoc's flag for a document that did not complete.
constexpr FLONG kEndDocAbort = 1;

// Loads the module and brings the plug-in up to an enabled device: the
// handshake, the devmode defaults, EnableDriver and EnablePDEV. `needs`
// are the optional methods the job will call, which the plug-in must
// claim.
bool StartUp(DeviceContext& context, const HostOptions& options, const std::vector<const char*>& needs);

// Disables the device and the driver, releases the plug-in and checks that
// the module may unload; failures are recorded in the result.
void ShutDown(DeviceContext& context);

// The header the host hands over with a band of `size` pixel bytes.
BITMAPINFOHEADER BandHeader(LONG width, LONG rows, ULONG depth, DWORD size);

std::string Hex(HRESULT hr);

}  // namespace printhost

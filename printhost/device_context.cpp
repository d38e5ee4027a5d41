#include "printhost/device_context.h"

#include <cstdio>

#include "oemdll/host/services.h"
#include "oemdll/server/module.h"

namespace printhost {

namespace {

DWORD APIENTRY WriteSpool(PDEVOBJ pdevobj, PVOID buffer, DWORD size) {
    auto* context = reinterpret_cast<DeviceContext*>(pdevobj->hOEM);
    const BYTE* bytes = static_cast<const BYTE*>(buffer);
    if (context->write) {
        context->write(bytes, size);
        context->result->stats.bytes += size;
    } else {
        context->result->output.insert(context->result->output.end(), bytes, bytes + size);
    }
    ++context->result->stats.commands;
    return size;
}

}  // namespace

std::string Hex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(hr));
    return text;
}

bool DeviceContext::Fail(const std::string& what) {
    if (result->error.empty()) result->error = what;
    return false;
}

bool DeviceContext::Check(const char* call, HRESULT hr) {
    return SUCCEEDED(hr) ? true : Fail(std::string(call) + " failed: " + Hex(hr));
}

bool HookedDdi::Find(DeviceContext& context) {
    startDoc = context.Hook<PFN_DrvStartDoc>(INDEX_DrvStartDoc);
    endDoc = context.Hook<PFN_DrvEndDoc>(INDEX_DrvEndDoc);
    startPage = context.Hook<PFN_DrvStartPage>(INDEX_DrvStartPage);
    sendPage = context.Hook<PFN_DrvSendPage>(INDEX_DrvSendPage);
    startBanding = context.Hook<PFN_DrvStartBanding>(INDEX_DrvStartBanding);
    nextBand = context.Hook<PFN_DrvNextBand>(INDEX_DrvNextBand);
    bandInfo = context.Hook<PFN_DrvQueryPerBandInfo>(INDEX_DrvQueryPerBandInfo);
    if (!startDoc || !endDoc || !startPage || !sendPage || !startBanding || !nextBand || !bandInfo)
        return context.Fail("EnableDriver did not hook all seven DDI functions");
    return true;
}

bool StartUp(DeviceContext& host, const HostOptions& options, const std::vector<const char*>& needs) {
    if (options.modulePath.empty()) return host.Fail("no plug-in module given");
    if (!host.module.Load(options.modulePath)) return host.Fail(host.module.error());

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
    if (options.procs != HostProcs::kNoSpoolWrite) host.procs.DrvWriteSpoolBuf = &WriteSpool;
    host.devobj.dwSize = sizeof host.devobj;
    host.devobj.hOEM = reinterpret_cast<HANDLE>(&host);
    host.devobj.pDrvProcs = options.procs == HostProcs::kNone ? nullptr : &host.procs;
    host.devobj.pOEMDM = host.devmode;
    host.ddi.Attach(host.surface, &host.devobj);

    host.gdiInfo.ulVersion = 0x5000;
    host.gdiInfo.ulTechnology = 2;  // raster printer
    host.gdiInfo.cBitsPixel = options.depth;
    host.gdiInfo.cPlanes = 1;
    host.gdiInfo.ulLogPixelsX = options.dpiX;
    host.gdiInfo.ulLogPixelsY = options.dpiY;
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

void ShutDown(DeviceContext& host) {
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

}  // namespace printhost

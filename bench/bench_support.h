// A plug-in object and a device record on a host that only counts what it
// is sent, for the benchmarks.
#pragma once

#include <cstdint>
#include <vector>

#include "oemdll/capture/device.h"
#include "oemdll/server/module.h"
#include "printhost/host_ddi.h"
#include "printhost/spool_helper.h"

namespace bench {

struct CountingSpool {
    std::uint64_t calls = 0;
    std::uint64_t bytes = 0;

    static DWORD APIENTRY Write(PDEVOBJ pdevobj, PVOID, DWORD size) {
        auto* self = reinterpret_cast<CountingSpool*>(pdevobj->hOEM);
        ++self->calls;
        self->bytes += size;
        return size;
    }
};

// The header of a 1-bit band as the host hands it over.
inline BITMAPINFOHEADER MonoBandHeader(LONG width, LONG rows, LONG stride) {
    BITMAPINFOHEADER header{};
    header.biSize = sizeof header;
    header.biWidth = width;
    header.biHeight = rows;
    header.biPlanes = 1;
    header.biBitCount = 1;
    header.biSizeImage = static_cast<DWORD>(stride) * static_cast<DWORD>(rows);
    return header;
}

class PluginDevice {
public:
    PluginDevice() {
        void* ppv = nullptr;
        DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv);
        auto* factory = static_cast<IClassFactory*>(ppv);
        factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv);
        factory->Release();
        plugin = static_cast<IPrintOemUni2*>(ppv);
        helper.countOnly = true;
        plugin->PublishDriverInterface(&helper);

        procs.DrvWriteSpoolBuf = &CountingSpool::Write;
        devobj.dwSize = sizeof devobj;
        devobj.pDrvProcs = &procs;
        devobj.hOEM = reinterpret_cast<HANDLE>(&spool);
        ddi.Attach(surface, &devobj);
        GDIINFO gdi{};
        gdi.cBitsPixel = 1;
        DEVINFO dev{};
        DRVENABLEDATA table = ddi.EnableData();
        PDEVOEM record = nullptr;
        plugin->EnablePDEV(&devobj, nullptr, 0, nullptr, sizeof gdi, &gdi, sizeof dev, &dev, &table, &record);
        devobj.pdevOEM = record;
    }
    ~PluginDevice() {
        plugin->DisablePDEV(&devobj);
        plugin->DisableDriver();
        plugin->Release();
    }
    PluginDevice(const PluginDevice&) = delete;
    PluginDevice& operator=(const PluginDevice&) = delete;

    OemDevice* device() { return static_cast<OemDevice*>(devobj.pdevOEM); }

    IPrintOemUni2* plugin = nullptr;
    printhost::SpoolHelper helper;
    printhost::HostDdi ddi;
    printhost::HostSurface surface{};
    CountingSpool spool;
    DRVPROCS procs{};
    DEVOBJ devobj{};
};

}  // namespace bench

// RasterPlugin: identity, lifetime, the handshake and the method table.
// The device, capture and output methods hand their work to the routines
// of those parts of the plug-in.
#include "oemdll/server/plugin.h"

#include <cstring>

#include "oemdll/capture/band_capture.h"
#include "oemdll/capture/device.h"
#include "oemdll/host/services.h"
#include "oemdll/output/filter_stream.h"
#include "oemdll/server/devmode.h"
#include "oemdll/server/module.h"

RasterPlugin* CreateRasterPlugin() { return host::NewObject<RasterPlugin>(); }

RasterPlugin::RasterPlugin() : refCount(1), driverHelp(nullptr) { InterlockedIncrement(&LiveObjectCount); }

RasterPlugin::~RasterPlugin() {
    if (driverHelp) {
        driverHelp->Release();
        driverHelp = nullptr;
    }
    InterlockedDecrement(&LiveObjectCount);
}

HRESULT STDMETHODCALLTYPE RasterPlugin::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPrintOemUni2)) {
        *ppv = static_cast<IPrintOemUni2*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE RasterPlugin::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG STDMETHODCALLTYPE RasterPlugin::Release() {
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) {
        host::DestroyObject(this);
        return 0;
    }
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE RasterPlugin::GetInfo(DWORD dwMode, PVOID pBuffer, DWORD cbSize, PDWORD pcbNeeded) {
    if (!pcbNeeded || (dwMode != OEMGI_GETSIGNATURE && dwMode != OEMGI_GETVERSION)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return E_FAIL;
    }
    *pcbNeeded = sizeof(DWORD);
    if (cbSize < sizeof(DWORD) || !pBuffer) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return E_FAIL;
    }
    const DWORD value = dwMode == OEMGI_GETSIGNATURE ? PLUGIN_SIGNATURE : PLUGIN_VERSION;
    std::memcpy(pBuffer, &value, sizeof value);  // the buffer need not be aligned
    return S_OK;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::PublishDriverInterface(IUnknown* pIUnknown) {
    if (driverHelp) return S_OK;
    if (!pIUnknown) return E_FAIL;
    void* helper = nullptr;
    if (FAILED(pIUnknown->QueryInterface(IID_IPrintOemDriverUni, &helper))) {
        // Whatever a failed query wrote is not a reference we hold.
        driverHelp = nullptr;
        return E_FAIL;
    }
    driverHelp = static_cast<IPrintOemDriverUni*>(helper);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::GetImplementedMethod(char* pMethodName) {
    static const char* const kImplemented[] = {"CommandCallback", "FilterGraphics", "ImageProcessing"};
    if (!pMethodName) return S_FALSE;
    for (const char* name : kImplemented) {
        if (std::strcmp(pMethodName, name) == 0) return S_OK;
    }
    return S_FALSE;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::CommandCallback(PDEVOBJ, DWORD, DWORD, PDWORD, INT* piResult) {
    if (piResult) *piResult = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::DisableDriver() {
    if (driverHelp) {
        driverHelp->Release();
        driverHelp = nullptr;
    }
    return S_OK;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::ResetPDEV(PDEVOBJ, PDEVOBJ) { return S_OK; }

// ---- Device, capture and output methods ----

HRESULT STDMETHODCALLTYPE RasterPlugin::DevMode(DWORD dwMode, POEMDMPARAM pOemDMParam) {
    return DevModeRequest(dwMode, pOemDMParam);
}

HRESULT STDMETHODCALLTYPE RasterPlugin::EnableDriver(DWORD, DWORD, PDRVENABLEDATA pded) {
    return ::EnableDriver(pded);
}

HRESULT STDMETHODCALLTYPE RasterPlugin::EnablePDEV(PDEVOBJ, PWSTR, ULONG, HSURF*, ULONG, GDIINFO* pGdiInfo, ULONG,
                                                   DEVINFO* pDevInfo, DRVENABLEDATA* pded, PDEVOEM* pDevOem) {
    const HRESULT hr = ::EnablePDEV(pded, pGdiInfo, pDevInfo, pDevOem);
    // The host disables every record before it lets go of this object.
    if (SUCCEEDED(hr)) static_cast<OemDevice*>(*pDevOem)->driverHelp = &driverHelp;
    return hr;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::DisablePDEV(PDEVOBJ pdevobj) { return ::DisablePDEV(pdevobj); }

HRESULT STDMETHODCALLTYPE RasterPlugin::ImageProcessing(PDEVOBJ pdevobj, PBYTE pSrcBitmap,
                                                        PBITMAPINFOHEADER pBitmapInfoHeader, PBYTE,
                                                        DWORD dwCallbackID, PIPPARAMS pIPParams, PBYTE* ppbResult) {
    return AppendBand(pdevobj, pSrcBitmap, pBitmapInfoHeader, dwCallbackID, pIPParams, ppbResult);
}

HRESULT STDMETHODCALLTYPE RasterPlugin::FilterGraphics(PDEVOBJ pdevobj, PBYTE pBuf, DWORD dwLen) {
    return StreamFilteredBlock(driverHelp, pdevobj, pBuf, dwLen);
}

// ---- Optional methods this plug-in does not implement ----

HRESULT STDMETHODCALLTYPE RasterPlugin::DriverDMS(PVOID, PVOID, DWORD, PDWORD) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::Compression(PDEVOBJ, PBYTE, PBYTE, DWORD, DWORD, INT*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::HalftonePattern(PDEVOBJ, PBYTE, DWORD, DWORD, DWORD, DWORD, PBYTE, DWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::MemoryUsage(PDEVOBJ, POEMMEMORYUSAGE) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::TTYGetInfo(PDEVOBJ, DWORD, PVOID, DWORD, DWORD*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::DownloadFontHeader(PDEVOBJ, PUNIFONTOBJ, DWORD*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::DownloadCharGlyph(PDEVOBJ, PUNIFONTOBJ, HGLYPH, PDWORD, DWORD*) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::TTDownloadMethod(PDEVOBJ, PUNIFONTOBJ, DWORD*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::OutputCharStr(PDEVOBJ, PUNIFONTOBJ, DWORD, DWORD, PVOID) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::SendFontCmd(PDEVOBJ, PUNIFONTOBJ, PFINVOCATION) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE RasterPlugin::TextOutAsBitmap(SURFOBJ*, STROBJ*, FONTOBJ*, CLIPOBJ*, RECTL*, RECTL*,
                                                        BRUSHOBJ*, BRUSHOBJ*, POINTL*, MIX) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE RasterPlugin::WritePrinter(PDEVOBJ, PVOID, DWORD, PDWORD) { return E_NOTIMPL; }

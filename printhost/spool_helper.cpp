#include "printhost/spool_helper.h"

#include "oemdll/host/services.h"

namespace printhost {

HRESULT STDMETHODCALLTYPE SpoolHelper::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IPrintOemDriverUni)) ++queries;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IPrintOemDriverUni)) {
        *ppv = static_cast<IPrintOemDriverUni*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE SpoolHelper::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refs_)); }

// The owner keeps the storage: the count may reach zero without the
// helper being freed, so a test can still see an over-release.
ULONG STDMETHODCALLTYPE SpoolHelper::Release() { return static_cast<ULONG>(InterlockedDecrement(&refs_)); }

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvWriteSpoolBuf(PDEVOBJ pdevobj, PVOID pBuffer, DWORD cbSize,
                                                        DWORD* pdwResult) {
    const size_t call = writeCount++;
    const DWORD taken = takes ? takes(call, cbSize) : cbSize;
    if (!countOnly) {
        const BYTE* bytes = static_cast<const BYTE*>(pBuffer);
        writes.emplace_back(bytes, bytes + cbSize);
        writeDevices.push_back(pdevobj);
        if (output) output->insert(output->end(), bytes, bytes + (taken < cbSize ? taken : cbSize));
    }
    if (storesCount && pdwResult) *pdwResult = taken;
    return taken == cbSize ? S_OK : E_FAIL;
}

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvGetDriverSetting(PVOID, const char*, PVOID, DWORD, PDWORD, PDWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvXMoveTo(PDEVOBJ, INT, DWORD, INT*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvYMoveTo(PDEVOBJ, INT, DWORD, INT*) { return E_NOTIMPL; }

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvGetStandardVariable(PDEVOBJ, DWORD, PVOID, DWORD, PDWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvGetGPDData(PDEVOBJ, DWORD, PVOID, PVOID, DWORD, PDWORD) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvUniTextOut(SURFOBJ*, STROBJ*, FONTOBJ*, CLIPOBJ*, RECTL*, RECTL*,
                                                     BRUSHOBJ*, BRUSHOBJ*, POINTL*, MIX) {
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE SpoolHelper::DrvWriteAbortBuf(PDEVOBJ, PVOID, DWORD, DWORD) { return E_NOTIMPL; }

}  // namespace printhost

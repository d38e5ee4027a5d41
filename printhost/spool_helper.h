// The host's IPrintOemDriverUni helper: all eleven slots, of which the
// spool write is served and the rest answer E_NOTIMPL. It records every
// spool write, can be told to take fewer bytes than offered, and counts its
// references so that a test can see what the plug-in holds.
#pragma once

#include <functional>
#include <vector>

#include "oemdll/host/printer.h"

namespace printhost {

class SpoolHelper final : public IPrintOemDriverUni {
public:
    SpoolHelper() = default;
    SpoolHelper(const SpoolHelper&) = delete;
    SpoolHelper& operator=(const SpoolHelper&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    HRESULT STDMETHODCALLTYPE DrvGetDriverSetting(PVOID pdriverobj, const char* feature, PVOID pOutput,
                                                  DWORD cbSize, PDWORD pcbNeeded,
                                                  PDWORD pdwOptionsReturned) override;
    HRESULT STDMETHODCALLTYPE DrvWriteSpoolBuf(PDEVOBJ pdevobj, PVOID pBuffer, DWORD cbSize,
                                               DWORD* pdwResult) override;
    HRESULT STDMETHODCALLTYPE DrvXMoveTo(PDEVOBJ pdevobj, INT x, DWORD dwFlags, INT* piResult) override;
    HRESULT STDMETHODCALLTYPE DrvYMoveTo(PDEVOBJ pdevobj, INT y, DWORD dwFlags, INT* piResult) override;
    HRESULT STDMETHODCALLTYPE DrvGetStandardVariable(PDEVOBJ pdevobj, DWORD dwIndex, PVOID pBuffer, DWORD cbSize,
                                                     PDWORD pcbNeeded) override;
    HRESULT STDMETHODCALLTYPE DrvGetGPDData(PDEVOBJ pdevobj, DWORD dwType, PVOID pInputData, PVOID pBuffer,
                                            DWORD cbSize, PDWORD pcbNeeded) override;
    HRESULT STDMETHODCALLTYPE DrvUniTextOut(SURFOBJ* pso, STROBJ* pstro, FONTOBJ* pfo, CLIPOBJ* pco,
                                            RECTL* prclExtra, RECTL* prclOpaque, BRUSHOBJ* pboFore,
                                            BRUSHOBJ* pboOpaque, POINTL* pptlBrushOrg, MIX mix) override;
    HRESULT STDMETHODCALLTYPE DrvWriteAbortBuf(PDEVOBJ pdevobj, PVOID pBuffer, DWORD cbSize,
                                               DWORD dwWait) override;

    // References held on this helper; the owner holds the first.
    LONG refCount() const { return refs_; }

    // Decides how many bytes the nth write (0-based) reports as taken; by
    // default all of them. Only what is reported as taken is appended.
    std::function<DWORD(size_t call, DWORD offered)> takes;
    // When false, a write returns without storing a count.
    bool storesCount = true;
    // When set, nothing is recorded and only the bytes are counted.
    bool countOnly = false;
    // Where taken bytes are appended; by default the helper's own stream.
    std::vector<BYTE>* output = &stream;

    std::vector<BYTE> stream;
    std::vector<std::vector<BYTE>> writes;  // each write's bytes as offered
    std::vector<PDEVOBJ> writeDevices;      // the PDEVOBJ of each write
    size_t writeCount = 0;
    int queries = 0;  // QueryInterface calls for the helper interface

private:
    LONG volatile refs_ = 1;
};

}  // namespace printhost

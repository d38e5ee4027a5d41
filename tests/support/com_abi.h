// The plug-in interface as a C client sees it: a table of function pointers
// in the platform's order, written out from the published method list
// independently of the C++ declarations, so that calling through it shows
// that each method sits in its slot with its calling convention.
#pragma once

#include "oemdll/host/printer.h"

namespace comabi {

typedef HRESULT(STDMETHODCALLTYPE* QueryInterfaceFn)(void* self, REFIID riid, void** ppv);
typedef ULONG(STDMETHODCALLTYPE* RefFn)(void* self);

// Slot numbers of IPrintOemUni2, from 0.
enum Slot {
    kQueryInterface = 0,
    kAddRef,
    kRelease,
    kGetInfo,
    kDevMode,
    kEnableDriver,
    kDisableDriver,
    kEnablePDEV,
    kDisablePDEV,
    kResetPDEV,
    kPublishDriverInterface,
    kGetImplementedMethod,
    kDriverDMS,
    kCommandCallback,
    kImageProcessing,
    kFilterGraphics,
    kCompression,
    kHalftonePattern,
    kMemoryUsage,
    kTTYGetInfo,
    kDownloadFontHeader,
    kDownloadCharGlyph,
    kTTDownloadMethod,
    kOutputCharStr,
    kSendFontCmd,
    kTextOutAsBitmap,
    kWritePrinter,
    kSlotCount
};

inline void* SlotOf(void* object, int slot) { return (*static_cast<void***>(object))[slot]; }

template <typename F>
F Method(void* object, int slot) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(SlotOf(object, slot)));
}

typedef HRESULT(STDMETHODCALLTYPE* GetInfoFn)(void* self, DWORD mode, PVOID buffer, DWORD size, PDWORD needed);
typedef HRESULT(STDMETHODCALLTYPE* GetImplementedMethodFn)(void* self, char* name);
typedef HRESULT(STDMETHODCALLTYPE* CommandCallbackFn)(void* self, PDEVOBJ pdevobj, DWORD id, DWORD count,
                                                      PDWORD params, INT* result);
typedef HRESULT(STDMETHODCALLTYPE* WritePrinterFn)(void* self, PDEVOBJ pdevobj, PVOID buffer, DWORD size,
                                                   PDWORD written);
typedef HRESULT(STDMETHODCALLTYPE* ResetPDEVFn)(void* self, PDEVOBJ oldDev, PDEVOBJ newDev);
typedef HRESULT(STDMETHODCALLTYPE* NoArgFn)(void* self);

}  // namespace comabi

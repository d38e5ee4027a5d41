// The kernel and GDI services the plug-in calls. On Windows they are the
// system's own (kernel32, gdi32); on Linux the platform layer supplies them
// with the same contracts, shared by the plug-in module and its host.
#pragma once

#include <cstddef>
#include <new>

#include "oemdll/host/ddi.h"
#include "oemdll/host/platform.h"

#ifdef _WIN32

// gdi32 exports the Eng... services to user-mode printer drivers, but not
// every gdi32 has them; this resolves the export at its first use and
// behaves as a null palette where it is missing.
HPALETTE APIENTRY EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG flRed, FLONG flGreen,
                                   FLONG flBlue);

#else

#define HOST_SERVICE extern "C" __attribute__((visibility("default")))

HOST_SERVICE HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HOST_SERVICE HLOCAL LocalReAlloc(HLOCAL hMem, SIZE_T uBytes, UINT uFlags);
HOST_SERVICE HLOCAL LocalFree(HLOCAL hMem);
HOST_SERVICE LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);
HOST_SERVICE BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);
HOST_SERVICE void SetLastError(DWORD dwErrCode);
HOST_SERVICE DWORD GetLastError(void);
HOST_SERVICE LONG InterlockedIncrement(LONG volatile* addend);
HOST_SERVICE LONG InterlockedDecrement(LONG volatile* addend);

HOST_SERVICE HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG flRed, FLONG flGreen,
                                       FLONG flBlue);
HOST_SERVICE HPALETTE CreatePalette(const LOGPALETTE* plpal);
HOST_SERVICE UINT GetPaletteEntries(HPALETTE hpal, UINT iStart, UINT cEntries, PALETTEENTRY* pPalEntries);
HOST_SERVICE BOOL DeleteObject(HGDIOBJ ho);

// The platform layer's share of the ordinary allocator, so that the allocation
// of objects and records can be counted and failed like any other.
HOST_SERVICE void* PlatformObjectAlloc(SIZE_T bytes);
HOST_SERVICE void PlatformObjectFree(void* p);

#endif

namespace host {

// A read of a count that other threads change with the Interlocked calls.
inline LONG AtomicRead(LONG volatile* value) {
#ifdef _WIN32
    return InterlockedCompareExchange(value, 0, 0);
#else
    return __atomic_load_n(value, __ATOMIC_SEQ_CST);
#endif
}

// Objects and records come from the ordinary allocator, without throwing:
// a null result is an allocation failure the caller reports.
template <typename T>
T* NewObject() {
#ifdef _WIN32
    void* p = ::operator new(sizeof(T), std::nothrow);
#else
    void* p = PlatformObjectAlloc(sizeof(T));
#endif
    return p ? new (p) T() : nullptr;
}

template <typename T>
void DestroyObject(T* object) {
    if (!object) return;
    object->~T();
#ifdef _WIN32
    ::operator delete(object);
#else
    PlatformObjectFree(object);
#endif
}

}  // namespace host

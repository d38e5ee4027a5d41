// Module-wide identity and state of the plug-in server.
#pragma once

#include "oemdll/host/platform.h"

inline constexpr CLSID CLSID_RasterPlugin = {
    0x6D6ABF26, 0x9F38, 0x11D1, {0x88, 0x2A, 0x00, 0xC0, 0x4F, 0xB9, 0x61, 0xEC}};

constexpr DWORD PLUGIN_SIGNATURE = 0x4D534654;
constexpr DWORD PLUGIN_VERSION = 1;

// Live RasterPlugin objects and outstanding LockServer(TRUE) calls; both
// change only by atomic increment and decrement.
extern LONG volatile LiveObjectCount;
extern LONG volatile ServerLockCount;

#ifdef _WIN32
#define OEMDLL_EXPORT
#else
#define OEMDLL_EXPORT __attribute__((visibility("default")))
#endif

extern "C" {
OEMDLL_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv);
OEMDLL_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow(void);
BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);
}

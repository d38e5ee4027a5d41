// Module glue: the entry points the host finds by name.
#include "oemdll/server/module.h"

#include "oemdll/host/services.h"
#include "oemdll/server/factory.h"

LONG volatile LiveObjectCount = 0;
LONG volatile ServerLockCount = 0;

BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID) { return TRUE; }

HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!IsEqualGUID(rclsid, CLSID_RasterPlugin)) return CLASS_E_CLASSNOTAVAILABLE;
    if (!ppv) return E_POINTER;

    RasterPluginFactory* factory = CreateRasterPluginFactory();
    if (!factory) return E_OUTOFMEMORY;

    // A successful query leaves the caller holding the only reference; a
    // failed one lets this Release destroy the factory.
    const HRESULT hr = factory->QueryInterface(riid, ppv);
    factory->Release();
    return hr;
}

HRESULT STDMETHODCALLTYPE DllCanUnloadNow(void) {
    // A factory held alone does not keep the module loaded.
    return (host::AtomicRead(&LiveObjectCount) == 0 && host::AtomicRead(&ServerLockCount) == 0) ? S_OK : S_FALSE;
}

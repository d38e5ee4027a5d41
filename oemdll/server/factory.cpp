// RasterPluginFactory: hands out RasterPlugin objects and holds server locks.
#include "oemdll/server/factory.h"

#include "oemdll/host/services.h"
#include "oemdll/server/module.h"
#include "oemdll/server/plugin.h"

RasterPluginFactory* CreateRasterPluginFactory() { return host::NewObject<RasterPluginFactory>(); }

HRESULT STDMETHODCALLTYPE RasterPluginFactory::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    if (IsEqualGUID(riid, IID_IUnknown) || IsEqualGUID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE RasterPluginFactory::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&refCount)); }

ULONG STDMETHODCALLTYPE RasterPluginFactory::Release() {
    const LONG count = InterlockedDecrement(&refCount);
    if (count == 0) host::DestroyObject(this);
    return static_cast<ULONG>(count);
}

HRESULT STDMETHODCALLTYPE RasterPluginFactory::CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) {
    if (pUnkOuter) return CLASS_E_NOAGGREGATION;
    if (!ppv) return E_POINTER;

    RasterPlugin* plugin = CreateRasterPlugin();
    if (!plugin) return E_OUTOFMEMORY;

    const HRESULT hr = plugin->QueryInterface(riid, ppv);
    plugin->Release();
    return hr;
}

HRESULT STDMETHODCALLTYPE RasterPluginFactory::LockServer(BOOL fLock) {
    // No floor: an unmatched unlock takes the count below zero.
    if (fLock) {
        InterlockedIncrement(&ServerLockCount);
    } else {
        InterlockedDecrement(&ServerLockCount);
    }
    return S_OK;
}

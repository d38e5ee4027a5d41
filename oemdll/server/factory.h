// The class factory for CLSID_RasterPlugin.
#pragma once

#include "oemdll/host/platform.h"

class RasterPluginFactory final : public IClassFactory {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid, void** ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

    LONG volatile refCount = 1;
};

// A new factory holding one reference, or null when memory is short.
RasterPluginFactory* CreateRasterPluginFactory();

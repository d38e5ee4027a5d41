// Loads the plug-in module by path, the way the print pipeline does, and
// finds its two exports.
#pragma once

#include <string>

#include "oemdll/host/platform.h"

namespace printhost {

typedef HRESULT(STDMETHODCALLTYPE* DllGetClassObjectFn)(REFCLSID rclsid, REFIID riid, void** ppv);
typedef HRESULT(STDMETHODCALLTYPE* DllCanUnloadNowFn)(void);

class PluginModule {
public:
    PluginModule() = default;
    ~PluginModule();
    PluginModule(const PluginModule&) = delete;
    PluginModule& operator=(const PluginModule&) = delete;

    // Loads the module and resolves both exports. On failure returns false
    // and says why in error(); nothing stays loaded.
    bool Load(const std::string& path);
    void Unload();

    bool loaded() const { return handle_ != nullptr; }
    const std::string& error() const { return error_; }

    DllGetClassObjectFn getClassObject = nullptr;
    DllCanUnloadNowFn canUnloadNow = nullptr;

private:
    void* handle_ = nullptr;
    std::string error_;
};

// Every optional method a host asks a plug-in about with
// GetImplementedMethod, by its platform name.
extern const char* const kOptionalMethodNames[14];

// The folder of the running program, with its trailing separator; empty
// where it cannot be found. A host finds the module relative to it.
std::string ProgramFolder();

}  // namespace printhost

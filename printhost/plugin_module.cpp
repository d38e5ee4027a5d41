#include "printhost/plugin_module.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#endif

namespace printhost {

namespace {

#ifdef _WIN32
std::string LastSystemError() {
    char text[256] = {};
    const DWORD code = GetLastError();
    if (!FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                        sizeof text, nullptr)) {
        return "error " + std::to_string(code);
    }
    std::string message(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return message;
}
#endif

template <typename F>
F ToFunction(void* symbol) {
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(symbol));
}

}  // namespace

const char* const kOptionalMethodNames[14] = {
    "CommandCallback", "Compression",     "DownloadCharGlyph", "DownloadFontHeader", "FilterGraphics",
    "HalftonePattern", "ImageProcessing", "MemoryUsage",       "OutputCharStr",      "SendFontCmd",
    "TextOutAsBitmap", "TTDownloadMethod", "TTYGetInfo",       "WritePrinter",
};

PluginModule::~PluginModule() { Unload(); }

bool PluginModule::Load(const std::string& path) {
    Unload();
    error_.clear();
#ifdef _WIN32
    HMODULE module = LoadLibraryA(path.c_str());
    if (!module) {
        error_ = "cannot load module " + path + ": " + LastSystemError();
        return false;
    }
    handle_ = module;
    auto find = [&](const char* name) {
        return reinterpret_cast<void*>(GetProcAddress(module, name));
    };
#else
    handle_ = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!handle_) {
        const char* why = dlerror();
        error_ = "cannot load module " + path + ": " + (why ? why : "unknown error");
        return false;
    }
    auto find = [&](const char* name) { return dlsym(handle_, name); };
#endif
    void* get = find("DllGetClassObject");
    void* can = find("DllCanUnloadNow");
    if (!get || !can) {
        error_ = "module " + path + " does not export " + (get ? "DllCanUnloadNow" : "DllGetClassObject");
        Unload();
        return false;
    }
    getClassObject = ToFunction<DllGetClassObjectFn>(get);
    canUnloadNow = ToFunction<DllCanUnloadNowFn>(can);
    return true;
}

void PluginModule::Unload() {
    if (handle_) {
#ifdef _WIN32
        FreeLibrary(static_cast<HMODULE>(handle_));
#else
        dlclose(handle_);
#endif
    }
    handle_ = nullptr;
    getClassObject = nullptr;
    canUnloadNow = nullptr;
}

std::string ProgramFolder() {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string dir(path, n);
    const size_t slash = dir.find_last_of("\\/");
#else
    char self[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    std::string dir(self, n > 0 ? static_cast<size_t>(n) : 0);
    const size_t slash = dir.find_last_of('/');
#endif
    return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

}  // namespace printhost

// Shared pieces of the fuzz targets: a byte reader over the input and a
// plug-in object made through the module's own entry points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "oemdll/host/printer.h"
#include "oemdll/server/module.h"

namespace fuzz {

class Input {
public:
    Input(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::size_t left() const { return size_ - pos_; }
    std::uint8_t Byte() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t Word() { return static_cast<std::uint16_t>(Byte() | Byte() << 8); }
    std::uint32_t Dword() { return static_cast<std::uint32_t>(Word() | std::uint32_t(Word()) << 16); }
    // Up to n bytes of what is left.
    const std::uint8_t* Take(std::size_t& n) {
        if (n > left()) n = left();
        const std::uint8_t* p = data_ + pos_;
        pos_ += n;
        return p;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

// Stops the run: a fuzz target found the plug-in doing what it must not.
[[noreturn]] inline void Fail(const char* what) {
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

inline void Check(bool ok, const char* what) {
    if (!ok) Fail(what);
}

inline IPrintOemUni2* CreatePlugin() {
    void* ppv = nullptr;
    if (DllGetClassObject(CLSID_RasterPlugin, IID_IClassFactory, &ppv) != S_OK) Fail("no class factory");
    auto* factory = static_cast<IClassFactory*>(ppv);
    if (factory->CreateInstance(nullptr, IID_IPrintOemUni2, &ppv) != S_OK) Fail("no plug-in object");
    factory->Release();
    return static_cast<IPrintOemUni2*>(ppv);
}

inline void ReleasePlugin(IPrintOemUni2* plugin) {
    if (plugin->Release() != 0) Fail("the plug-in object outlived its last reference");
    if (DllCanUnloadNow() != S_OK) Fail("the module reports something still alive");
}

}  // namespace fuzz

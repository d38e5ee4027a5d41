// GetInfo and GetImplementedMethod with arbitrary arguments.
#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    IPrintOemUni2* plugin = fuzz::CreatePlugin();
    while (in.left() > 0) {
        const std::uint8_t op = in.Byte();
        if (op & 1) {
            const DWORD mode = in.Dword() % 8;
            const DWORD cbSize = in.Byte();
            std::uint8_t buffer[12];
            std::memset(buffer, 0x5A, sizeof buffer);
            DWORD needed = 0xdeadbeef;
            // The buffer the plug-in is told of is never larger than what is there.
            const DWORD told = cbSize > 8 ? 8 : cbSize;
            const HRESULT hr = plugin->GetInfo(mode, (op & 2) ? nullptr : buffer + 2, (op & 8) ? cbSize : told,
                                               (op & 4) ? nullptr : &needed);
            // Only the four bytes at the buffer's start may change, and only
            // on success.
            for (int i = 0; i < 12; ++i) {
                const bool value = hr == S_OK && i >= 2 && i < 6;
                if (!value) fuzz::Check(buffer[i] == 0x5A, "wrote outside the value");
            }
            if (hr == S_OK) {
                DWORD value;
                std::memcpy(&value, buffer + 2, 4);
                fuzz::Check(value == (mode == OEMGI_GETSIGNATURE ? PLUGIN_SIGNATURE : PLUGIN_VERSION), "wrong value");
            }
            fuzz::Check(hr == S_OK || hr == E_FAIL, "unexpected GetInfo result");
        } else {
            std::size_t n = in.Byte();
            const std::uint8_t* bytes = in.Take(n);
            std::string name(reinterpret_cast<const char*>(bytes), n);
            const HRESULT hr = plugin->GetImplementedMethod(&name[0]);
            const std::string asC = name.c_str();
            const bool claimed = asC == "CommandCallback" || asC == "FilterGraphics" || asC == "ImageProcessing";
            fuzz::Check(hr == (claimed ? S_OK : S_FALSE), "wrong GetImplementedMethod result");
        }
    }
    fuzz::ReleasePlugin(plugin);
    return 0;
}

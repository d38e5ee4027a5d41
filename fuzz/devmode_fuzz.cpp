// DevMode with arbitrary blocks and modes: nothing outside the two 16-byte
// blocks is touched, and every result is one the method may give.
#include <cstring>

#include "fuzz/fuzz_support.h"
#include "oemdll/server/devmode.h"

namespace {

constexpr std::uint8_t kGuard = 0xA5;

struct Guarded {
    std::uint8_t bytes[48];
    void Fill(fuzz::Input& in) {
        std::memset(bytes, kGuard, sizeof bytes);
        for (int i = 16; i < 32; ++i) bytes[i] = in.Byte();
    }
    void* block() { return bytes + 16; }
    bool Intact() const {
        for (int i = 0; i < 16; ++i)
            if (bytes[i] != kGuard || bytes[32 + i] != kGuard) return false;
        return true;
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    IPrintOemUni2* plugin = fuzz::CreatePlugin();
    while (in.left() > 0) {
        const DWORD mode = in.Byte() % 7;
        const std::uint8_t shape = in.Byte();
        Guarded inBlock, outBlock;
        inBlock.Fill(in);
        outBlock.Fill(in);
        std::uint8_t before[16];
        std::memcpy(before, inBlock.block(), 16);

        OEMDMPARAM param{};
        param.cbSize = sizeof param;
        param.pOEMDMIn = (shape & 1) ? nullptr : inBlock.block();
        param.pOEMDMOut = (shape & 2) ? nullptr : outBlock.block();
        param.cbBufSize = in.Dword();
        if (shape & 4) param.pOEMDMIn = param.pOEMDMOut;  // the same block both ways
        const HRESULT hr = plugin->DevMode(mode, (shape & 8) ? nullptr : &param);

        fuzz::Check(inBlock.Intact() && outBlock.Intact(), "wrote outside a block");
        fuzz::Check(hr == S_OK || hr == E_FAIL, "unexpected result");
        if (param.pOEMDMIn != param.pOEMDMOut && param.pOEMDMIn)
            fuzz::Check(std::memcmp(before, inBlock.block(), 16) == 0, "the in block was written");
        if (hr == S_OK && mode >= OEMDM_DEFAULT) {
            const OemDevmodeBlock* out = static_cast<OemDevmodeBlock*>(param.pOEMDMOut);
            fuzz::Check(out->header.dwSize == 16 && out->header.dwVersion == 1, "out block not converted");
            if (mode != OEMDM_CONVERT)
                fuzz::Check(out->header.dwSignature == PLUGIN_SIGNATURE && out->privateValue == 0,
                            "out block is not the default block");
        }
        if (hr == S_OK && mode == OEMDM_SIZE) fuzz::Check(param.cbBufSize == 16, "wrong size");
    }
    fuzz::ReleasePlugin(plugin);
    return 0;
}

// The private devmode section: size, defaults, conversion and merging,
// byte by byte, with guard bytes around each block.
#include <gtest/gtest.h>

#include <cstring>
#include <array>
#include <string>

#include "oemdll/host/services.h"
#include "oemdll/server/devmode.h"
#include "oemdll/server/module.h"
#include "oemdll/server/plugin.h"
#include "tests/support/plugin.h"

namespace {

using Block = std::array<DWORD, 4>;  // dwSize, dwSignature, dwVersion, privateValue
constexpr DWORD kSig = PLUGIN_SIGNATURE;
constexpr DWORD kOther = 0x12345678;
constexpr Block kDefault = {16, kSig, 1, 0};
constexpr BYTE kGuard = 0xA5;

// A block with 16 guard bytes on each side.
struct Guarded {
    explicit Guarded(const Block& block) {
        bytes.fill(kGuard);
        std::memcpy(bytes.data() + 16, block.data(), 16);
    }
    void* block() { return bytes.data() + 16; }
    Block value() const {
        Block b;
        std::memcpy(b.data(), bytes.data() + 16, 16);
        return b;
    }
    bool guardsIntact() const {
        for (size_t i = 0; i < 16; ++i)
            if (bytes[i] != kGuard || bytes[32 + i] != kGuard) return false;
        return true;
    }
    std::array<BYTE, 48> bytes;
};

using testsupport::CreatePlugin;

std::string Show(const Block& b) {
    char text[64];
    std::snprintf(text, sizeof text, "{%u, %#x, %u, %#x}", unsigned(b[0]), unsigned(b[1]), unsigned(b[2]),
                  unsigned(b[3]));
    return text;
}

TEST(DevMode, ConvertsBlockByBlock) {
    struct Case {
        const char* what;
        Block in, out, expected;
    } const cases[] = {
        {"different signature", {16, kOther, 7, 0x99}, {16, kSig, 1, 0x77}, {16, kSig, 1, 0}},
        {"out from another plug-in", {16, kSig, 1, 0}, {16, kOther, 3, 0x77}, {16, kSig, 1, 0}},
        {"same signature, in size 8", {8, kSig, 5, 0x99}, {16, kSig, 9, 0x77}, {16, kSig, 1, 0}},
        {"same signature, sizes 16", {16, kSig, 5, 0x99}, {16, kSig, 9, 0x77}, {16, kSig, 1, 0x99}},
        {"same signature, in 32, out 20", {32, kSig, 5, 0x99}, {20, kSig, 9, 0x77}, {16, kSig, 1, 0x99}},
        {"same signature, in 20, out 8", {20, kSig, 5, 0x99}, {8, kSig, 9, 0x77}, {16, kSig, 1, 0}},
        {"same signature, out 32", {16, kSig, 5, 0x99}, {32, kSig, 9, 0x77}, {16, kSig, 1, 0x99}},
        {"same signature, both 0", {0, kSig, 5, 0x99}, {0, kSig, 9, 0x77}, {16, kSig, 1, 0}},
        {"shared other signature", {16, kOther, 5, 0x99}, {16, kOther, 9, 0x77}, {16, kOther, 1, 0x99}},
        {"shared other signature, size 8", {8, kOther, 5, 0x99}, {16, kOther, 9, 0x77}, {16, kOther, 1, 0}},
        {"same signature, in size 4", {4, kSig, 5, 0x99}, {16, kSig, 9, 0x77}, {16, kSig, 1, 0}},
        {"huge sizes", {0xFFFFFFFF, kSig, 5, 0x99}, {0xFFFFFFF0, kSig, 9, 0x77}, {16, kSig, 1, 0x99}},
    };
    IPrintOemUni2* plugin = CreatePlugin();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Guarded in(c.in), out(c.out);
        OEMDMPARAM param{};
        param.cbSize = sizeof param;
        param.pOEMDMIn = in.block();
        param.pOEMDMOut = out.block();
        param.cbBufSize = 16;
        EXPECT_EQ(plugin->DevMode(OEMDM_CONVERT, &param), S_OK);
        EXPECT_EQ(Show(out.value()), Show(c.expected));
        EXPECT_EQ(Show(in.value()), Show(c.in)) << "in is only read";
        EXPECT_TRUE(in.guardsIntact() && out.guardsIntact());

        Guarded merged(c.out);
        param.pOEMDMOut = merged.block();
        EXPECT_EQ(plugin->DevMode(OEMDM_MERGE, &param), S_OK);
        EXPECT_EQ(Show(merged.value()), Show(kDefault)) << "merge ends on the default block";
        EXPECT_TRUE(merged.guardsIntact());
    }
    plugin->Release();
}

TEST(DevMode, SizeAndDefaults) {
    IPrintOemUni2* plugin = CreatePlugin();
    OEMDMPARAM param{};
    param.cbBufSize = 0xdeadbeef;
    EXPECT_EQ(plugin->DevMode(OEMDM_SIZE, &param), S_OK);
    EXPECT_EQ(param.cbBufSize, 16u);

    Guarded out({0x55555555, 0x55555555, 0x55555555, 0x55555555});
    param.pOEMDMOut = out.block();
    EXPECT_EQ(plugin->DevMode(OEMDM_DEFAULT, &param), S_OK);
    const BYTE expected[16] = {16, 0, 0, 0, 0x54, 0x46, 0x53, 0x4D, 1, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(out.block(), expected, 16)) << "little-endian default block";
    EXPECT_TRUE(out.guardsIntact());
    plugin->Release();
}

TEST(DevMode, RefusedRequestsSetTheLastError) {
    IPrintOemUni2* plugin = CreatePlugin();
    Guarded in(kDefault), out({1, 2, 3, 4});
    struct Case {
        const char* what;
        DWORD mode;
        bool param, inBlock, outBlock;
        HRESULT hr;
        DWORD lastError;
        Block outAfter;
    } const cases[] = {
        {"mode 0", 0, true, true, true, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"mode 5", 5, true, true, true, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"size with no param", OEMDM_SIZE, false, true, true, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"default with no param", OEMDM_DEFAULT, false, true, true, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"default with no out", OEMDM_DEFAULT, true, true, false, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"convert with no in", OEMDM_CONVERT, true, false, true, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"convert with no out", OEMDM_CONVERT, true, true, false, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
        {"merge with no in", OEMDM_MERGE, true, false, true, E_FAIL, ERROR_INVALID_PARAMETER, kDefault},
        {"merge with no out", OEMDM_MERGE, true, true, false, E_FAIL, ERROR_INVALID_PARAMETER, {1, 2, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Guarded target({1, 2, 3, 4});
        OEMDMPARAM param{};
        param.pOEMDMIn = c.inBlock ? in.block() : nullptr;
        param.pOEMDMOut = c.outBlock ? target.block() : nullptr;
        param.cbBufSize = 0x77;
        SetLastError(0);
        EXPECT_EQ(plugin->DevMode(c.mode, c.param ? &param : nullptr), c.hr);
        EXPECT_EQ(GetLastError(), c.lastError);
        EXPECT_EQ(Show(target.value()), Show(c.outAfter));
        EXPECT_EQ(param.cbBufSize, 0x77u);
    }
    plugin->Release();
}

TEST(DevMode, ConversionInPlace) {
    Guarded block({16, kSig, 4, 0x99});
    auto* b = static_cast<OemDevmodeBlock*>(block.block());
    EXPECT_EQ(ConvertDevmodeBlock(b, b), TRUE);
    // The private value is cleared before the block is copied onto itself.
    EXPECT_EQ(Show(block.value()), Show({16, kSig, 1, 0}));
    EXPECT_TRUE(block.guardsIntact());
}

}  // namespace

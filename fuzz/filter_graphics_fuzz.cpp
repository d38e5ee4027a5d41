// FilterGraphics on arbitrary blocks, with the helper's short writes taken
// from the input; every command sent is checked against what the block
// calls for.
#include <cstdio>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "printhost/spool_helper.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::Input in(data, size);
    const std::uint8_t mode = in.Byte();
    const std::uint32_t shortAt = in.Byte();  // which write comes back short
    const bool storesCount = (mode & 1) == 0;
    const bool shortWrites = (mode & 2) != 0;
    std::size_t length = in.left();
    const std::uint8_t* block = in.Take(length);

    IPrintOemUni2* plugin = fuzz::CreatePlugin();
    printhost::SpoolHelper helper;
    helper.storesCount = storesCount;
    if (shortWrites) helper.takes = [&](size_t call, DWORD offered) { return call == shortAt ? offered / 2 : offered; };
    fuzz::Check(plugin->PublishDriverInterface(&helper) == S_OK, "helper refused");

    // An exact copy, so that a read past the block's end is caught.
    std::vector<BYTE> copy(block, block + length);
    DEVOBJ devobj{};
    const HRESULT hr = plugin->FilterGraphics(&devobj, copy.empty() ? nullptr : copy.data(),
                                              static_cast<DWORD>(copy.size()));

    // What the block calls for: one row skipped per whole group of eight
    // leading rows of 0xFF, then 48 bytes a command.
    const size_t rows = length / 48;
    size_t leading = 0;
    while (leading < rows) {
        bool blank = true;
        for (size_t i = 0; i < 48; ++i) blank = blank && block[leading * 48 + i] == 0xFF;
        if (!blank) break;
        ++leading;
    }
    if (leading == rows) leading = 0;
    std::vector<std::vector<BYTE>> expected;
    for (size_t pos = leading / 8 * 48; pos < length; pos += 48) {
        const size_t k = length - pos < 48 ? length - pos : 48;
        std::vector<BYTE> command = {0x1B, 0x2E, 0x01, 0x00, 0x00, 0x01, BYTE((8 * k) & 0xFF), BYTE((8 * k) >> 8)};
        command.insert(command.end(), block + pos, block + pos + k);
        expected.push_back(command);
    }

    // Writes stop at the first short one (or the first, when no count is
    // stored); every write made is the command expected at its place.
    size_t stop = expected.size();
    if (!storesCount && !expected.empty()) stop = 1;
    if (shortWrites && storesCount && shortAt < expected.size()) stop = shortAt + 1;
    fuzz::Check(helper.writes.size() == stop, "wrong number of spool writes");
    for (size_t i = 0; i < stop; ++i) fuzz::Check(helper.writes[i] == expected[i], "a command differs");
    const bool full = stop == expected.size() && !(!storesCount && !expected.empty()) &&
                      !(shortWrites && shortAt < expected.size());
    fuzz::Check(hr == (full ? S_OK : S_FALSE), "wrong result");

    plugin->DisableDriver();
    fuzz::ReleasePlugin(plugin);
    fuzz::Check(helper.refCount() == 1, "helper reference leaked");
    return 0;
}

// Stand-in for the kernel32 and gdi32 services the plug-in and its hosts
// use, with the contracts the plug-in relies on and test controls besides.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "oemdll/host/services.h"
#include "standin/platform/control.h"

namespace {

// Local memory carries its size in a header, so that a reallocation can
// zero what it adds.
struct BlockHeader {
    std::uint64_t magic;
    std::uint64_t size;
};
constexpr std::uint64_t kBlockMagic = 0x4C6F63616C4D656DULL;
constexpr std::uint64_t kFreedMagic = 0x4672656564426C6BULL;

std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::uint64_t> g_failAt{0};

std::atomic<std::uint64_t> g_liveBytes{0};
std::atomic<std::uint64_t> g_peakBytes{0};

thread_local DWORD t_lastError = 0;

void AddLocalBytes(std::uint64_t added, std::uint64_t removed) {
    const std::uint64_t now = g_liveBytes.fetch_add(added - removed) + added - removed;
    std::uint64_t peak = g_peakBytes.load();
    while (now > peak && !g_peakBytes.compare_exchange_weak(peak, now)) {
    }
}

// Counts one allocation and says whether it is to fail.
bool NextAllocationFails() {
    const std::uint64_t n = g_allocations.fetch_add(1) + 1;
    const std::uint64_t at = g_failAt.load();
    return at != 0 && n == at;
}

BlockHeader* HeaderOf(HLOCAL mem) {
    auto* header = reinterpret_cast<BlockHeader*>(static_cast<unsigned char*>(mem) - sizeof(BlockHeader));
    if (header->magic != kBlockMagic) {
        // A double free or a pointer that never came from LocalAlloc: stop
        // here rather than corrupt the heap quietly.
        std::abort();
    }
    return header;
}

struct Palette {
    unsigned mode;
    std::vector<PALETTEENTRY> entries;
};

std::mutex g_paletteLock;
std::unordered_map<HPALETTE, Palette*> g_palettes;
std::atomic<int> g_paletteReadLimit{-1};
std::atomic<bool> g_failPaletteCreation{false};

HPALETTE RegisterPalette(Palette* palette) {
    auto handle = reinterpret_cast<HPALETTE>(palette);
    std::lock_guard<std::mutex> lock(g_paletteLock);
    g_palettes[handle] = palette;
    return handle;
}

Palette* FindPalette(HPALETTE handle) {
    auto it = g_palettes.find(handle);
    return it == g_palettes.end() ? nullptr : it->second;
}

}  // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (NextAllocationFails() || uBytes > (SIZE_MAX >> 2)) {
        t_lastError = 8;  // ERROR_NOT_ENOUGH_MEMORY
        return nullptr;
    }
    void* raw = std::malloc(sizeof(BlockHeader) + uBytes);
    if (!raw) {
        t_lastError = 8;
        return nullptr;
    }
    auto* header = static_cast<BlockHeader*>(raw);
    header->magic = kBlockMagic;
    header->size = uBytes;
    unsigned char* data = static_cast<unsigned char*>(raw) + sizeof(BlockHeader);
    if (uFlags & LMEM_ZEROINIT) {
        std::memset(data, 0, uBytes);
    } else {
        std::memset(data, 0xCD, uBytes);  // make reads of unset memory visible
    }
    g_live.fetch_add(1);
    AddLocalBytes(uBytes, 0);
    return data;
}

HLOCAL LocalReAlloc(HLOCAL hMem, SIZE_T uBytes, UINT uFlags) {
    if (!hMem) {
        t_lastError = 6;  // ERROR_INVALID_HANDLE
        return nullptr;
    }
    BlockHeader* header = HeaderOf(hMem);
    const std::uint64_t oldSize = header->size;
    if (NextAllocationFails() || uBytes > (SIZE_MAX >> 2) || (!(uFlags & LMEM_MOVEABLE) && uBytes > oldSize)) {
        // A fixed block cannot move, so it can only grow where it stands;
        // the stand-in never finds room for that.
        t_lastError = 8;
        return nullptr;
    }
    void* raw = std::realloc(header, sizeof(BlockHeader) + uBytes);
    if (!raw) {
        t_lastError = 8;
        return nullptr;
    }
    header = static_cast<BlockHeader*>(raw);
    header->size = uBytes;
    AddLocalBytes(uBytes, oldSize);
    unsigned char* data = static_cast<unsigned char*>(raw) + sizeof(BlockHeader);
    if (uBytes > oldSize) {
        std::memset(data + oldSize, (uFlags & LMEM_ZEROINIT) ? 0 : 0xCD, uBytes - oldSize);
    }
    return data;
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (!hMem) return nullptr;
    BlockHeader* header = HeaderOf(hMem);
    AddLocalBytes(0, header->size);
    header->magic = kFreedMagic;
    std::free(header);
    g_live.fetch_sub(1);
    return nullptr;
}

void* StandinObjectAlloc(SIZE_T bytes) {
    if (NextAllocationFails()) return nullptr;
    void* p = std::malloc(bytes ? bytes : 1);
    if (p) g_live.fetch_add(1);
    return p;
}

void StandinObjectFree(void* p) {
    if (!p) return;
    std::free(p);
    g_live.fetch_sub(1);
}

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD GetLastError(void) { return t_lastError; }

LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }

HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG, FLONG, FLONG) {
    if (g_failPaletteCreation.load()) return nullptr;
    auto* palette = new Palette{iMode, {}};
    if (pulColors) {
        for (ULONG i = 0; i < cColors; ++i) {
            const ULONG c = pulColors[i];
            palette->entries.push_back(PALETTEENTRY{BYTE(c >> 16), BYTE(c >> 8), BYTE(c), 0});
        }
    }
    return RegisterPalette(palette);
}

HPALETTE CreatePalette(const LOGPALETTE* plpal) {
    if (!plpal || plpal->palNumEntries == 0) return nullptr;
    auto* palette = new Palette{0, {}};
    palette->entries.assign(plpal->palPalEntry, plpal->palPalEntry + plpal->palNumEntries);
    return RegisterPalette(palette);
}

UINT GetPaletteEntries(HPALETTE hpal, UINT iStart, UINT cEntries, PALETTEENTRY* pPalEntries) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    const Palette* palette = FindPalette(hpal);
    if (!palette) return 0;
    const UINT size = static_cast<UINT>(palette->entries.size());
    if (!pPalEntries) return size;
    if (iStart >= size) return 0;
    UINT count = cEntries < size - iStart ? cEntries : size - iStart;
    const int limit = g_paletteReadLimit.load();
    if (limit >= 0 && count > static_cast<UINT>(limit)) count = static_cast<UINT>(limit);
    std::memcpy(pPalEntries, palette->entries.data() + iStart, count * sizeof(PALETTEENTRY));
    return count;
}

BOOL DeleteObject(HGDIOBJ ho) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    auto handle = static_cast<HPALETTE>(ho);
    Palette* palette = FindPalette(handle);
    if (!palette) return FALSE;
    g_palettes.erase(handle);
    delete palette;
    return TRUE;
}

namespace standin {

std::uint64_t AllocationCount() { return g_allocations.load(); }

std::int64_t LiveAllocations() { return g_live.load(); }

std::uint64_t LiveLocalBytes() { return g_liveBytes.load(); }

std::uint64_t PeakLocalBytes() { return g_peakBytes.load(); }

void ResetPeakLocalBytes() { g_peakBytes.store(g_liveBytes.load()); }

void FailNthAllocation(std::uint64_t n) { g_failAt.store(n == 0 ? 0 : g_allocations.load() + n); }

void SetPaletteReadLimit(int limit) { g_paletteReadLimit.store(limit); }

void FailPaletteCreation(bool fail) { g_failPaletteCreation.store(fail); }

int LivePalettes() {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    return static_cast<int>(g_palettes.size());
}

unsigned PaletteMode(HPALETTE handle) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    const Palette* palette = FindPalette(handle);
    return palette ? palette->mode : 0;
}

void ResetFaults() {
    g_failAt.store(0);
    g_paletteReadLimit.store(-1);
    g_failPaletteCreation.store(false);
}

}  // namespace standin

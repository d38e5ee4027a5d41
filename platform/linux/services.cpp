// The kernel32 and gdi32 services the plug-in and its hosts use on Linux,
// with the contracts the plug-in relies on. Tests watch and fail them through
// the observer table (observer.h).
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "oemdll/host/services.h"
#include "platform/linux/observer.h"

namespace {

// Local memory carries its size in a header, so that a reallocation can
// zero what it adds.
struct BlockHeader {
    std::uint64_t magic;
    std::uint64_t size;
};
constexpr std::uint64_t kBlockMagic = 0x4C6F63616C4D656DULL;
constexpr std::uint64_t kFreedMagic = 0x4672656564426C6BULL;

std::atomic<const PlatformObserver*> g_observer{nullptr};

thread_local DWORD t_lastError = 0;

bool NextAllocationFails() {
    const PlatformObserver* observer = g_observer.load(std::memory_order_acquire);
    return observer && observer->allocationFails();
}

void BlocksChanged(int delta) {
    if (const PlatformObserver* observer = g_observer.load(std::memory_order_acquire)) observer->blocksChanged(delta);
}

void AddLocalBytes(std::uint64_t added, std::uint64_t removed) {
    if (const PlatformObserver* observer = g_observer.load(std::memory_order_acquire))
        observer->localBytesChanged(added, removed);
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

HPALETTE RegisterPalette(Palette* palette) {
    auto handle = reinterpret_cast<HPALETTE>(palette);
    {
        std::lock_guard<std::mutex> lock(g_paletteLock);
        g_palettes[handle] = palette;
    }
    if (const PlatformObserver* observer = g_observer.load(std::memory_order_acquire))
        observer->paletteCreated(handle, palette->mode);
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
    BlocksChanged(1);
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
        // this heap never finds room for that.
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
    BlocksChanged(-1);
    return nullptr;
}

void* PlatformObjectAlloc(SIZE_T bytes) {
    if (NextAllocationFails()) return nullptr;
    void* p = std::malloc(bytes ? bytes : 1);
    if (p) BlocksChanged(1);
    return p;
}

void PlatformObjectFree(void* p) {
    if (!p) return;
    std::free(p);
    BlocksChanged(-1);
}

void SetLastError(DWORD dwErrCode) { t_lastError = dwErrCode; }

DWORD GetLastError(void) { return t_lastError; }

LONG InterlockedIncrement(LONG volatile* addend) { return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST); }

LONG InterlockedDecrement(LONG volatile* addend) { return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST); }

HPALETTE EngCreatePalette(ULONG iMode, ULONG cColors, ULONG* pulColors, FLONG, FLONG, FLONG) {
    const PlatformObserver* observer = g_observer.load(std::memory_order_acquire);
    if (observer && observer->paletteCreationFails()) return nullptr;
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
    const PlatformObserver* observer = g_observer.load(std::memory_order_acquire);
    std::lock_guard<std::mutex> lock(g_paletteLock);
    const Palette* palette = FindPalette(hpal);
    if (!palette) return 0;
    const UINT size = static_cast<UINT>(palette->entries.size());
    if (!pPalEntries) return size;
    if (iStart >= size) return 0;
    UINT count = cEntries < size - iStart ? cEntries : size - iStart;
    if (observer) count = observer->paletteReadLimit(count);
    std::memcpy(pPalEntries, palette->entries.data() + iStart, count * sizeof(PALETTEENTRY));
    return count;
}

BOOL DeleteObject(HGDIOBJ ho) {
    auto handle = static_cast<HPALETTE>(ho);
    {
        std::lock_guard<std::mutex> lock(g_paletteLock);
        Palette* palette = FindPalette(handle);
        if (!palette) return FALSE;
        g_palettes.erase(handle);
        delete palette;
    }
    if (const PlatformObserver* observer = g_observer.load(std::memory_order_acquire))
        observer->paletteDeleted(handle);
    return TRUE;
}

void PlatformSetObserver(const PlatformObserver* observer) { g_observer.store(observer, std::memory_order_release); }

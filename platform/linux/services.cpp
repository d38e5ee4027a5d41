// The kernel32 and gdi32 services the plug-in and its hosts use on Linux,
// with the contracts the plug-in relies on. Tests watch and fail them through
// the observer table (observer.h).
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
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

void AddVirtualBytes(std::int64_t reserved, std::int64_t committed) {
    if (const PlatformObserver* observer = g_observer.load(std::memory_order_acquire))
        observer->virtualBytesChanged(reserved, committed);
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

// A reserved range of address space: an inaccessible mapping whose pages
// are made accessible as they are committed. Which pages are committed is
// kept so that a commit counts only the pages it adds.
struct Reservation {
    std::size_t bytes;
    std::vector<bool> committed;  // one per page
    std::size_t committedPages;
    bool inArena;
};

constexpr DWORD kNotEnoughMemory = 8;
constexpr DWORD kInvalidAddress = 487;
// Windows places reservations on 64 KiB boundaries.
constexpr std::uintptr_t kReserveStep = 64 * 1024;
// On 64-bit, ranges are carved from one large inaccessible mapping, lowest
// free address first, as Windows hands out address space: a range can then
// be followed by another right after it, and a reservation at a chosen
// address is honoured when that space is free. Past it, ranges are plain
// mappings wherever the kernel puts them.
constexpr std::size_t kArenaBytes = sizeof(void*) == 8 ? std::size_t(16) << 30 : 0;

std::mutex g_reservationLock;
std::map<std::uintptr_t, Reservation> g_reservations;  // by base address
std::uintptr_t g_arenaBase = 0;
bool g_arenaTried = false;

std::size_t PageBytes() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
}

std::uintptr_t StepUp(std::uintptr_t at) { return (at + kReserveStep - 1) / kReserveStep * kReserveStep; }

// The reservation that holds all of [at, at + bytes), or none.
std::map<std::uintptr_t, Reservation>::iterator ReservationHolding(std::uintptr_t at, std::size_t bytes) {
    auto it = g_reservations.upper_bound(at);
    if (it == g_reservations.begin()) return g_reservations.end();
    --it;
    const std::uintptr_t end = it->first + it->second.bytes;
    return at < end && bytes <= end - at ? it : g_reservations.end();
}

// Whether [at, at + bytes) lies in the arena clear of every reservation.
bool ArenaFree(std::uintptr_t at, std::size_t bytes) {
    const std::uintptr_t arenaEnd = g_arenaBase + kArenaBytes;
    if (!g_arenaBase || at < g_arenaBase || at >= arenaEnd || bytes > arenaEnd - at) return false;
    auto next = g_reservations.lower_bound(at);
    if (next != g_reservations.end() && next->first - at < bytes) return false;
    if (next == g_reservations.begin()) return true;
    const auto before = std::prev(next);
    return before->first + before->second.bytes <= at;
}

// The lowest free place in the arena for `bytes`, or 0.
std::uintptr_t ArenaPlace(std::size_t bytes) {
    if (!g_arenaTried) {
        g_arenaTried = true;
        void* arena = kArenaBytes ? mmap(nullptr, kArenaBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0)
                                  : MAP_FAILED;
        if (arena != MAP_FAILED) g_arenaBase = StepUp(reinterpret_cast<std::uintptr_t>(arena));
    }
    if (!g_arenaBase) return 0;
    std::uintptr_t at = g_arenaBase;
    for (auto it = g_reservations.lower_bound(g_arenaBase); it != g_reservations.end() && it->second.inArena; ++it) {
        if (it->first - at >= bytes) break;
        at = StepUp(it->first + it->second.bytes);
    }
    return ArenaFree(at, bytes) ? at : 0;
}

// A new reservation of `bytes` (rounded up to pages), at `wanted` when
// that is not null; null where there is no room.
void* Reserve(void* wanted, std::size_t bytes) {
    const std::size_t page = PageBytes();
    if (bytes > SIZE_MAX - page) return nullptr;
    bytes = (bytes + page - 1) / page * page;
    const PlatformObserver* observer = g_observer.load(std::memory_order_acquire);
    if (observer && observer->reservationFails(wanted, bytes)) return nullptr;

    std::uintptr_t base = 0;
    bool inArena = false;
    {
        std::lock_guard<std::mutex> lock(g_reservationLock);
        if (wanted) {
            // As Windows does, the address is taken down to a 64 KiB step.
            const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(wanted) / kReserveStep * kReserveStep;
            if (!ArenaFree(at, bytes)) return nullptr;
            base = at;
        } else {
            base = ArenaPlace(bytes);
        }
        inArena = base != 0;
        if (!base) {
            void* mapped = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (mapped == MAP_FAILED) return nullptr;
            base = reinterpret_cast<std::uintptr_t>(mapped);
        }
        g_reservations[base] = Reservation{bytes, std::vector<bool>(bytes / page), 0, inArena};
    }
    BlocksChanged(1);
    AddVirtualBytes(static_cast<std::int64_t>(bytes), 0);
    return reinterpret_cast<void*>(base);
}

// Makes the pages that [at, at + bytes) touches readable and writable;
// pages never committed before read as zero. Returns the first page, or
// null with the error code set.
void* Commit(void* at, std::size_t bytes) {
    const std::size_t page = PageBytes();
    const auto from = reinterpret_cast<std::uintptr_t>(at);
    std::lock_guard<std::mutex> lock(g_reservationLock);
    auto it = ReservationHolding(from, bytes);
    if (it == g_reservations.end()) {
        t_lastError = kInvalidAddress;
        return nullptr;
    }
    Reservation& range = it->second;
    const std::size_t first = (from - it->first) / page;
    const std::size_t end = (from - it->first + bytes + page - 1) / page;
    void* start = reinterpret_cast<void*>(it->first + first * page);
    if (mprotect(start, (end - first) * page, PROT_READ | PROT_WRITE) != 0) {
        t_lastError = kNotEnoughMemory;
        return nullptr;
    }
    std::size_t added = 0;
    for (std::size_t i = first; i < end; ++i) {
        if (range.committed[i]) continue;
        range.committed[i] = true;
        ++added;
    }
    range.committedPages += added;
    AddVirtualBytes(0, static_cast<std::int64_t>(added * page));
    return start;
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

// Reserves (MEM_RESERVE, anywhere or at a chosen address), commits within
// a reservation (MEM_COMMIT), or both at once. Only read-write commits are
// offered: that is all the plug-in asks for.
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    const DWORD kind = flAllocationType & (MEM_RESERVE | MEM_COMMIT);
    const bool reserves = (kind & MEM_RESERVE) != 0;
    if (dwSize == 0 || kind == 0 || kind != flAllocationType || (!reserves && !lpAddress) || (flProtect != PAGE_READWRITE && !(kind == MEM_RESERVE && flProtect == PAGE_NOACCESS))) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    if (NextAllocationFails()) {
        t_lastError = kNotEnoughMemory;
        return nullptr;
    }
    if (!reserves) return Commit(lpAddress, dwSize);

    void* base = Reserve(lpAddress, dwSize);
    if (!base) {
        t_lastError = lpAddress ? kInvalidAddress : kNotEnoughMemory;
        return nullptr;
    }
    if ((kind & MEM_COMMIT) && !Commit(base, dwSize)) {
        VirtualFree(base, 0, MEM_RELEASE);
        t_lastError = kNotEnoughMemory;
        return nullptr;
    }
    return base;
}

// Releases a whole reservation (MEM_RELEASE, from its base, size 0), its
// committed pages with it.
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    if (dwFreeType != MEM_RELEASE || dwSize != 0) {
        t_lastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    Reservation range;
    {
        std::lock_guard<std::mutex> lock(g_reservationLock);
        auto it = g_reservations.find(reinterpret_cast<std::uintptr_t>(lpAddress));
        if (it == g_reservations.end()) {
            t_lastError = kInvalidAddress;
            return FALSE;
        }
        range = std::move(it->second);
        g_reservations.erase(it);
    }
    if (range.inArena) {
        // Back to inaccessible arena space; the pages go with the old mapping.
        mmap(lpAddress, range.bytes, PROT_NONE, MAP_FIXED | MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    } else {
        munmap(lpAddress, range.bytes);
    }
    BlocksChanged(-1);
    AddVirtualBytes(-static_cast<std::int64_t>(range.bytes),
                    -static_cast<std::int64_t>(range.committedPages * PageBytes()));
    return TRUE;
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

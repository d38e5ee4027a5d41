#include "platform/linux/faults.h"

#include <atomic>
#include <mutex>
#include <unordered_map>

#include "platform/linux/observer.h"

namespace {

std::atomic<std::uint64_t> g_allocations{0};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::uint64_t> g_failAt{0};

std::atomic<std::uint64_t> g_liveBytes{0};
std::atomic<std::uint64_t> g_peakBytes{0};

std::atomic<std::int64_t> g_reservedBytes{0};
std::atomic<std::int64_t> g_committedBytes{0};
std::atomic<std::int64_t> g_peakCommittedBytes{0};

std::atomic<std::uint64_t> g_reservationLimit{0};
std::atomic<bool> g_addressTaken{false};

std::atomic<int> g_paletteReadLimit{-1};
std::atomic<bool> g_failPaletteCreation{false};

std::mutex g_paletteLock;
std::unordered_map<HPALETTE, unsigned> g_paletteModes;

// Counts one allocation and says whether it is to fail.
bool AllocationFails() {
    const std::uint64_t n = g_allocations.fetch_add(1) + 1;
    const std::uint64_t at = g_failAt.load();
    return at != 0 && n == at;
}

void BlocksChanged(int delta) { g_live.fetch_add(delta); }

void LocalBytesChanged(std::uint64_t added, std::uint64_t removed) {
    const std::uint64_t now = g_liveBytes.fetch_add(added - removed) + added - removed;
    std::uint64_t peak = g_peakBytes.load();
    while (now > peak && !g_peakBytes.compare_exchange_weak(peak, now)) {
    }
}

bool ReservationFails(const void* at, std::size_t bytes) {
    const std::uint64_t limit = g_reservationLimit.load();
    return (limit != 0 && bytes > limit) || (at && g_addressTaken.load());
}

void VirtualBytesChanged(std::int64_t reserved, std::int64_t committed) {
    g_reservedBytes.fetch_add(reserved);
    const std::int64_t now = g_committedBytes.fetch_add(committed) + committed;
    std::int64_t peak = g_peakCommittedBytes.load();
    while (now > peak && !g_peakCommittedBytes.compare_exchange_weak(peak, now)) {
    }
}

UINT PaletteReadLimit(UINT count) {
    const int limit = g_paletteReadLimit.load();
    return limit >= 0 && count > static_cast<UINT>(limit) ? static_cast<UINT>(limit) : count;
}

bool PaletteCreationFails() { return g_failPaletteCreation.load(); }

void PaletteCreated(HPALETTE palette, unsigned mode) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    g_paletteModes[palette] = mode;
}

void PaletteDeleted(HPALETTE palette) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    g_paletteModes.erase(palette);
}

constexpr PlatformObserver kObserver{AllocationFails,  BlocksChanged,       LocalBytesChanged,
                                     ReservationFails, VirtualBytesChanged, PaletteReadLimit,
                                     PaletteCreationFails, PaletteCreated,  PaletteDeleted};

// Linking this library in is what turns the controls on: the table is
// installed before main, ahead of anything the controls would count.
const bool g_installed = (PlatformSetObserver(&kObserver), true);

}  // namespace

namespace faults {

std::uint64_t AllocationCount() { return g_allocations.load(); }

std::int64_t LiveAllocations() { return g_live.load(); }

std::uint64_t LiveLocalBytes() { return g_liveBytes.load(); }

std::uint64_t PeakLocalBytes() { return g_peakBytes.load(); }

void ResetPeakLocalBytes() { g_peakBytes.store(g_liveBytes.load()); }

std::int64_t ReservedBytes() { return g_reservedBytes.load(); }

std::int64_t CommittedBytes() { return g_committedBytes.load(); }

std::int64_t PeakCommittedBytes() { return g_peakCommittedBytes.load(); }

void ResetPeakCommittedBytes() { g_peakCommittedBytes.store(g_committedBytes.load()); }

void FailNthAllocation(std::uint64_t n) { g_failAt.store(n == 0 ? 0 : g_allocations.load() + n); }

void SetReservationLimit(std::uint64_t bytes) { g_reservationLimit.store(bytes); }

void FailReservationsAtAnAddress(bool taken) { g_addressTaken.store(taken); }

void SetPaletteReadLimit(int limit) { g_paletteReadLimit.store(limit); }

void FailPaletteCreation(bool fail) { g_failPaletteCreation.store(fail); }

int LivePalettes() {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    return static_cast<int>(g_paletteModes.size());
}

unsigned PaletteMode(HPALETTE palette) {
    std::lock_guard<std::mutex> lock(g_paletteLock);
    const auto it = g_paletteModes.find(palette);
    return it == g_paletteModes.end() ? 0 : it->second;
}

void ResetFaults() {
    (void)g_installed;
    g_failAt.store(0);
    g_reservationLimit.store(0);
    g_addressTaken.store(false);
    g_paletteReadLimit.store(-1);
    g_failPaletteCreation.store(false);
}

}  // namespace faults

// Test controls over the Linux platform services: allocation counting and
// failure injection, and palette faults. They live in a test-only library
// that installs the platform's observer table when it is linked in; the
// plug-in and the products that host it never link it. Hosts and tests reach
// the same service instance the plug-in module uses, as a Windows host and
// its plug-ins share one kernel32 and gdi32.
#pragma once

#include <cstdint>

#include "oemdll/host/platform.h"

namespace faults {

// Every LocalAlloc, growing or shrinking LocalReAlloc, object allocation
// and VirtualAlloc call (a reservation or a commit) counts as one
// allocation.
std::uint64_t AllocationCount();
// Blocks, objects and reservations allocated and not yet freed.
std::int64_t LiveAllocations();
// Bytes of local memory held now, and the most held at once since the
// last ResetPeakLocalBytes.
std::uint64_t LiveLocalBytes();
std::uint64_t PeakLocalBytes();
void ResetPeakLocalBytes();
// Bytes of address space reserved with VirtualAlloc and not released, the
// bytes of it committed (whole pages), and the most committed at once
// since the last ResetPeakCommittedBytes.
std::int64_t ReservedBytes();
std::int64_t CommittedBytes();
std::int64_t PeakCommittedBytes();
void ResetPeakCommittedBytes();
// Makes the nth allocation from now fail (1 = the next one); 0 disarms.
void FailNthAllocation(std::uint64_t n);
// Makes every VirtualAlloc reservation larger than this many bytes fail,
// as in a crowded 32-bit address space; 0 lifts the limit.
void SetReservationLimit(std::uint64_t bytes);
// Makes every reservation at a chosen address fail while set, as when the
// address space right after a range is taken.
void FailReservationsAtAnAddress(bool taken);

// Limits what GetPaletteEntries copies: a negative limit copies normally,
// 0 makes every read fail, k > 0 copies at most k entries.
void SetPaletteReadLimit(int limit);
// Makes EngCreatePalette return a null handle while set.
void FailPaletteCreation(bool fail);
// Palettes created and not yet deleted.
int LivePalettes();
// The mode a palette was created with by EngCreatePalette (0 for CreatePalette).
unsigned PaletteMode(HPALETTE palette);

// Puts every control back to normal (counters keep counting).
void ResetFaults();

// Scope guard that undoes every fault when it ends.
struct FaultScope {
    FaultScope() = default;
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
    ~FaultScope() { ResetFaults(); }
};

}  // namespace faults

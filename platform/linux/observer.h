// Where a test watches and fails the platform's services. The services call
// these points only while a table is installed, which a product process
// never does; the controls that install one live in a test-only library
// (faults.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "oemdll/host/platform.h"

struct PlatformObserver {
    // Asked before every allocation (LocalAlloc, a growing or shrinking
    // LocalReAlloc, an object, a VirtualAlloc reservation or commit): true
    // makes it fail.
    bool (*allocationFails)();
    // A block, object or reservation was made (+1) or freed (-1).
    void (*blocksChanged)(int delta);
    // Bytes of local memory added and removed by one call.
    void (*localBytesChanged)(std::uint64_t added, std::uint64_t removed);
    // Whether a reservation of this many bytes (at this address, or null
    // for anywhere) finds no room.
    bool (*reservationFails)(const void* at, std::size_t bytes);
    // Bytes of address space reserved and committed that one VirtualAlloc
    // or VirtualFree added (positive) or returned (negative).
    void (*virtualBytesChanged)(std::int64_t reserved, std::int64_t committed);
    // How many of `count` palette entries a read may copy.
    UINT (*paletteReadLimit)(UINT count);
    bool (*paletteCreationFails)();
    void (*paletteCreated)(HPALETTE palette, unsigned mode);
    void (*paletteDeleted)(HPALETTE palette);
};

// Installs the table (null removes it). Every member must be set.
extern "C" __attribute__((visibility("default"))) void PlatformSetObserver(const PlatformObserver* observer);

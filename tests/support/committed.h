// What the system has committed of a range of address space: the same
// question for the tests and the Windows capture benchmark.
#pragma once

#include <cstdint>

#include "oemdll/host/services.h"
#ifndef _WIN32
#include "platform/linux/faults.h"
#endif

namespace testsupport {

// Bytes committed in the span of address space at `base`, as the system
// counts them. On Linux the test controls count every range the platform
// holds, which in these tests are the image's alone.
inline std::uint64_t CommittedBytes(const void* base, SIZE_T span) {
#ifdef _WIN32
    std::uint64_t committed = 0;
    const BYTE* at = static_cast<const BYTE*>(base);
    MEMORY_BASIC_INFORMATION info;
    const BYTE* const end = at + span;
    while (at < end && VirtualQuery(at, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT) committed += info.RegionSize;
        at = static_cast<const BYTE*>(info.BaseAddress) + info.RegionSize;
    }
    return committed;
#else
    (void)span;
    return base ? static_cast<std::uint64_t>(faults::CommittedBytes()) : 0;
#endif
}

}  // namespace testsupport

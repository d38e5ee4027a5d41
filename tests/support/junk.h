// Junk values that out-arguments are filled with before a call, so that a
// test can tell whether the call wrote them.
#pragma once

#include <cstdint>
#include <cstring>

namespace junk {

constexpr std::uint32_t kDword = 0xdeadbeef;

inline void* Pointer() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5555555555555555ULL)); }

template <typename T>
void Fill(T& value) {
    std::memset(static_cast<void*>(&value), 0x55, sizeof value);
}

}  // namespace junk

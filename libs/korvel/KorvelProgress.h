// Byte counts of any size, halved together until both fit the callback's
// 32-bit arguments; the ratio between them survives.
#pragma once

#include <cstdint>

namespace korvel {

inline void ScaleProgress(uint64_t nPosition, uint64_t nTotal, uint32_t& nPosition32, uint32_t& nTotal32) {
    while (nTotal > UINT32_MAX || nPosition > UINT32_MAX) {
        nTotal >>= 1;
        nPosition >>= 1;
    }
    nPosition32 = static_cast<uint32_t>(nPosition);
    nTotal32 = static_cast<uint32_t>(nTotal);
}

}  // namespace korvel

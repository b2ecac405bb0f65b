#include "libs/annexb/Units.h"

#include <cstring>

namespace annexb {

size_t FindStartCode(const uint8_t* p, size_t n) {
    // The 01 is rarer than the zeros: look for it and check what precedes it.
    size_t i = 2;
    while (i < n) {
        const void* hit = std::memchr(p + i, 1, n - i);
        if (!hit) return n;
        const size_t k = static_cast<size_t>(static_cast<const uint8_t*>(hit) - p);
        if (p[k - 1] == 0 && p[k - 2] == 0) return k - 2;
        i = k + 1;
    }
    return n;
}

void SplitUnits(const uint8_t* p, size_t n, std::vector<SUnit>& units) {
    size_t sc = FindStartCode(p, n);
    while (sc < n) {
        const size_t body = sc + 3;
        const size_t next = body + FindStartCode(p + body, n - body);
        size_t end = next;
        while (end > body && p[end - 1] == 0) --end;  // trailing zeros, or a 4-byte code's first
        if (end > body) units.push_back({static_cast<uint32_t>(body), static_cast<uint32_t>(end - body)});
        sc = next;
    }
}

void ToLengthPrefixed(const uint8_t* p, const SUnit* units, size_t count, std::vector<uint8_t>& out) {
    size_t total = 0;
    for (size_t i = 0; i < count; ++i) total += 4 + units[i].nSize;
    out.resize(total);
    uint8_t* o = out.data();
    for (size_t i = 0; i < count; ++i) {
        const uint32_t n = units[i].nSize;
        o[0] = static_cast<uint8_t>(n >> 24);
        o[1] = static_cast<uint8_t>(n >> 16);
        o[2] = static_cast<uint8_t>(n >> 8);
        o[3] = static_cast<uint8_t>(n);
        std::memcpy(o + 4, p + units[i].nOffset, n);
        o += 4 + n;
    }
}

}  // namespace annexb

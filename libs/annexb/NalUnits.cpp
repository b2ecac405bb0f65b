#include "libs/annexb/NalUnits.h"

#include <cstring>

namespace trelvo::nal {

int32_t StartCodeLength(const uint8_t* p, int32_t n) {
    if (p == nullptr || n < 3 || p[0] != 0 || p[1] != 0) return 0;
    if (p[2] == 1) return 3;
    if (n >= 4 && p[2] == 0 && p[3] == 1) return 4;
    return 0;
}

int32_t NextNalUnit(const uint8_t* p, int32_t n) {
    if (StartCodeLength(p, n) == 0) return 0;
    for (int32_t i = 3; i < n; ++i) {
        if (StartCodeLength(p + i, n - i) > 0) return i;
    }
    return n;
}

SNalUnit FindNalUnit(const uint8_t* p, int32_t n, int32_t nType, bool bHevc) {
    while (n > 0) {
        const int32_t nLen = NextNalUnit(p, n);
        if (nLen == 0) break;
        const int32_t nStart = StartCodeLength(p, n);
        if (nLen > nStart) {
            const uint8_t h = p[nStart];
            const int32_t nUnitType = bHevc ? (h >> 1) & 0x3F : h & 0x1F;
            if (nUnitType == nType) return SNalUnit{p, nLen, nStart};
        }
        p += nLen;
        n -= nLen;
    }
    return SNalUnit{};
}

namespace {

// Whether the pair of zeros at i, i+1 needs a 03 in front of p[i+2].
bool PairNeedsEscape(const uint8_t* p, int32_t n, int32_t i) {
    return i + 2 < n && p[i] == 0 && p[i + 1] == 0 && p[i + 2] <= 2;
}

}  // namespace

bool NeedsEscaping(const uint8_t* p, int32_t n) {
    if (p == nullptr || n <= 0) return false;
    for (int32_t i = StartCodeLength(p, n); i + 2 < n; ++i) {
        if (PairNeedsEscape(p, n, i)) return true;
    }
    return false;
}

int32_t EscapedSize(const uint8_t* p, int32_t n) {
    if (p == nullptr || n <= 0) return 0;
    int32_t nCount = 0;
    int32_t i = StartCodeLength(p, n);
    while (i + 2 < n) {
        if (PairNeedsEscape(p, n, i)) {
            ++nCount;
            i += 2;  // the byte after the inserted 03 starts a new run
        } else {
            ++i;
        }
    }
    return n + nCount;
}

int32_t EscapeNalUnit(const uint8_t* src, int32_t n, uint8_t* dst, int32_t nCapacity) {
    if (src == nullptr || dst == nullptr || n <= 0) return 0;
    if (nCapacity < EscapedSize(src, n)) return -2;
    const int32_t nStart = StartCodeLength(src, n);
    std::memcpy(dst, src, static_cast<size_t>(nStart));
    int32_t o = nStart;
    int32_t i = nStart;
    while (i < n) {
        if (PairNeedsEscape(src, n, i)) {
            dst[o++] = 0;
            dst[o++] = 0;
            dst[o++] = 3;
            i += 2;
        } else {
            dst[o++] = src[i++];
        }
    }
    return o;
}

}  // namespace trelvo::nal

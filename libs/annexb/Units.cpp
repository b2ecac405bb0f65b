#include "libs/annexb/Units.h"

#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace annexb {

namespace {

// A unit's size as the 4 big-endian bytes in front of it in a sample.
void PutSize(uint8_t* o, uint32_t n) {
    o[0] = static_cast<uint8_t>(n >> 24);
    o[1] = static_cast<uint8_t>(n >> 16);
    o[2] = static_cast<uint8_t>(n >> 8);
    o[3] = static_cast<uint8_t>(n);
}

}  // namespace

#if defined(__SSE2__)
namespace {

// The positions i in p[0..31] with p[i..i+2] == 00 00 01, as bits.
uint32_t Codes(const uint8_t* p) {
    const __m128i zero = _mm_setzero_si128();
    const __m128i one = _mm_set1_epi8(1);
    uint32_t bits = 0;
    for (int half = 0; half < 2; ++half) {
        const uint8_t* q = p + 16 * half;
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 1));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(q + 2));
        const __m128i codes =
            _mm_and_si128(_mm_and_si128(_mm_cmpeq_epi8(a, zero), _mm_cmpeq_epi8(b, zero)), _mm_cmpeq_epi8(c, one));
        bits |= static_cast<uint32_t>(_mm_movemask_epi8(codes)) << (16 * half);
    }
    return bits;
}

}  // namespace
#endif

size_t FindStartCode(const uint8_t* p, size_t n) {
    size_t i = 0;
#if defined(__SSE2__)
    // Start codes are rare: 32 positions are tested at once, and searched
    // only on a hit. A block reads two bytes past its last position.
    for (; n >= 34 && i <= n - 34; i += 32) {
        if (const uint32_t bits = Codes(p + i)) return i + static_cast<size_t>(__builtin_ctz(bits));
    }
#endif
    for (; i + 2 < n; ++i) {
        if (p[i + 2] == 1 && p[i + 1] == 0 && p[i] == 0) return i;
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
        PutSize(o, n);
        std::memcpy(o + 4, p + units[i].nOffset, n);
        o += 4 + n;
    }
}

size_t LengthPrefixInPlace(uint8_t* p, size_t n, const SUnit* units, size_t count) {
    size_t end = 0;
    for (size_t i = 0; i < count; ++i) {
        if (units[i].nOffset != end + 4 || units[i].nOffset > n || units[i].nSize > n - units[i].nOffset) return 0;
        end = size_t{units[i].nOffset} + units[i].nSize;
    }
    for (size_t i = 0; i < count; ++i) PutSize(p + units[i].nOffset - 4, units[i].nSize);
    return end;
}

}  // namespace annexb

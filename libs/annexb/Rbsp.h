// Bounded bit reader over an RBSP (emulation prevention already removed).
// Reading past the end yields zeros and sets a sticky failure flag, so
// callers can parse straight through and check once.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace annexb {

class CBitReader {
public:
    CBitReader(const uint8_t* data, size_t size) : m_data(data), m_bits(size * 8) {}

    bool Failed() const { return m_failed; }
    size_t BitsLeft() const { return m_pos < m_bits ? m_bits - m_pos : 0; }

    uint32_t Bit() {
        if (m_pos >= m_bits) {
            m_failed = true;
            return 0;
        }
        uint32_t b = (m_data[m_pos >> 3] >> (7 - (m_pos & 7))) & 1u;
        ++m_pos;
        return b;
    }

    // n <= 32.
    uint32_t Bits(unsigned n) {
        uint32_t v = 0;
        for (unsigned i = 0; i < n && i < 32; ++i) v = (v << 1) | Bit();
        return v;
    }

    void Skip(size_t n) {
        if (n > BitsLeft()) {
            m_failed = true;
            m_pos = m_bits;
            return;
        }
        m_pos += n;
    }

    // Exp-Golomb; codes longer than 32 bits are malformed here.
    uint32_t Ue() {
        unsigned zeros = 0;
        while (Bit() == 0) {
            if (m_failed || ++zeros > 31) {
                m_failed = true;
                return 0;
            }
        }
        if (zeros == 0) return 0;
        uint64_t v = (uint64_t{1} << zeros) - 1 + Bits(zeros);
        if (v > 0xFFFFFFFEu) {
            m_failed = true;
            return 0;
        }
        return static_cast<uint32_t>(v);
    }

    int32_t Se() {
        uint32_t k = Ue();
        // k <= 0xFFFFFFFE, so (k + 1) / 2 fits in int32 only up to 2^31-1.
        int64_t mag = (static_cast<int64_t>(k) + 1) / 2;
        if (mag > INT32_MAX) mag = INT32_MAX;
        return (k & 1u) ? static_cast<int32_t>(mag) : -static_cast<int32_t>(mag);
    }

private:
    const uint8_t* m_data;
    size_t m_bits;
    size_t m_pos = 0;
    bool m_failed = false;
};

// H.264 profiles whose sequence parameter set carries chroma_format_idc and
// the bit depths (the High family and its relatives).
inline bool SpsHasChromaFormat(unsigned profileIdc) {
    switch (profileIdc) {
        case 100:
        case 110:
        case 122:
        case 244:
        case 44:
        case 83:
        case 86:
        case 118:
        case 128:
        case 138:
        case 139:
        case 134:
        case 135:
            return true;
        default:
            return false;
    }
}

// Every profile_idc an H.264 stream may carry: Baseline, Main, Extended and the above.
inline bool IsKnownH264Profile(unsigned profileIdc) {
    return profileIdc == 66 || profileIdc == 77 || profileIdc == 88 || SpsHasChromaFormat(profileIdc);
}

// Strips emulation-prevention bytes (00 00 03 -> 00 00) from a NAL unit
// body, at most maxOut bytes of output.
std::vector<uint8_t> UnescapeRbsp(const uint8_t* p, size_t n, size_t maxOut);

}  // namespace annexb

// Writing H.264/H.265 syntax bit by bit, for parameter sets and slice
// headers the fixtures do not have.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace tessaro_test {

class BitWriter {
public:
    void bits(uint64_t v, unsigned n) {
        for (unsigned i = n; i-- > 0;) m_bits.push_back(static_cast<uint8_t>(i >= 64 ? 0 : (v >> i) & 1));
    }
    void ue(uint32_t v) {
        uint64_t x = uint64_t{v} + 1;
        unsigned len = 0;
        while ((x >> len) > 1) ++len;
        bits(0, len);
        bits(x, len + 1);
    }
    void se(int32_t v) { ue(v > 0 ? static_cast<uint32_t>(2 * v - 1) : static_cast<uint32_t>(-2 * int64_t{v})); }

    // Header bytes, then the escaped RBSP with its stop bit.
    std::vector<uint8_t> nal(std::initializer_list<uint8_t> header) {
        std::vector<uint8_t> b = m_bits;
        b.push_back(1);
        while (b.size() % 8) b.push_back(0);
        std::vector<uint8_t> out(header);
        int zeros = 0;
        for (size_t i = 0; i < b.size(); i += 8) {
            uint8_t byte = 0;
            for (size_t k = 0; k < 8; ++k) byte = static_cast<uint8_t>(byte << 1 | b[i + k]);
            if (zeros >= 2 && byte <= 3) {
                out.push_back(3);
                zeros = 0;
            }
            out.push_back(byte);
            zeros = byte == 0 ? zeros + 1 : 0;
        }
        return out;
    }

private:
    std::vector<uint8_t> m_bits;
};

struct H264Sps {
    unsigned profile = 100;
    unsigned chroma = 1;
    bool scaling = false;
    unsigned pocType = 0;
    bool frameMbsOnly = true;
    unsigned widthMbs = 20, heightUnits = 12;
    unsigned crop[4] = {0, 0, 0, 0};  // left right top bottom
    bool vui = true;
    bool timing = true;
    uint32_t units = 1, scale = 50;
    // Order count type 1.
    int32_t offsetNonRef = -3, offsetTopToBottom = 2;
    std::vector<int32_t> refCycle{1, -1, 5};
};

inline std::vector<uint8_t> makeH264Sps(const H264Sps& s) {
    BitWriter w;
    w.bits(s.profile, 8);
    w.bits(0, 8);
    w.bits(40, 8);
    w.ue(0);
    if (s.profile >= 100) {
        w.ue(s.chroma);
        if (s.chroma == 3) w.bits(0, 1);
        w.ue(0);
        w.ue(0);
        w.bits(0, 1);
        w.bits(s.scaling, 1);
        if (s.scaling) {
            for (int i = 0; i < (s.chroma == 3 ? 12 : 8); ++i) {
                bool present = i % 3 == 0;
                w.bits(present, 1);
                if (present) {
                    int size = i < 6 ? 16 : 64;
                    for (int j = 0; j < size; ++j)
                        w.se(j == 5 ? -8 : 1);  // next scale reaches 0 after a few coefficients
                }
            }
        }
    }
    w.ue(4);
    w.ue(s.pocType);
    if (s.pocType == 0) {
        w.ue(2);
    } else if (s.pocType == 1) {
        w.bits(0, 1);
        w.se(s.offsetNonRef);
        w.se(s.offsetTopToBottom);
        w.ue(static_cast<uint32_t>(s.refCycle.size()));
        for (int32_t d : s.refCycle) w.se(d);
    }
    w.ue(3);
    w.bits(0, 1);
    w.ue(s.widthMbs - 1);
    w.ue(s.heightUnits - 1);
    w.bits(s.frameMbsOnly, 1);
    if (!s.frameMbsOnly) w.bits(1, 1);
    w.bits(1, 1);
    bool crop = s.crop[0] || s.crop[1] || s.crop[2] || s.crop[3];
    w.bits(crop, 1);
    if (crop)
        for (unsigned c : s.crop) w.ue(c);
    w.bits(s.vui, 1);
    if (s.vui) {
        w.bits(1, 1);  // aspect ratio: extended SAR
        w.bits(255, 8);
        w.bits(4, 16);
        w.bits(3, 16);
        w.bits(0, 1);
        w.bits(1, 1);  // video signal type with colour description
        w.bits(5, 3);
        w.bits(0, 1);
        w.bits(1, 1);
        w.bits(0x010101, 24);
        w.bits(0, 1);
        w.bits(s.timing, 1);
        if (s.timing) {
            w.bits(s.units, 32);
            w.bits(s.scale, 32);
            w.bits(1, 1);
        }
        w.bits(0, 5);  // no HRD, no structure flags
    }
    return w.nal({0x67});
}

}  // namespace tessaro_test

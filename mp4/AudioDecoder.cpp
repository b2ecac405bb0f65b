#include "AudioDecoder.h"

#include <array>
#include <cstring>

namespace {

constexpr int16_t ExpandALaw(uint8_t a) {
    const int b = a ^ 0x55;
    int t = (b & 0x0F) << 4;
    const int s = (b & 0x70) >> 4;
    if (s == 0)
        t += 8;
    else if (s == 1)
        t += 0x108;
    else
        t = (t + 0x108) << (s - 1);
    return static_cast<int16_t>((b & 0x80) ? t : -t);
}

constexpr int16_t ExpandMuLaw(uint8_t u) {
    // The two codes the rule maps to 0 keep their sign instead.
    if (u == 0x7F) return -2;
    if (u == 0xFF) return 2;
    const int b = u ^ 0xFF;
    const int t = (((b & 0x0F) << 3) + 0x84) << ((b & 0x70) >> 4);
    return static_cast<int16_t>((b & 0x80) ? 0x84 - t : t - 0x84);
}

template <int16_t (*Expand)(uint8_t)>
constexpr std::array<int16_t, 256> MakeTable() {
    std::array<int16_t, 256> table{};
    for (int i = 0; i < 256; ++i) table[static_cast<size_t>(i)] = Expand(static_cast<uint8_t>(i));
    return table;
}

constexpr std::array<int16_t, 256> kALaw = MakeTable<ExpandALaw>();
constexpr std::array<int16_t, 256> kMuLaw = MakeTable<ExpandMuLaw>();

// Payload limits per treatment (exclusive bounds unless noted).
constexpr uint32_t kG711Limit = 1536;
constexpr uint32_t kCopyLimit = 3072;
constexpr uint32_t kEightBitMax = 3072;  // inclusive

uint32_t ExpandTable(const std::array<int16_t, 256>& table, const uint8_t* pSrc, uint32_t nLen, uint8_t* pDest) {
    for (uint32_t i = 0; i < nLen; ++i) {
        const int16_t v = table[pSrc[i]];
        std::memcpy(pDest + 2 * static_cast<size_t>(i), &v, sizeof v);
    }
    return 2 * nLen;
}

}  // namespace

int16_t CAudioDecoder::ALawToLinear(uint8_t a) {
    return kALaw[a];
}

int16_t CAudioDecoder::MuLawToLinear(uint8_t u) {
    return kMuLaw[u];
}

uint32_t CAudioDecoder::Decode(const uint8_t* pSrc, uint32_t nLen, uint8_t* pDest, uint32_t nDestSize, int32_t nCodec,
                               uint32_t /*nSampleRate*/) const {
    if (pSrc == nullptr || pDest == nullptr || nLen == 0) return 0;
    switch (nCodec) {
        case 9:
        case 11:
        case 13:
            return 0;
        case 10:
        case 22:
        case 14:
            if (nLen >= kG711Limit || 2 * nLen > nDestSize) return 0;
            return ExpandTable(nCodec == 14 ? kALaw : kMuLaw, pSrc, nLen, pDest);
        case 12: {
            // Whole 16-bit samples only: an odd trailing byte would shift every
            // later sample by one byte.
            const uint32_t nBytes = nLen & ~1u;
            if (nBytes > nDestSize) return 0;
            std::memcpy(pDest, pSrc, nBytes);
            return nBytes;
        }
        case 15:
        case 30:
            if (nLen >= kCopyLimit || nLen > nDestSize) return 0;
            std::memcpy(pDest, pSrc, nLen);
            return nLen;
        default:
            if (nLen > kEightBitMax || nLen > nDestSize) return 0;
            for (uint32_t i = 0; i < nLen; ++i) pDest[i] = static_cast<uint8_t>(pSrc[i] + 128);
            return nLen;
    }
}

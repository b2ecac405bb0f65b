// The one home of Annex-B byte streams for the parser, the MP4 writer and the
// AVI library: finding start codes, the units of a payload, and the
// length-prefixed form an MP4 sample holds.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace annexb {

enum class ECodec { H264, H265 };

// Offset of the first 00 00 01 at or after p[0], or n when there is none.
size_t FindStartCode(const uint8_t* p, size_t n);

// One unit of a payload: its bytes after the start code, without the zero
// bytes that may trail it before the next start code.
struct SUnit {
    uint32_t nOffset = 0;
    uint32_t nSize = 0;
};

// Every unit of an Annex-B payload, in order (bytes before the first start
// code are no unit). Appends to units.
void SplitUnits(const uint8_t* p, size_t n, std::vector<SUnit>& units);

// The unit type from the first header byte.
inline int UnitType(ECodec codec, uint8_t header) {
    return codec == ECodec::H265 ? (header >> 1) & 0x3F : header & 0x1F;
}

// H.264 SPS/PPS, H.265 VPS/SPS/PPS.
inline bool IsParameterSet(ECodec codec, int type) {
    return codec == ECodec::H265 ? type >= 32 && type <= 34 : type == 7 || type == 8;
}

// The units one after another, each behind its size as 4 big-endian bytes
// (an MP4 sample). out is replaced.
void ToLengthPrefixed(const uint8_t* p, const SUnit* units, size_t count, std::vector<uint8_t>& out);

// The same form made where the payload lies, when it can be: when every unit
// follows the one before (or the payload's start) by exactly four bytes, those
// become its size. The sample's length, or 0 with nothing changed.
size_t LengthPrefixInPlace(uint8_t* p, size_t n, const SUnit* units, size_t count);

}  // namespace annexb

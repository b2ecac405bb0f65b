// Walking Annex-B payloads unit by unit and escaping parameter sets.
// Positions and lengths are signed 32-bit; a unit always includes its start code.
#pragma once

#include <cstdint>

namespace trelvo::nal {

// 3 for 00 00 01, 4 for 00 00 00 01 at p, otherwise 0.
int32_t StartCodeLength(const uint8_t* p, int32_t n);

// Length of the unit that starts at p (up to the next start code or n);
// 0 when p does not begin with a start code.
int32_t NextNalUnit(const uint8_t* p, int32_t n);

struct SNalUnit {
    const uint8_t* pData = nullptr;  // start code included
    int32_t nLen = 0;                // 0 when not found
    int32_t nStartCodeLen = 0;
};

// First unit of the given type, walking from p; H.265 types when bHevc.
SNalUnit FindNalUnit(const uint8_t* p, int32_t n, int32_t nType, bool bHevc);

// True when a 00 00 pair after the start code is followed by 00, 01 or 02,
// i.e. the unit carries a pattern that must be escaped in a bitstream.
bool NeedsEscaping(const uint8_t* p, int32_t n);

// Size of the unit after EscapeNalUnit.
int32_t EscapedSize(const uint8_t* p, int32_t n);

// Copies the unit to dst, inserting 03 after every 00 00 pair that is
// followed by 00, 01 or 02. Pairs already followed by 03 stay as they are, so
// escaping an escaped unit changes nothing. Returns the bytes written, 0 for
// empty input, -2 when nCapacity is too small (nothing is written then).
int32_t EscapeNalUnit(const uint8_t* src, int32_t n, uint8_t* dst, int32_t nCapacity);

}  // namespace trelvo::nal

// The PES packet header, shared by the program and the transport stream.
#pragma once

#include "VideoAssembler.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>

namespace tessaro {

// A 33-bit time stamp as PES headers write it (5 bytes with marker bits).
uint64_t readPesTime(const uint8_t* b);

// h points at 00 00 01 id with have bytes of the header at hand; length is
// the packet's length field (0: unbounded). Reads the MPEG-2 or MPEG-1 header
// form; false when its bits are broken. headerEnd: offset of the payload.
bool parsePesHeader(const uint8_t* h, size_t have, size_t length, size_t& headerEnd, Stamp& stamp);

// Bytes of the header to gather before parsePesHeader can judge it, given
// its first 9 bytes (at least) and the length field.
constexpr size_t kMpeg1PesPeek = 28;  // stuffing, buffer size and time stamps
inline size_t pesHeaderWant(const uint8_t* h, size_t length) {
    const bool mpeg2 = (h[6] & 0xC0) == 0x80;
    size_t want = mpeg2 ? 9 + size_t{h[8]} : 6 + std::min(length ? length : kMpeg1PesPeek, kMpeg1PesPeek);
    if (length != 0 && want > 6 + length) want = 6 + length;
    return want;
}

}  // namespace tessaro

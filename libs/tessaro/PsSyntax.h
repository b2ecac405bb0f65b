// Recognising program-stream packet headers from their first bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro {

constexpr uint8_t kPackCode = 0xBA;
constexpr uint8_t kSystemHeaderCode = 0xBB;
constexpr uint8_t kStreamMapCode = 0xBC;
constexpr uint8_t kEndCode = 0xB9;

inline bool isVideoStreamId(uint8_t id) {
    return id >= 0xE0 && id <= 0xEF;
}
inline bool isAudioStreamId(uint8_t id) {
    return id >= 0xC0 && id <= 0xDF;
}

constexpr uint8_t kPrivateStream1 = 0xBD;

// p points at 00 00 01 xx of a PES packet: 1 when its header's fixed bits
// are right, 0 when not, -1 when more bytes are needed.
inline int plausiblePesHeader(const uint8_t* p, size_t avail) {
    if (avail < 9) return -1;
    if ((p[6] & 0xC0) == 0x80)  // MPEG-2 PES header
        return (p[4] | p[5]) == 0 || (size_t{p[4]} << 8 | p[5]) >= size_t{3} + p[8] ? 1 : 0;
    // MPEG-1 PES header: stuffing, buffer size or time stamp marker.
    return p[6] == 0xFF || (p[6] & 0xC0) == 0x40 || (p[6] & 0xE0) == 0x20 || p[6] == 0x0F ? 1 : 0;
}

// Bytes needed after 00 00 01 xx to judge a header with plausibleHeader.
constexpr size_t kPlausibleBytes = 14;

// p points at 00 00 01 xx. 1: a pack, system header, map or audio/video PES
// header whose fixed bits are right; 0: not one; -1: more bytes needed.
// Used to tell a program stream from an elementary one and to resynchronise
// after junk, so private and padding packets do not count.
inline int plausibleHeader(const uint8_t* p, size_t avail) {
    if (avail < 4) return -1;
    uint8_t code = p[3];
    if (code == kPackCode) {
        if (avail < 5) return -1;
        if ((p[4] & 0xC0) == 0x40) {
            if (avail < 14) return -1;
            return (p[4] & 0x04) && (p[6] & 0x04) && (p[8] & 0x04) && (p[9] & 0x01) && (p[12] & 0x03) == 0x03 ? 1 : 0;
        }
        if ((p[4] & 0xF0) == 0x20) {
            if (avail < 12) return -1;
            return (p[4] & 0x01) && (p[6] & 0x01) && (p[8] & 0x01) && (p[9] & 0x80) && (p[11] & 0x01) ? 1 : 0;
        }
        return 0;
    }
    if (isVideoStreamId(code) || isAudioStreamId(code)) return plausiblePesHeader(p, avail);
    if (code == kSystemHeaderCode) {
        if (avail < 7) return -1;
        return (p[6] & 0x80) ? 1 : 0;
    }
    if (code == kStreamMapCode) {
        if (avail < 8) return -1;
        return (p[7] & 0x01) ? 1 : 0;
    }
    return 0;
}

}  // namespace tessaro

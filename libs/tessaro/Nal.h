// What the first bytes of an H.264/H.265 unit say about it, and the start
// codes that mark video this parser does not read.
#pragma once

#include <cstddef>
#include <cstdint>

#include "libs/annexb/Rbsp.h"

namespace tessaro {

enum class Codec { Unknown, H264, H265, Mpeg2, Mpeg4, Other };

inline bool isParsed(Codec c) {
    return c == Codec::H264 || c == Codec::H265;
}

struct NalClass {
    int type = -1;
    bool vcl = false;
    bool firstSlice = false;  // first slice of its picture
    bool startsAu = false;    // begins a new access unit when it follows a slice
    bool key = false;
    bool isAud = false;
    bool ignore = false;  // higher layers: never cut a picture on these
};

// Header bytes looked at before a unit is classified.
constexpr size_t kNalPeekBytes = 6;

// h points at the NAL header; kNalPeekBytes are readable.
inline NalClass classify(Codec codec, const uint8_t* h) {
    NalClass c;
    if (codec == Codec::H264) {
        c.type = h[0] & 0x1F;
        switch (c.type) {
            case 1:
            case 2:
            case 5:
                c.vcl = true;
                c.firstSlice = (h[1] & 0x80) != 0;  // first_mb_in_slice == 0
                c.key = c.type == 5;
                break;
            case 6:
            case 7:
            case 8:
            case 15:
            case 16:
            case 17:
            case 18:
                c.startsAu = true;
                break;
            case 9:
                c.startsAu = true;
                c.isAud = true;
                break;
            default:
                break;
        }
    } else {
        c.type = (h[0] >> 1) & 0x3F;
        unsigned layer = ((h[0] & 1u) << 5) | (h[1] >> 3);
        if (layer != 0) {
            c.ignore = true;
            return c;
        }
        if (c.type <= 31) {
            c.vcl = true;
            c.firstSlice = (h[2] & 0x80) != 0;  // first_slice_segment_in_pic_flag
            c.key = c.type >= 16 && c.type <= 21;
        } else if (c.type == 35) {
            c.startsAu = true;
            c.isAud = true;
        } else if ((c.type >= 32 && c.type <= 34) || c.type == 39 || (c.type >= 41 && c.type <= 44) ||
                   (c.type >= 48 && c.type <= 55)) {
            c.startsAu = true;
        }
    }
    return c;
}

// A parameter set of the other codec, by a signature neither codec's own
// units show: an H.265 video parameter set (header 40 01, reserved 0xFFFF)
// in H.264, where it would be a unit of unspecified type; an H.264 sequence
// parameter set (a known profile, reserved bits clear, a level) in H.265,
// where it would belong to a layer no recorder writes.
inline Codec foreignParamSet(Codec codec, const uint8_t* h) {
    if (codec == Codec::H264 && h[0] == 0x40 && h[1] == 0x01 && h[4] == 0xFF && h[5] == 0xFF) return Codec::H265;
    if (codec == Codec::H265 && (h[0] & 0x9F) == 0x07 && (h[0] & 0x60) != 0 && annexb::IsKnownH264Profile(h[1]) &&
        (h[2] & 0x03) == 0 && h[3] != 0 && h[3] <= 62)
        return Codec::H264;
    return Codec::Unknown;
}

// Start codes no H.264/H.265 unit has (the forbidden bit is set): MPEG-1/2
// sequence, GOP and end codes; MPEG-4 Visual object sequence and plane codes.
inline Codec codecOfStartCode(uint8_t code) {
    switch (code) {
        case 0xB3:
        case 0xB7:
        case 0xB8:
            return Codec::Mpeg2;
        case 0xB0:
        case 0xB1:
        case 0xB6:
            return Codec::Mpeg4;
        default:
            return Codec::Unknown;
    }
}

// Codes that follow a sequence, group, object or plane start code of such
// video: extensions, user data, pictures, groups and planes.
inline bool continuesUnreadVideo(uint8_t code) {
    return code == 0x00 || code == 0xB2 || code == 0xB3 || code == 0xB5 || code == 0xB6 || code == 0xB8 ||
           code == 0xB0 || code == 0xB1;
}

// s points at a start code with avail bytes from it (at least 5): the
// video it marks when that is one of those. MPEG-4 Visual also shows as an
// object start code right before a layer start code.
inline Codec unreadVideoAt(const uint8_t* s, size_t avail) {
    if (s[3] == 0x00 && avail >= 8 && s[4] == 0 && s[5] == 0 && s[6] == 1 && (s[7] & 0xF0) == 0x20) return Codec::Mpeg4;
    return codecOfStartCode(s[3]);
}

}  // namespace tessaro

// What the parser needs from H.264/H.265 parameter sets: picture size after
// cropping and the frame rate from the timing information.
#pragma once

#include "FrameRate.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace tessaro {

// What the picture order count needs from a sequence parameter set.
struct SeqOrder {
    unsigned id = 0;
    unsigned chromaArrayType = 1;
    unsigned log2MaxPocLsb = 4;
    // H.264 only.
    unsigned pocType = 0;
    bool deltaPicOrderAlwaysZero = false;
    int32_t offsetForNonRefPic = 0;
    int32_t offsetForTopToBottomField = 0;
    std::vector<int32_t> offsetForRefFrame;
};

struct SeqInfo {
    int width = 0;     // cropped luma width
    int height = 0;    // cropped luma height
    unsigned fps = 0;  // 0 when the stream carries no usable timing
    FrameRate rate;    // the exact rate behind fps
    // Most pictures that precede any picture in decoding order and follow it
    // in output order, -1 when the set does not say.
    int reorder = -1;
    unsigned profile = 0;
    unsigned maxRefFrames = 0;
    // H.264 slice-header layout, for pairing the two fields of a frame.
    bool frameMbsOnly = true;
    bool separateColourPlane = false;
    unsigned log2MaxFrameNum = 4;
    SeqOrder order;
};

// The parts of an H.264 slice header that tell which frame a field
// belongs to. body starts right after the NAL header byte.
struct SliceFieldInfo {
    bool valid = false;
    bool field = false;
    bool bottom = false;
    uint32_t frameNum = 0;
};
SliceFieldInfo parseH264SliceField(const uint8_t* body, size_t size, const SeqInfo& seq);

// time_scale / (divisor * num_units_in_tick), rounded; 0 if out of range.
unsigned rateFromTiming(uint32_t numUnitsInTick, uint32_t timeScale, unsigned divisor);

// Each takes the NAL unit from its header byte on (no start code) and
// returns false when the unit is too damaged to give a picture size.
bool parseH264Sps(const uint8_t* nal, size_t size, SeqInfo& out);
bool parseH265Sps(const uint8_t* nal, size_t size, SeqInfo& out);
// Frame rate from the H.265 video parameter set's timing, unknown if none.
FrameRate parseH265VpsTiming(const uint8_t* nal, size_t size);
inline unsigned parseH265VpsRate(const uint8_t* nal, size_t size) {
    return roundedRate(parseH265VpsTiming(nal, size));
}

}  // namespace tessaro

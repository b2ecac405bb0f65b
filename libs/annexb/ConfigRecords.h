// A key frame's parameter sets, and the forms a container wants them in: back
// to back behind start codes (AVI, an Annex-B track), or the decoder
// configuration records of an MP4 sample entry (avcC, hvcC).
#pragma once

#include <cstdint>
#include <vector>

#include "libs/annexb/Units.h"

namespace annexb {

// Unit bodies without start codes, each kind in the order met, no repeats.
struct SParameterSets {
    std::vector<std::vector<uint8_t>> vps;  // H.265 only
    std::vector<std::vector<uint8_t>> sps;
    std::vector<std::vector<uint8_t>> pps;

    bool Complete(ECodec codec) const {
        return !sps.empty() && !pps.empty() && (codec == ECodec::H264 || !vps.empty());
    }
};

// The parameter sets among a payload's units. H.265 sets that hold a pattern
// a bitstream may not hold get their emulation prevention mended.
SParameterSets CollectParameterSets(ECodec codec, const uint8_t* p, const SUnit* units, size_t count);

// VPS, SPS, PPS back to back, each behind 00 00 00 01.
std::vector<uint8_t> AnnexBExtradata(const SParameterSets& sets);

// The AVC decoder configuration record (four-byte unit sizes); empty without
// an SPS and a PPS, or when the SPS cannot be read.
std::vector<uint8_t> BuildAvcC(const SParameterSets& sets);

// The HEVC decoder configuration record (four-byte unit sizes; the arrays
// marked as not complete, for the samples repeat the sets); empty without a
// VPS, an SPS and a PPS, or when the SPS cannot be read.
std::vector<uint8_t> BuildHvcC(const SParameterSets& sets);

}  // namespace annexb

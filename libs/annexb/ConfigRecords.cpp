#include "libs/annexb/ConfigRecords.h"

#include <algorithm>

#include "libs/annexb/NalUnits.h"
#include "libs/annexb/Rbsp.h"

namespace annexb {

namespace {

constexpr size_t kMaxRbsp = 4096;
constexpr size_t kMaxEscaped = 512;

void AddOnce(std::vector<std::vector<uint8_t>>& list, std::vector<uint8_t> unit) {
    if (std::find(list.begin(), list.end(), unit) == list.end()) list.push_back(std::move(unit));
}

// A set from a bitstream is escaped already; this mends one that holds a
// forbidden pattern, when the result stays small.
std::vector<uint8_t> Escaped(const uint8_t* body, size_t n) {
    std::vector<uint8_t> unit = {0, 0, 0, 1};
    unit.insert(unit.end(), body, body + n);
    const auto nLen = static_cast<int32_t>(unit.size());
    uint8_t escaped[kMaxEscaped];
    if (n > kMaxEscaped || !trelvo::nal::NeedsEscaping(unit.data(), nLen)) return {body, body + n};
    const int32_t nOut = trelvo::nal::EscapeNalUnit(unit.data(), nLen, escaped, kMaxEscaped);
    if (nOut <= 4) return {body, body + n};
    return {escaped + 4, escaped + nOut};
}

void PutSized(std::vector<uint8_t>& out, const std::vector<uint8_t>& unit) {
    out.push_back(static_cast<uint8_t>(unit.size() >> 8));
    out.push_back(static_cast<uint8_t>(unit.size()));
    out.insert(out.end(), unit.begin(), unit.end());
}

struct SAvcFormat {
    unsigned chroma = 1;
    unsigned lumaDepth = 8;
    unsigned chromaDepth = 8;
};

bool ReadAvcFormat(const std::vector<uint8_t>& sps, SAvcFormat& f) {
    if (sps.size() < 4) return false;
    const std::vector<uint8_t> rbsp = UnescapeRbsp(sps.data() + 1, sps.size() - 1, kMaxRbsp);
    CBitReader br(rbsp.data(), rbsp.size());
    const unsigned profile = br.Bits(8);
    br.Bits(16);  // constraint flags, level
    br.Ue();      // seq_parameter_set_id
    if (SpsHasChromaFormat(profile)) {
        f.chroma = br.Ue();
        if (f.chroma == 3) br.Bit();  // separate_colour_plane_flag
        f.lumaDepth = br.Ue() + 8;
        f.chromaDepth = br.Ue() + 8;
    }
    return !br.Failed() && f.chroma <= 3 && f.lumaDepth <= 14 && f.chromaDepth <= 14;
}

struct SHevcFormat {
    uint8_t ptl[12] = {};  // general profile space .. level, as the SPS codes them
    unsigned subLayers = 1;
    bool temporalIdNested = false;
    unsigned chroma = 1;
    unsigned lumaDepth = 8;
    unsigned chromaDepth = 8;
};

bool ReadHevcFormat(const std::vector<uint8_t>& sps, SHevcFormat& f) {
    if (sps.size() < 16) return false;
    const std::vector<uint8_t> rbsp = UnescapeRbsp(sps.data() + 2, sps.size() - 2, kMaxRbsp);
    CBitReader br(rbsp.data(), rbsp.size());
    br.Bits(4);  // sps_video_parameter_set_id
    const unsigned maxSubLayersMinus1 = br.Bits(3);
    f.subLayers = maxSubLayersMinus1 + 1;
    f.temporalIdNested = br.Bit() != 0;
    // General profile space, tier, profile, compatibility and constraint
    // flags and level: 96 bits that go into the record as they are.
    for (uint8_t& b : f.ptl) b = static_cast<uint8_t>(br.Bits(8));
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = br.Bit() != 0;
        levelPresent[i] = br.Bit() != 0;
    }
    if (maxSubLayersMinus1 > 0)
        for (unsigned i = maxSubLayersMinus1; i < 8; ++i) br.Skip(2);
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) br.Skip(88);
        if (levelPresent[i]) br.Skip(8);
    }
    if (br.Ue() > 15) return false;  // sps_seq_parameter_set_id
    f.chroma = br.Ue();
    if (f.chroma == 3) br.Bit();
    br.Ue();         // pic_width_in_luma_samples
    br.Ue();         // pic_height_in_luma_samples
    if (br.Bit()) {  // conformance_window_flag
        for (int i = 0; i < 4; ++i) br.Ue();
    }
    f.lumaDepth = br.Ue() + 8;
    f.chromaDepth = br.Ue() + 8;
    return !br.Failed() && maxSubLayersMinus1 <= 6 && f.chroma <= 3 && f.lumaDepth <= 16 && f.chromaDepth <= 16;
}

}  // namespace

SParameterSets CollectParameterSets(ECodec codec, const uint8_t* p, const SUnit* units, size_t count) {
    SParameterSets sets;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t* body = p + units[i].nOffset;
        const size_t n = units[i].nSize;
        if (n < 2) continue;
        const int type = UnitType(codec, body[0]);
        if (!IsParameterSet(codec, type)) continue;
        std::vector<uint8_t> unit = codec == ECodec::H265 ? Escaped(body, n) : std::vector<uint8_t>(body, body + n);
        if (codec == ECodec::H265) {
            AddOnce(type == 32 ? sets.vps : type == 33 ? sets.sps : sets.pps, std::move(unit));
        } else {
            AddOnce(type == 7 ? sets.sps : sets.pps, std::move(unit));
        }
    }
    return sets;
}

std::vector<uint8_t> AnnexBExtradata(const SParameterSets& sets) {
    std::vector<uint8_t> out;
    for (const auto* list : {&sets.vps, &sets.sps, &sets.pps}) {
        for (const std::vector<uint8_t>& unit : *list) {
            out.insert(out.end(), {0, 0, 0, 1});
            out.insert(out.end(), unit.begin(), unit.end());
        }
    }
    return out;
}

std::vector<uint8_t> BuildAvcC(const SParameterSets& sets) {
    SAvcFormat f;
    if (sets.sps.empty() || sets.pps.empty() || sets.sps.size() > 31 || sets.pps.size() > 255 ||
        !ReadAvcFormat(sets.sps[0], f))
        return {};
    const std::vector<uint8_t>& sps = sets.sps[0];
    std::vector<uint8_t> out = {1, sps[1], sps[2], sps[3], 0xFF, static_cast<uint8_t>(0xE0 | sets.sps.size())};
    for (const std::vector<uint8_t>& unit : sets.sps) PutSized(out, unit);
    out.push_back(static_cast<uint8_t>(sets.pps.size()));
    for (const std::vector<uint8_t>& unit : sets.pps) PutSized(out, unit);
    if (SpsHasChromaFormat(sps[1])) {
        out.push_back(static_cast<uint8_t>(0xFC | f.chroma));
        out.push_back(static_cast<uint8_t>(0xF8 | (f.lumaDepth - 8)));
        out.push_back(static_cast<uint8_t>(0xF8 | (f.chromaDepth - 8)));
        out.push_back(0);  // no SPS extensions
    }
    return out;
}

std::vector<uint8_t> BuildHvcC(const SParameterSets& sets) {
    SHevcFormat f;
    if (!sets.Complete(ECodec::H265) || !ReadHevcFormat(sets.sps[0], f)) return {};
    std::vector<uint8_t> out = {1};
    out.insert(out.end(), f.ptl, f.ptl + 12);
    out.push_back(0xF0);  // min_spatial_segmentation_idc 0: not stated
    out.push_back(0x00);
    out.push_back(0xFC);  // parallelismType 0: not stated
    out.push_back(static_cast<uint8_t>(0xFC | f.chroma));
    out.push_back(static_cast<uint8_t>(0xF8 | (f.lumaDepth - 8)));
    out.push_back(static_cast<uint8_t>(0xF8 | (f.chromaDepth - 8)));
    out.push_back(0);  // avgFrameRate: not stated
    out.push_back(0);
    // constantFrameRate 0, numTemporalLayers, temporalIdNested, four-byte sizes.
    out.push_back(static_cast<uint8_t>((f.subLayers << 3) | (f.temporalIdNested ? 4 : 0) | 3));
    out.push_back(3);  // arrays: VPS, SPS, PPS
    const std::pair<int, const std::vector<std::vector<uint8_t>>*> arrays[] = {
        {32, &sets.vps}, {33, &sets.sps}, {34, &sets.pps}};
    for (const auto& [type, list] : arrays) {
        if (list->size() > 0xFFFF) return {};
        // Not complete: the samples carry the sets again in front of key frames.
        out.push_back(static_cast<uint8_t>(type));
        out.push_back(static_cast<uint8_t>(list->size() >> 8));
        out.push_back(static_cast<uint8_t>(list->size()));
        for (const std::vector<uint8_t>& unit : *list) {
            if (unit.size() > 0xFFFF) return {};
            PutSized(out, unit);
        }
    }
    return out;
}

}  // namespace annexb

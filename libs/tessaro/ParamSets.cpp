#include "ParamSets.h"

#include "libs/annexb/Rbsp.h"

#include <cmath>

namespace tessaro {

using annexb::CBitReader;
using annexb::UnescapeRbsp;

namespace {

// Parameter sets are small; anything past this is not needed for the fields we read.
constexpr size_t kMaxRbsp = 4096;

void skipH264ScalingList(CBitReader& br, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !br.Failed(); ++j) {
        if (next != 0) {
            int32_t delta = br.Se();
            next = static_cast<int>((last + static_cast<int64_t>(delta) + 256) % 256);
        }
        last = next == 0 ? last : next;
    }
}

void skipProfileTierLevel(CBitReader& br, unsigned maxSubLayersMinus1) {
    br.Skip(88);  // general profile space .. general flags
    br.Skip(8);   // general_level_idc
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = br.Bit();
        levelPresent[i] = br.Bit();
    }
    if (maxSubLayersMinus1 > 0)
        for (unsigned i = maxSubLayersMinus1; i < 8; ++i) br.Skip(2);
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i]) br.Skip(88);
        if (levelPresent[i]) br.Skip(8);
    }
}

void skipH265ScalingListData(CBitReader& br) {
    for (int sizeId = 0; sizeId < 4; ++sizeId) {
        for (int matrixId = 0; matrixId < 6; matrixId += (sizeId == 3) ? 3 : 1) {
            if (br.Failed()) return;
            if (!br.Bit()) {
                br.Ue();  // pred_matrix_id_delta
            } else {
                int coefNum = 64 < (1 << (4 + (sizeId << 1))) ? 64 : (1 << (4 + (sizeId << 1)));
                if (sizeId > 1) br.Se();  // dc coefficient
                for (int i = 0; i < coefNum && !br.Failed(); ++i) br.Se();
            }
        }
    }
}

// Returns false on malformed sets; numDeltaPocs carries each set's size for
// the sets predicted from it.
bool skipShortTermRps(CBitReader& br, unsigned idx, const unsigned* numDeltaPocs, unsigned& outCount) {
    bool interPred = idx != 0 && br.Bit();
    if (interPred) {
        br.Bit();                // delta_rps_sign
        br.Ue();                 // abs_delta_rps_minus1
        unsigned ref = idx - 1;  // delta_idx_minus1 is only coded in slice headers
        unsigned count = 0;
        for (unsigned j = 0; j <= numDeltaPocs[ref] && !br.Failed(); ++j) {
            bool used = br.Bit();
            bool useDelta = used ? true : br.Bit();
            if (used || useDelta) ++count;
        }
        outCount = count > 32 ? 32 : count;
    } else {
        uint32_t neg = br.Ue();
        uint32_t pos = br.Ue();
        if (neg > 16 || pos > 16) return false;
        for (uint32_t i = 0; i < neg + pos && !br.Failed(); ++i) {
            br.Ue();
            br.Bit();
        }
        outCount = neg + pos;
    }
    return !br.Failed();
}

FrameRate timingRate(uint32_t numUnitsInTick, uint32_t timeScale, unsigned divisor) {
    return makeRate(timeScale, uint64_t{numUnitsInTick} * divisor);
}

void skipH264Hrd(CBitReader& br) {
    uint32_t count = br.Ue() + 1;
    if (count > 32) {
        br.Skip(br.BitsLeft() + 1);  // malformed: fail the reader
        return;
    }
    br.Bits(8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < count && !br.Failed(); ++i) {
        br.Ue();
        br.Ue();
        br.Bit();
    }
    br.Bits(20);  // four delay and offset lengths
}

// The VUI after the timing information: the reorder depth, -1 if absent.
int h264VuiReorder(CBitReader& br) {
    bool nalHrd = br.Bit();
    if (nalHrd) skipH264Hrd(br);
    bool vclHrd = br.Bit();
    if (vclHrd) skipH264Hrd(br);
    if (nalHrd || vclHrd) br.Bit();  // low_delay_hrd_flag
    br.Bit();                        // pic_struct_present_flag
    if (!br.Bit())                   // bitstream_restriction_flag
        return -1;
    br.Bit();
    for (int i = 0; i < 4; ++i) br.Ue();
    uint32_t reorder = br.Ue();
    br.Ue();  // max_dec_frame_buffering
    return br.Failed() || reorder > 16 ? -1 : static_cast<int>(reorder);
}

FrameRate h265VuiRate(CBitReader& br) {
    if (br.Bit()) {  // aspect_ratio_info_present_flag
        if (br.Bits(8) == 255) {
            br.Bits(16);
            br.Bits(16);
        }
    }
    if (br.Bit())  // overscan_info_present_flag
        br.Bit();
    if (br.Bit()) {  // video_signal_type_present_flag
        br.Bits(3);
        br.Bit();
        if (br.Bit()) br.Bits(24);
    }
    if (br.Bit()) {  // chroma_loc_info_present_flag
        br.Ue();
        br.Ue();
    }
    br.Bit();        // neutral_chroma_indication_flag
    br.Bit();        // field_seq_flag
    br.Bit();        // frame_field_info_present_flag
    if (br.Bit()) {  // default_display_window_flag
        br.Ue();
        br.Ue();
        br.Ue();
        br.Ue();
    }
    if (br.Bit()) {  // vui_timing_info_present_flag
        uint32_t units = br.Bits(32);
        uint32_t scale = br.Bits(32);
        if (!br.Failed()) return timingRate(units, scale, 1);
    }
    return {};
}

}  // namespace

unsigned rateFromTiming(uint32_t numUnitsInTick, uint32_t timeScale, unsigned divisor) {
    if (numUnitsInTick == 0 || timeScale == 0 || divisor == 0) return 0;
    double r = static_cast<double>(timeScale) / (static_cast<double>(numUnitsInTick) * divisor);
    double rounded = std::floor(r + 0.5);
    if (rounded < 1.0 || rounded > kMaxFrameRate) return 0;
    return static_cast<unsigned>(rounded);
}

bool parseH264Sps(const uint8_t* nal, size_t size, SeqInfo& out) {
    if (size < 4) return false;
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + 1, size - 1, kMaxRbsp);
    CBitReader br(rbsp.data(), rbsp.size());
    uint32_t profile = br.Bits(8);
    br.Bits(8);  // constraint flags
    br.Bits(8);  // level_idc
    SeqOrder order;
    order.id = br.Ue();
    if (order.id > 31) return false;
    uint32_t chromaFormat = 1;
    bool separateColourPlane = false;
    if (annexb::SpsHasChromaFormat(profile)) {
        chromaFormat = br.Ue();
        if (chromaFormat > 3) return false;
        if (chromaFormat == 3) separateColourPlane = br.Bit();
        br.Ue();         // bit_depth_luma_minus8
        br.Ue();         // bit_depth_chroma_minus8
        br.Bit();        // qpprime_y_zero_transform_bypass_flag
        if (br.Bit()) {  // seq_scaling_matrix_present_flag
            int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && !br.Failed(); ++i)
                if (br.Bit()) skipH264ScalingList(br, i < 6 ? 16 : 64);
        }
    }
    uint32_t log2MaxFrameNum = br.Ue() + 4;
    if (log2MaxFrameNum > 16) return false;
    order.pocType = br.Ue();
    if (order.pocType == 0) {
        order.log2MaxPocLsb = br.Ue() + 4;
        if (order.log2MaxPocLsb > 16) return false;
    } else if (order.pocType == 1) {
        order.deltaPicOrderAlwaysZero = br.Bit();
        order.offsetForNonRefPic = br.Se();
        order.offsetForTopToBottomField = br.Se();
        uint32_t cycle = br.Ue();
        if (cycle > 255) return false;
        for (uint32_t i = 0; i < cycle && !br.Failed(); ++i) order.offsetForRefFrame.push_back(br.Se());
    } else if (order.pocType != 2) {
        return false;
    }
    uint32_t maxRefFrames = br.Ue();
    br.Bit();  // gaps_in_frame_num_value_allowed_flag
    uint32_t widthMbs = br.Ue() + 1;
    uint32_t heightMapUnits = br.Ue() + 1;
    bool frameMbsOnly = br.Bit();
    if (!frameMbsOnly) br.Bit();  // mb_adaptive_frame_field_flag
    br.Bit();                     // direct_8x8_inference_flag
    uint32_t cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    if (br.Bit()) {
        cropL = br.Ue();
        cropR = br.Ue();
        cropT = br.Ue();
        cropB = br.Ue();
    }
    if (br.Failed() || widthMbs > 1024 || heightMapUnits > 1024) return false;

    uint32_t chromaArrayType = separateColourPlane ? 0 : chromaFormat;
    uint32_t cropUnitX = 1, cropUnitY = 2 - frameMbsOnly;
    if (chromaArrayType != 0) {
        uint32_t subW = chromaFormat == 3 ? 1 : 2;
        uint32_t subH = chromaFormat == 1 ? 2 : 1;
        cropUnitX = subW;
        cropUnitY = subH * (2 - frameMbsOnly);
    }
    int64_t width = int64_t{widthMbs} * 16 - int64_t{cropUnitX} * (int64_t{cropL} + cropR);
    int64_t height = int64_t{heightMapUnits} * 16 * (2 - frameMbsOnly) - int64_t{cropUnitY} * (int64_t{cropT} + cropB);
    if (width <= 0 || height <= 0) return false;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.fps = 0;
    out.rate = {};
    out.profile = profile;
    out.maxRefFrames = maxRefFrames;
    out.reorder = -1;
    out.frameMbsOnly = frameMbsOnly;
    out.separateColourPlane = separateColourPlane;
    out.log2MaxFrameNum = log2MaxFrameNum;
    order.chromaArrayType = chromaArrayType;
    out.order = std::move(order);

    if (br.Bit()) {      // vui_parameters_present_flag
        if (br.Bit()) {  // aspect_ratio_info_present_flag
            if (br.Bits(8) == 255) {
                br.Bits(16);
                br.Bits(16);
            }
        }
        if (br.Bit()) br.Bit();
        if (br.Bit()) {
            br.Bits(3);
            br.Bit();
            if (br.Bit()) br.Bits(24);
        }
        if (br.Bit()) {
            br.Ue();
            br.Ue();
        }
        if (br.Bit()) {  // timing_info_present_flag
            uint32_t units = br.Bits(32);
            uint32_t scale = br.Bits(32);
            br.Bit();  // fixed_frame_rate_flag
            if (!br.Failed()) {
                out.rate = timingRate(units, scale, 2);
                out.fps = roundedRate(out.rate);
            }
        }
        out.reorder = h264VuiReorder(br);
    }
    return true;
}

bool parseH265Sps(const uint8_t* nal, size_t size, SeqInfo& out) {
    if (size < 4) return false;
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + 2, size - 2, kMaxRbsp);
    CBitReader br(rbsp.data(), rbsp.size());
    br.Bits(4);  // sps_video_parameter_set_id
    unsigned maxSubLayersMinus1 = br.Bits(3);
    if (maxSubLayersMinus1 > 6) return false;
    br.Bit();
    skipProfileTierLevel(br, maxSubLayersMinus1);
    SeqOrder order;
    order.id = br.Ue();
    if (order.id > 15) return false;
    uint32_t chromaFormat = br.Ue();
    if (chromaFormat > 3) return false;
    bool separateColourPlane = chromaFormat == 3 && br.Bit();
    uint32_t picW = br.Ue();
    uint32_t picH = br.Ue();
    uint32_t cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    if (br.Bit()) {
        cropL = br.Ue();
        cropR = br.Ue();
        cropT = br.Ue();
        cropB = br.Ue();
    }
    if (br.Failed() || picW == 0 || picH == 0 || picW > 16888 || picH > 16888) return false;
    uint32_t subW = (chromaFormat == 1 || chromaFormat == 2) ? 2 : 1;
    uint32_t subH = chromaFormat == 1 ? 2 : 1;
    int64_t width = int64_t{picW} - int64_t{subW} * (int64_t{cropL} + cropR);
    int64_t height = int64_t{picH} - int64_t{subH} * (int64_t{cropT} + cropB);
    if (width <= 0 || height <= 0) return false;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.fps = 0;
    out.rate = {};
    out.reorder = -1;
    out.separateColourPlane = separateColourPlane;
    out.order = order;
    out.order.chromaArrayType = separateColourPlane ? 0 : chromaFormat;
    out.order.log2MaxPocLsb = 0;  // none until read

    br.Ue();  // bit_depth_luma_minus8
    br.Ue();  // bit_depth_chroma_minus8
    uint32_t log2MaxPocLsb = br.Ue() + 4;
    if (log2MaxPocLsb > 16 || br.Failed()) return true;
    out.order.log2MaxPocLsb = log2MaxPocLsb;
    bool orderingAll = br.Bit();
    uint32_t reorder = 0;
    for (unsigned i = orderingAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        br.Ue();
        reorder = br.Ue();  // the highest sub-layer's counts last
        br.Ue();
    }
    if (!br.Failed() && reorder <= 16) out.reorder = static_cast<int>(reorder);
    br.Ue();  // log2_min_luma_coding_block_size_minus3
    br.Ue();
    br.Ue();
    br.Ue();
    br.Ue();  // max_transform_hierarchy_depth_inter
    br.Ue();
    if (br.Bit() && br.Bit())  // scaling_list_enabled, sps_scaling_list_data_present
        skipH265ScalingListData(br);
    br.Bit();        // amp_enabled_flag
    br.Bit();        // sample_adaptive_offset_enabled_flag
    if (br.Bit()) {  // pcm_enabled_flag
        br.Bits(4);
        br.Bits(4);
        br.Ue();
        br.Ue();
        br.Bit();
    }
    uint32_t numSets = br.Ue();
    if (numSets > 64 || br.Failed()) return true;
    unsigned numDeltaPocs[65] = {};
    for (uint32_t i = 0; i < numSets; ++i)
        if (!skipShortTermRps(br, i, numDeltaPocs, numDeltaPocs[i])) return true;
    if (br.Bit()) {  // long_term_ref_pics_present_flag
        uint32_t numLt = br.Ue();
        if (numLt > 32) return true;
        for (uint32_t i = 0; i < numLt; ++i) {
            br.Bits(log2MaxPocLsb);
            br.Bit();
        }
    }
    br.Bit();  // sps_temporal_mvp_enabled_flag
    br.Bit();  // strong_intra_smoothing_enabled_flag
    if (br.Failed()) return true;
    if (br.Bit()) {
        FrameRate rate = h265VuiRate(br);
        if (!br.Failed()) {
            out.rate = rate;
            out.fps = roundedRate(rate);
        }
    }
    return true;
}

SliceFieldInfo parseH264SliceField(const uint8_t* body, size_t size, const SeqInfo& seq) {
    SliceFieldInfo info;
    std::vector<uint8_t> rbsp = UnescapeRbsp(body, size, 32);
    CBitReader br(rbsp.data(), rbsp.size());
    br.Ue();  // first_mb_in_slice
    br.Ue();  // slice_type
    br.Ue();  // pic_parameter_set_id
    if (seq.separateColourPlane) br.Bits(2);
    info.frameNum = br.Bits(seq.log2MaxFrameNum);
    if (!seq.frameMbsOnly) {
        info.field = br.Bit();
        if (info.field) info.bottom = br.Bit();
    }
    info.valid = !br.Failed();
    return info;
}

FrameRate parseH265VpsTiming(const uint8_t* nal, size_t size) {
    if (size < 4) return {};
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + 2, size - 2, kMaxRbsp);
    CBitReader br(rbsp.data(), rbsp.size());
    br.Bits(4);  // vps_video_parameter_set_id
    br.Bits(2);  // base layer flags
    br.Bits(6);  // vps_max_layers_minus1
    unsigned maxSubLayersMinus1 = br.Bits(3);
    if (maxSubLayersMinus1 > 6) return {};
    br.Bit();
    br.Bits(16);
    skipProfileTierLevel(br, maxSubLayersMinus1);
    bool orderingAll = br.Bit();
    for (unsigned i = orderingAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        br.Ue();
        br.Ue();
        br.Ue();
    }
    unsigned maxLayerId = br.Bits(6);
    uint32_t numLayerSets = br.Ue() + 1;
    if (numLayerSets > 1024) return {};
    br.Skip(size_t{numLayerSets - 1} * (maxLayerId + 1));
    if (br.Bit()) {
        uint32_t units = br.Bits(32);
        uint32_t scale = br.Bits(32);
        if (!br.Failed()) return timingRate(units, scale, 1);
    }
    return {};
}

}  // namespace tessaro

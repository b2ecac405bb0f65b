#include "ParamSets.h"

#include "libs/annexb/Rbsp.h"

#include <cmath>

namespace tessaro {

using annexb::BitReader;
using annexb::unescapeRbsp;

namespace {

// Parameter sets are small; anything past this is not needed for the fields we read.
constexpr size_t kMaxRbsp = 4096;

void skipH264ScalingList(BitReader& br, int size) {
    int last = 8, next = 8;
    for (int j = 0; j < size && !br.failed(); ++j) {
        if (next != 0) {
            int32_t delta = br.se();
            next = static_cast<int>((last + static_cast<int64_t>(delta) + 256) % 256);
        }
        last = next == 0 ? last : next;
    }
}

void skipProfileTierLevel(BitReader& br, unsigned maxSubLayersMinus1) {
    br.skip(88);  // general profile space .. general flags
    br.skip(8);   // general_level_idc
    bool profilePresent[8] = {};
    bool levelPresent[8] = {};
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        profilePresent[i] = br.bit();
        levelPresent[i] = br.bit();
    }
    if (maxSubLayersMinus1 > 0)
        for (unsigned i = maxSubLayersMinus1; i < 8; ++i)
            br.skip(2);
    for (unsigned i = 0; i < maxSubLayersMinus1; ++i) {
        if (profilePresent[i])
            br.skip(88);
        if (levelPresent[i])
            br.skip(8);
    }
}

void skipH265ScalingListData(BitReader& br) {
    for (int sizeId = 0; sizeId < 4; ++sizeId) {
        for (int matrixId = 0; matrixId < 6; matrixId += (sizeId == 3) ? 3 : 1) {
            if (br.failed())
                return;
            if (!br.bit()) {
                br.ue();  // pred_matrix_id_delta
            } else {
                int coefNum = 64 < (1 << (4 + (sizeId << 1))) ? 64 : (1 << (4 + (sizeId << 1)));
                if (sizeId > 1)
                    br.se();  // dc coefficient
                for (int i = 0; i < coefNum && !br.failed(); ++i)
                    br.se();
            }
        }
    }
}

// Returns false on malformed sets; numDeltaPocs carries each set's size for
// the sets predicted from it.
bool skipShortTermRps(BitReader& br, unsigned idx, const unsigned* numDeltaPocs, unsigned& outCount) {
    bool interPred = idx != 0 && br.bit();
    if (interPred) {
        br.bit();  // delta_rps_sign
        br.ue();   // abs_delta_rps_minus1
        unsigned ref = idx - 1;  // delta_idx_minus1 is only coded in slice headers
        unsigned count = 0;
        for (unsigned j = 0; j <= numDeltaPocs[ref] && !br.failed(); ++j) {
            bool used = br.bit();
            bool useDelta = used ? true : br.bit();
            if (used || useDelta)
                ++count;
        }
        outCount = count > 32 ? 32 : count;
    } else {
        uint32_t neg = br.ue();
        uint32_t pos = br.ue();
        if (neg > 16 || pos > 16)
            return false;
        for (uint32_t i = 0; i < neg + pos && !br.failed(); ++i) {
            br.ue();
            br.bit();
        }
        outCount = neg + pos;
    }
    return !br.failed();
}

FrameRate timingRate(uint32_t numUnitsInTick, uint32_t timeScale, unsigned divisor) {
    return makeRate(timeScale, uint64_t{numUnitsInTick} * divisor);
}

void skipH264Hrd(BitReader& br) {
    uint32_t count = br.ue() + 1;
    if (count > 32) {
        br.skip(br.bitsLeft() + 1);  // malformed: fail the reader
        return;
    }
    br.bits(8);  // bit_rate_scale, cpb_size_scale
    for (uint32_t i = 0; i < count && !br.failed(); ++i) {
        br.ue();
        br.ue();
        br.bit();
    }
    br.bits(20);  // four delay and offset lengths
}

// The VUI after the timing information: the reorder depth, -1 if absent.
int h264VuiReorder(BitReader& br) {
    bool nalHrd = br.bit();
    if (nalHrd)
        skipH264Hrd(br);
    bool vclHrd = br.bit();
    if (vclHrd)
        skipH264Hrd(br);
    if (nalHrd || vclHrd)
        br.bit();  // low_delay_hrd_flag
    br.bit();      // pic_struct_present_flag
    if (!br.bit()) // bitstream_restriction_flag
        return -1;
    br.bit();
    for (int i = 0; i < 4; ++i)
        br.ue();
    uint32_t reorder = br.ue();
    br.ue();  // max_dec_frame_buffering
    return br.failed() || reorder > 16 ? -1 : static_cast<int>(reorder);
}

FrameRate h265VuiRate(BitReader& br) {
    if (br.bit()) {  // aspect_ratio_info_present_flag
        if (br.bits(8) == 255) {
            br.bits(16);
            br.bits(16);
        }
    }
    if (br.bit())  // overscan_info_present_flag
        br.bit();
    if (br.bit()) {  // video_signal_type_present_flag
        br.bits(3);
        br.bit();
        if (br.bit())
            br.bits(24);
    }
    if (br.bit()) {  // chroma_loc_info_present_flag
        br.ue();
        br.ue();
    }
    br.bit();  // neutral_chroma_indication_flag
    br.bit();  // field_seq_flag
    br.bit();  // frame_field_info_present_flag
    if (br.bit()) {  // default_display_window_flag
        br.ue();
        br.ue();
        br.ue();
        br.ue();
    }
    if (br.bit()) {  // vui_timing_info_present_flag
        uint32_t units = br.bits(32);
        uint32_t scale = br.bits(32);
        if (!br.failed())
            return timingRate(units, scale, 1);
    }
    return {};
}

} // namespace

unsigned rateFromTiming(uint32_t numUnitsInTick, uint32_t timeScale, unsigned divisor) {
    if (numUnitsInTick == 0 || timeScale == 0 || divisor == 0)
        return 0;
    double r = static_cast<double>(timeScale) / (static_cast<double>(numUnitsInTick) * divisor);
    double rounded = std::floor(r + 0.5);
    if (rounded < 1.0 || rounded > kMaxFrameRate)
        return 0;
    return static_cast<unsigned>(rounded);
}

bool parseH264Sps(const uint8_t* nal, size_t size, SeqInfo& out) {
    if (size < 4)
        return false;
    std::vector<uint8_t> rbsp = unescapeRbsp(nal + 1, size - 1, kMaxRbsp);
    BitReader br(rbsp.data(), rbsp.size());
    uint32_t profile = br.bits(8);
    br.bits(8);  // constraint flags
    br.bits(8);  // level_idc
    SeqOrder order;
    order.id = br.ue();
    if (order.id > 31)
        return false;
    uint32_t chromaFormat = 1;
    bool separateColourPlane = false;
    switch (profile) {
    case 100: case 110: case 122: case 244: case 44: case 83: case 86:
    case 118: case 128: case 138: case 139: case 134: case 135:
        chromaFormat = br.ue();
        if (chromaFormat > 3)
            return false;
        if (chromaFormat == 3)
            separateColourPlane = br.bit();
        br.ue();   // bit_depth_luma_minus8
        br.ue();   // bit_depth_chroma_minus8
        br.bit();  // qpprime_y_zero_transform_bypass_flag
        if (br.bit()) {  // seq_scaling_matrix_present_flag
            int lists = chromaFormat == 3 ? 12 : 8;
            for (int i = 0; i < lists && !br.failed(); ++i)
                if (br.bit())
                    skipH264ScalingList(br, i < 6 ? 16 : 64);
        }
        break;
    default:
        break;
    }
    uint32_t log2MaxFrameNum = br.ue() + 4;
    if (log2MaxFrameNum > 16)
        return false;
    order.pocType = br.ue();
    if (order.pocType == 0) {
        order.log2MaxPocLsb = br.ue() + 4;
        if (order.log2MaxPocLsb > 16)
            return false;
    } else if (order.pocType == 1) {
        order.deltaPicOrderAlwaysZero = br.bit();
        order.offsetForNonRefPic = br.se();
        order.offsetForTopToBottomField = br.se();
        uint32_t cycle = br.ue();
        if (cycle > 255)
            return false;
        for (uint32_t i = 0; i < cycle && !br.failed(); ++i)
            order.offsetForRefFrame.push_back(br.se());
    } else if (order.pocType != 2) {
        return false;
    }
    uint32_t maxRefFrames = br.ue();
    br.bit();  // gaps_in_frame_num_value_allowed_flag
    uint32_t widthMbs = br.ue() + 1;
    uint32_t heightMapUnits = br.ue() + 1;
    bool frameMbsOnly = br.bit();
    if (!frameMbsOnly)
        br.bit();  // mb_adaptive_frame_field_flag
    br.bit();      // direct_8x8_inference_flag
    uint32_t cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    if (br.bit()) {
        cropL = br.ue();
        cropR = br.ue();
        cropT = br.ue();
        cropB = br.ue();
    }
    if (br.failed() || widthMbs > 1024 || heightMapUnits > 1024)
        return false;

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
    if (width <= 0 || height <= 0)
        return false;
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

    if (br.bit()) {  // vui_parameters_present_flag
        if (br.bit()) {  // aspect_ratio_info_present_flag
            if (br.bits(8) == 255) {
                br.bits(16);
                br.bits(16);
            }
        }
        if (br.bit())
            br.bit();
        if (br.bit()) {
            br.bits(3);
            br.bit();
            if (br.bit())
                br.bits(24);
        }
        if (br.bit()) {
            br.ue();
            br.ue();
        }
        if (br.bit()) {  // timing_info_present_flag
            uint32_t units = br.bits(32);
            uint32_t scale = br.bits(32);
            br.bit();  // fixed_frame_rate_flag
            if (!br.failed()) {
                out.rate = timingRate(units, scale, 2);
                out.fps = roundedRate(out.rate);
            }
        }
        out.reorder = h264VuiReorder(br);
    }
    return true;
}

bool parseH265Sps(const uint8_t* nal, size_t size, SeqInfo& out) {
    if (size < 4)
        return false;
    std::vector<uint8_t> rbsp = unescapeRbsp(nal + 2, size - 2, kMaxRbsp);
    BitReader br(rbsp.data(), rbsp.size());
    br.bits(4);  // sps_video_parameter_set_id
    unsigned maxSubLayersMinus1 = br.bits(3);
    if (maxSubLayersMinus1 > 6)
        return false;
    br.bit();
    skipProfileTierLevel(br, maxSubLayersMinus1);
    SeqOrder order;
    order.id = br.ue();
    if (order.id > 15)
        return false;
    uint32_t chromaFormat = br.ue();
    if (chromaFormat > 3)
        return false;
    bool separateColourPlane = chromaFormat == 3 && br.bit();
    uint32_t picW = br.ue();
    uint32_t picH = br.ue();
    uint32_t cropL = 0, cropR = 0, cropT = 0, cropB = 0;
    if (br.bit()) {
        cropL = br.ue();
        cropR = br.ue();
        cropT = br.ue();
        cropB = br.ue();
    }
    if (br.failed() || picW == 0 || picH == 0 || picW > 16888 || picH > 16888)
        return false;
    uint32_t subW = (chromaFormat == 1 || chromaFormat == 2) ? 2 : 1;
    uint32_t subH = chromaFormat == 1 ? 2 : 1;
    int64_t width = int64_t{picW} - int64_t{subW} * (int64_t{cropL} + cropR);
    int64_t height = int64_t{picH} - int64_t{subH} * (int64_t{cropT} + cropB);
    if (width <= 0 || height <= 0)
        return false;
    out.width = static_cast<int>(width);
    out.height = static_cast<int>(height);
    out.fps = 0;
    out.rate = {};
    out.reorder = -1;
    out.separateColourPlane = separateColourPlane;
    out.order = order;
    out.order.chromaArrayType = separateColourPlane ? 0 : chromaFormat;
    out.order.log2MaxPocLsb = 0;  // none until read

    br.ue();  // bit_depth_luma_minus8
    br.ue();  // bit_depth_chroma_minus8
    uint32_t log2MaxPocLsb = br.ue() + 4;
    if (log2MaxPocLsb > 16 || br.failed())
        return true;
    out.order.log2MaxPocLsb = log2MaxPocLsb;
    bool orderingAll = br.bit();
    uint32_t reorder = 0;
    for (unsigned i = orderingAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        br.ue();
        reorder = br.ue();  // the highest sub-layer's counts last
        br.ue();
    }
    if (!br.failed() && reorder <= 16)
        out.reorder = static_cast<int>(reorder);
    br.ue();  // log2_min_luma_coding_block_size_minus3
    br.ue();
    br.ue();
    br.ue();
    br.ue();  // max_transform_hierarchy_depth_inter
    br.ue();
    if (br.bit() && br.bit())  // scaling_list_enabled, sps_scaling_list_data_present
        skipH265ScalingListData(br);
    br.bit();  // amp_enabled_flag
    br.bit();  // sample_adaptive_offset_enabled_flag
    if (br.bit()) {  // pcm_enabled_flag
        br.bits(4);
        br.bits(4);
        br.ue();
        br.ue();
        br.bit();
    }
    uint32_t numSets = br.ue();
    if (numSets > 64 || br.failed())
        return true;
    unsigned numDeltaPocs[65] = {};
    for (uint32_t i = 0; i < numSets; ++i)
        if (!skipShortTermRps(br, i, numDeltaPocs, numDeltaPocs[i]))
            return true;
    if (br.bit()) {  // long_term_ref_pics_present_flag
        uint32_t numLt = br.ue();
        if (numLt > 32)
            return true;
        for (uint32_t i = 0; i < numLt; ++i) {
            br.bits(log2MaxPocLsb);
            br.bit();
        }
    }
    br.bit();  // sps_temporal_mvp_enabled_flag
    br.bit();  // strong_intra_smoothing_enabled_flag
    if (br.failed())
        return true;
    if (br.bit()) {
        FrameRate rate = h265VuiRate(br);
        if (!br.failed()) {
            out.rate = rate;
            out.fps = roundedRate(rate);
        }
    }
    return true;
}

SliceFieldInfo parseH264SliceField(const uint8_t* body, size_t size, const SeqInfo& seq) {
    SliceFieldInfo info;
    std::vector<uint8_t> rbsp = unescapeRbsp(body, size, 32);
    BitReader br(rbsp.data(), rbsp.size());
    br.ue();  // first_mb_in_slice
    br.ue();  // slice_type
    br.ue();  // pic_parameter_set_id
    if (seq.separateColourPlane)
        br.bits(2);
    info.frameNum = br.bits(seq.log2MaxFrameNum);
    if (!seq.frameMbsOnly) {
        info.field = br.bit();
        if (info.field)
            info.bottom = br.bit();
    }
    info.valid = !br.failed();
    return info;
}

FrameRate parseH265VpsTiming(const uint8_t* nal, size_t size) {
    if (size < 4)
        return {};
    std::vector<uint8_t> rbsp = unescapeRbsp(nal + 2, size - 2, kMaxRbsp);
    BitReader br(rbsp.data(), rbsp.size());
    br.bits(4);  // vps_video_parameter_set_id
    br.bits(2);  // base layer flags
    br.bits(6);  // vps_max_layers_minus1
    unsigned maxSubLayersMinus1 = br.bits(3);
    if (maxSubLayersMinus1 > 6)
        return {};
    br.bit();
    br.bits(16);
    skipProfileTierLevel(br, maxSubLayersMinus1);
    bool orderingAll = br.bit();
    for (unsigned i = orderingAll ? 0 : maxSubLayersMinus1; i <= maxSubLayersMinus1; ++i) {
        br.ue();
        br.ue();
        br.ue();
    }
    unsigned maxLayerId = br.bits(6);
    uint32_t numLayerSets = br.ue() + 1;
    if (numLayerSets > 1024)
        return {};
    br.skip(size_t{numLayerSets - 1} * (maxLayerId + 1));
    if (br.bit()) {
        uint32_t units = br.bits(32);
        uint32_t scale = br.bits(32);
        if (!br.failed())
            return timingRate(units, scale, 1);
    }
    return {};
}

} // namespace tessaro

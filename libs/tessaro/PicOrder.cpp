#include "PicOrder.h"

#include "libs/annexb/Rbsp.h"

#include <algorithm>

namespace tessaro {

using annexb::CBitReader;
using annexb::UnescapeRbsp;

namespace {

// Enough of a slice for its header; prediction weight tables are the longest part.
constexpr size_t kMaxSliceHeader = 4096;
// Enough for nearly every slice header: unescaping the whole 4096 bytes of
// each slice cost the parser a twentieth of its time.
constexpr size_t kShortSliceHeader = 256;
// Reordering and marking commands in one header, at most.
constexpr int kMaxCommands = 64;

void skipSliceGroups(CBitReader& br) {
    uint32_t groups = br.Ue() + 1;
    if (groups <= 1 || groups > 8) {
        if (groups > 8) br.Skip(br.BitsLeft() + 1);
        return;
    }
    uint32_t type = br.Ue();
    if (type == 0) {
        for (uint32_t i = 0; i < groups; ++i) br.Ue();
    } else if (type == 2) {
        for (uint32_t i = 0; i + 1 < groups; ++i) {
            br.Ue();
            br.Ue();
        }
    } else if (type >= 3 && type <= 5) {
        br.Bit();
        br.Ue();
    } else if (type == 6) {
        uint32_t units = br.Ue() + 1;
        unsigned bits = 0;
        while ((1u << bits) < groups) ++bits;
        br.Skip(size_t{units} * bits);
    }
}

void skipRefListChanges(CBitReader& br) {
    if (!br.Bit()) return;
    for (int i = 0; i < kMaxCommands && !br.Failed(); ++i) {
        uint32_t idc = br.Ue();
        if (idc == 3) return;
        br.Ue();
    }
}

void skipWeights(CBitReader& br, unsigned refs, bool chroma) {
    for (unsigned i = 0; i < refs && !br.Failed(); ++i) {
        if (br.Bit()) {
            br.Se();
            br.Se();
        }
        if (chroma && br.Bit())
            for (int j = 0; j < 4; ++j) br.Se();
    }
}

}  // namespace

void PicOrder::sequence(Codec codec, const SeqInfo& seq) {
    if (seq.order.id < m_sps.size() && isParsed(codec)) m_sps[seq.order.id] = seq;
}

void PicOrder::pictureParams(Codec codec, const uint8_t* nal, size_t size) {
    const size_t header = codec == Codec::H265 ? 2 : 1;
    if (size <= header) return;
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + header, size - header, 256);
    CBitReader br(rbsp.data(), rbsp.size());
    uint32_t id = br.Ue();
    PicParams pp;
    pp.spsId = br.Ue();
    if (codec == Codec::H265) {
        if (id > 63 || pp.spsId > 15) return;
        br.Bit();  // dependent_slice_segments_enabled_flag: never in a first slice
        pp.outputFlag = br.Bit();
        pp.extraSliceHeaderBits = br.Bits(3);
    } else {
        if (id > 255 || pp.spsId > 31) return;
        br.Bit();  // entropy_coding_mode_flag
        pp.bottomFieldPicOrder = br.Bit();
        skipSliceGroups(br);
        pp.numRefIdx[0] = br.Ue() + 1;
        pp.numRefIdx[1] = br.Ue() + 1;
        pp.weightedPred = br.Bit();
        pp.weightedBipred = br.Bits(2);
        br.Se();
        br.Se();
        br.Se();
        br.Bit();
        br.Bit();
        pp.redundantPicCnt = br.Bit();
        if (pp.numRefIdx[0] > 32 || pp.numRefIdx[1] > 32) return;
    }
    if (!br.Failed()) m_pps[id] = pp;
}

PicOrderInfo PicOrder::slice(Codec codec, const uint8_t* nal, size_t size) {
    if (codec == Codec::H264) return h264(nal, size);
    if (codec == Codec::H265) return h265(nal, size);
    return {};
}

// Reads an H.264 slice header, of its first limit bytes, as far as the
// marking commands; false when not even the order count fields could be
// read. ranOut: the header went on past the bytes read.
bool PicOrder::parseH264Slice(const uint8_t* nal, size_t size, size_t limit, H264Slice& s, const SeqOrder*& order,
                              const SeqInfo*& info, bool& ranOut) {
    ranOut = false;
    if (size < 2) return false;
    s.refIdc = (nal[0] >> 5) & 3;
    s.idr = (nal[0] & 0x1F) == 5;
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + 1, size - 1, limit);
    CBitReader br(rbsp.data(), rbsp.size());
    const bool cut = rbsp.size() == limit && size - 1 > limit;
    const auto done = [&](bool ok) {
        ranOut = cut && br.Failed();
        return ok;
    };
    br.Ue();  // first_mb_in_slice
    const uint32_t type = br.Ue() % 5;
    s.intra = type == 2 || type == 4;
    const uint32_t ppsId = br.Ue();
    if (br.Failed() || ppsId > 255 || !m_pps[ppsId] || !m_sps[m_pps[ppsId]->spsId]) return done(false);
    const PicParams& pp = *m_pps[ppsId];
    info = &*m_sps[pp.spsId];
    order = &info->order;
    if (info->separateColourPlane) br.Bits(2);
    s.frameNum = br.Bits(info->log2MaxFrameNum);
    if (!info->frameMbsOnly && (s.field = br.Bit())) s.bottom = br.Bit();
    if (s.idr) br.Ue();  // idr_pic_id
    if (order->pocType == 0) {
        s.pocLsb = br.Bits(order->log2MaxPocLsb);
        if (pp.bottomFieldPicOrder && !s.field) s.deltaBottom = br.Se();
    } else if (order->pocType == 1 && !order->deltaPicOrderAlwaysZero) {
        s.delta0 = br.Se();
        if (pp.bottomFieldPicOrder && !s.field) s.delta1 = br.Se();
    }
    if (br.Failed()) return done(false);
    if (s.refIdc == 0 || s.idr) return true;
    // On to the marking commands, for a reset of the count (operation 5).
    const bool p = type == 0 || type == 3, b = type == 1;
    if (pp.redundantPicCnt) br.Ue();
    if (b) br.Bit();  // direct_spatial_mv_pred_flag
    unsigned refs[2] = {pp.numRefIdx[0], pp.numRefIdx[1]};
    if ((p || b) && br.Bit()) {
        refs[0] = br.Ue() + 1;
        if (b) refs[1] = br.Ue() + 1;
    }
    if (refs[0] > 32 || refs[1] > 32) return done(true);
    if (type != 2 && type != 4) skipRefListChanges(br);
    if (b) skipRefListChanges(br);
    if ((pp.weightedPred && p) || (pp.weightedBipred == 1 && b)) {
        br.Ue();
        const bool chroma = order->chromaArrayType != 0;
        if (chroma) br.Ue();
        skipWeights(br, refs[0], chroma);
        if (b) skipWeights(br, refs[1], chroma);
    }
    if (!br.Failed() && br.Bit()) {  // adaptive_ref_pic_marking_mode_flag
        for (int i = 0; i < kMaxCommands && !br.Failed(); ++i) {
            uint32_t op = br.Ue();
            if (op == 0 || op > 6) break;
            s.mmco5 |= op == 5;
            if (op == 1 || op == 3 || op == 2 || op == 6 || op == 4) br.Ue();
            if (op == 3) br.Ue();
        }
        s.mmco5 &= !br.Failed();
    }
    return done(true);
}

int64_t PicOrder::h264FrameNumOffset(const H264Slice& s, const SeqInfo& seq) const {
    if (s.idr) return 0;
    if (m_h264.prevFrameNum > s.frameNum) return m_h264.prevFrameNumOffset + (int64_t{1} << seq.log2MaxFrameNum);
    return m_h264.prevFrameNumOffset;
}

// Order count type 1: from the frame number and the expected cycle of
// reference frames. Returns the top count and sets the bottom one.
int64_t PicOrder::h264Type1(const H264Slice& s, const SeqOrder& o, int64_t frameNumOffset, int64_t& bottom) const {
    const int64_t cycle = static_cast<int64_t>(o.offsetForRefFrame.size());
    int64_t absFrameNum = cycle ? frameNumOffset + s.frameNum : 0;
    if (s.refIdc == 0 && absFrameNum > 0) --absFrameNum;
    int64_t expected = 0;
    if (absFrameNum > 0) {
        int64_t perCycle = 0;
        for (int32_t d : o.offsetForRefFrame) perCycle += d;
        const int64_t cycles = (absFrameNum - 1) / cycle, inCycle = (absFrameNum - 1) % cycle;
        expected = cycles * perCycle;
        for (int64_t i = 0; i <= inCycle; ++i) expected += o.offsetForRefFrame[static_cast<size_t>(i)];
    }
    if (s.refIdc == 0) expected += o.offsetForNonRefPic;
    if (!s.field) {
        int64_t top = expected + s.delta0;
        bottom = top + o.offsetForTopToBottomField + s.delta1;
        return top;
    }
    bottom = expected + o.offsetForTopToBottomField + s.delta0;
    return expected + s.delta0;
}

PicOrderInfo PicOrder::h264(const uint8_t* nal, size_t size) {
    H264Slice s;
    const SeqOrder* o = nullptr;
    const SeqInfo* seq = nullptr;
    bool ranOut = false;
    bool ok = parseH264Slice(nal, size, kShortSliceHeader, s, o, seq, ranOut);
    if (ranOut) {
        s = H264Slice{};
        ok = parseH264Slice(nal, size, kMaxSliceHeader, s, o, seq, ranOut);
    }
    if (!ok) return {};
    int64_t top = 0, bottom = 0, msb = 0;
    const int64_t frameNumOffset = h264FrameNumOffset(s, *seq);
    if (o->pocType == 0) {
        const int64_t maxLsb = int64_t{1} << o->log2MaxPocLsb;
        const int64_t prevMsb = s.idr ? 0 : m_h264.prevMsb, prevLsb = s.idr ? 0 : m_h264.prevLsb;
        const int64_t lsb = s.pocLsb;
        msb = prevMsb;
        if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2)
            msb += maxLsb;
        else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2)
            msb -= maxLsb;
        top = msb + lsb;
        bottom = s.field ? top : top + s.deltaBottom;
    } else if (o->pocType == 1) {
        top = h264Type1(s, *o, frameNumOffset, bottom);
    } else {
        top = bottom = s.idr ? 0 : 2 * (frameNumOffset + s.frameNum) - (s.refIdc == 0 ? 1 : 0);
    }
    PicOrderInfo out;
    out.valid = true;
    out.poc = !s.field ? std::min(top, bottom) : s.bottom ? bottom : top;
    out.newPeriod = s.idr || s.mmco5;
    out.intra = s.intra;
    // What the next picture counts from.
    if (s.mmco5) {
        // The count starts again from this picture.
        if (s.refIdc != 0) {
            m_h264.prevMsb = 0;
            m_h264.prevLsb = s.field && s.bottom ? 0 : top - out.poc;
        }
        out.poc = 0;
        m_h264.prevFrameNumOffset = 0;
        m_h264.prevFrameNum = 0;
        return out;
    }
    if (s.refIdc != 0) {
        m_h264.prevMsb = msb;
        m_h264.prevLsb = s.pocLsb;
    }
    m_h264.prevFrameNumOffset = frameNumOffset;
    m_h264.prevFrameNum = s.frameNum;
    return out;
}

PicOrderInfo PicOrder::h265(const uint8_t* nal, size_t size) {
    if (size < 3) return {};
    const unsigned type = (nal[0] >> 1) & 0x3F;
    const unsigned tid = (nal[1] & 7u) - 1;
    std::vector<uint8_t> rbsp = UnescapeRbsp(nal + 2, size - 2, 256);
    CBitReader br(rbsp.data(), rbsp.size());
    const bool irap = type >= 16 && type <= 23;
    if (!br.Bit()) return {};  // not the first segment of its picture
    if (irap) br.Bit();        // no_output_of_prior_pics_flag
    const uint32_t ppsId = br.Ue();
    if (br.Failed() || ppsId > 63 || !m_pps[ppsId] || !m_sps[m_pps[ppsId]->spsId]) return {};
    const PicParams& pp = *m_pps[ppsId];
    const SeqInfo& seq = *m_sps[pp.spsId];
    if (seq.order.log2MaxPocLsb == 0) return {};
    br.Skip(pp.extraSliceHeaderBits);
    br.Ue();  // slice_type
    if (pp.outputFlag) br.Bit();
    if (seq.separateColourPlane) br.Bits(2);
    const bool idr = type == 19 || type == 20;
    const int64_t lsb = idr ? 0 : br.Bits(seq.order.log2MaxPocLsb);
    if (br.Failed()) return {};
    // Random access points that begin decoding (IDR, BLA, a CRA first in
    // the stream or after an end of sequence) start the count afresh.
    const bool noRaslOutput = irap && (type <= 20 || m_h265.first);
    int64_t msb = 0;
    if (!noRaslOutput) {
        const int64_t maxLsb = int64_t{1} << seq.order.log2MaxPocLsb;
        const int64_t prevLsb = m_h265.prevTid0Poc & (maxLsb - 1), prevMsb = m_h265.prevTid0Poc - prevLsb;
        msb = prevMsb;
        if (lsb < prevLsb && prevLsb - lsb >= maxLsb / 2)
            msb += maxLsb;
        else if (lsb > prevLsb && lsb - prevLsb > maxLsb / 2)
            msb -= maxLsb;
    }
    PicOrderInfo out;
    out.valid = true;
    out.poc = msb + lsb;
    out.newPeriod = noRaslOutput;
    if (irap) m_h265.skipRasl = noRaslOutput;
    const bool rasl = type == 8 || type == 9, radl = type == 6 || type == 7;
    out.skip = rasl && m_h265.skipRasl;
    const bool subLayerNonRef = type <= 14 && type % 2 == 0;
    if (tid == 0 && !rasl && !radl && !subLayerNonRef) m_h265.prevTid0Poc = out.poc;
    // Pictures before the first random access point cannot be decoded; the
    // point itself is where decoding begins.
    m_h265.first &= !irap;
    return out;
}

}  // namespace tessaro

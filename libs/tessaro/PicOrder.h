// Picture order counts from slice headers, for streams that carry no time
// stamps: where each picture goes in display order, and where the order
// starts afresh (IDR, a reset of the count, an H.265 random access point
// that begins decoding).
#pragma once

#include "Nal.h"
#include "ParamSets.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace tessaro {

struct PicOrderInfo {
    bool valid = false;
    int64_t poc = 0;
    bool newPeriod = false;  // displayed after every picture before it
    bool skip = false;       // a leading picture that cannot be decoded here
    bool intra = false;      // H.264: the first slice is an I or SI slice
};

// The parts of a picture parameter set that slice headers depend on.
struct PicParams {
    unsigned spsId = 0;
    bool bottomFieldPicOrder = false;  // H.264
    unsigned numRefIdx[2] = {1, 1};
    bool weightedPred = false;
    unsigned weightedBipred = 0;
    bool redundantPicCnt = false;
    bool outputFlag = false;  // H.265
    unsigned extraSliceHeaderBits = 0;
};

class PicOrder {
public:
    // Parameter sets and end-of-sequence units as they come.
    void sequence(Codec codec, const SeqInfo& seq);
    void pictureParams(Codec codec, const uint8_t* nal, size_t size);
    void endOfSequence() { m_h265.first = true; }

    // The first slice of a picture (or of a frame's second field), from
    // its header byte on, in decoding order.
    PicOrderInfo slice(Codec codec, const uint8_t* nal, size_t size);

private:
    struct H264Slice {
        unsigned refIdc = 0;
        bool idr = false;
        uint32_t frameNum = 0;
        bool field = false, bottom = false;
        uint32_t pocLsb = 0;
        int32_t deltaBottom = 0, delta0 = 0, delta1 = 0;
        bool mmco5 = false;
        bool intra = false;
    };
    struct H264State {
        int64_t prevMsb = 0, prevLsb = 0;  // of the last reference picture
        int64_t prevFrameNumOffset = 0;
        uint32_t prevFrameNum = 0;
    };
    struct H265State {
        bool first = true;  // the next random access point begins decoding
        int64_t prevTid0Poc = 0;
        bool skipRasl = false;
    };

    bool parseH264Slice(const uint8_t* nal, size_t size, size_t limit, H264Slice& s, const SeqOrder*& seq,
                        SeqInfo const*& info, bool& ranOut);
    PicOrderInfo h264(const uint8_t* nal, size_t size);
    PicOrderInfo h265(const uint8_t* nal, size_t size);
    int64_t h264FrameNumOffset(const H264Slice& s, const SeqInfo& seq) const;
    int64_t h264Type1(const H264Slice& s, const SeqOrder& o, int64_t frameNumOffset, int64_t& bottom) const;

    std::array<std::optional<SeqInfo>, 32> m_sps;
    std::array<std::optional<PicParams>, 256> m_pps;
    H264State m_h264;
    H265State m_h265;
};

}  // namespace tessaro

// What every consumer of the records decides the same way: which key frame a
// file can start with, and where a video record's units lie.
#pragma once

#include <vector>

#include "libs/annexb/Units.h"
#include "tessaro.h"

namespace tessaro {

// A picture a file can start with: a key frame with a payload, a size and a rate.
inline bool IsUsableKeyFrame(const TessaroFrame& f) {
    return f.nFrameType == TESSARO_FRAME_VIDEO && f.nFrameKind == TESSARO_KIND_KEY && f.pPayload != nullptr &&
           f.nPayloadLen > 0 && f.nWidth > 0 && f.nHeight > 0 &&
           (f.nFrameRate != 0 || (f.nRateNum != 0 && f.nRateDen != 0));
}

// The units of a video record's payload: the table the parser gave with it,
// or found in the payload when it gave none. scratch holds them then.
inline const annexb::SUnit* UnitsOf(const TessaroFrame& f, std::vector<annexb::SUnit>& scratch, size_t& count) {
    static_assert(sizeof(TessaroNalUnit) == sizeof(annexb::SUnit), "one layout for a unit");
    if (f.nNalUnits > 0 && f.pNalUnits != nullptr) {
        count = f.nNalUnits;
        return reinterpret_cast<const annexb::SUnit*>(f.pNalUnits);
    }
    scratch.clear();
    if (f.pPayload != nullptr) annexb::SplitUnits(f.pPayload, f.nPayloadLen, scratch);
    count = scratch.size();
    return scratch.data();
}

}  // namespace tessaro

// What every consumer of the records decides the same way: which key frame a
// file can start with, where a video record's units lie, and what to call
// audio the parser left out.
#pragma once

#include <string>
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

// An audio record's kind as the user knows it.
inline std::string AudioCodecName(int32_t nCodec) {
    switch (nCodec) {
        case TESSARO_AUDIO_AAC:
            return "AAC";
        case TESSARO_AUDIO_MPEG:
            return "MPEG audio";
        case TESSARO_AUDIO_ALAW:
            return "G.711 A-law";
        case TESSARO_AUDIO_MULAW:
            return "G.711 mu-law";
        case TESSARO_AUDIO_PCM16:
            return "16-bit PCM";
        case TESSARO_AUDIO_PCM24:
            return "24-bit PCM";
        default:
            return "audio of code " + std::to_string(nCodec);
    }
}

// The audio the parser met and no record carries, as the user is told it;
// empty when there was none.
inline std::string LeftOutAudio(const TessaroStatus& status) {
    if (!(status.nFlags & TESSARO_STATUS_AUDIO_LEFT_OUT)) return {};
    switch (status.nAudioLeftOut) {
        case TESSARO_AUDIO_AC3:
            return "AC-3 audio";
        case TESSARO_AUDIO_DTS:
            return "DTS audio";
        case TESSARO_AUDIO_EXTRA_STREAM:
            return "a further audio stream";
        default:
            return "audio of a kind not read here";
    }
}

}  // namespace tessaro

// The outcome of one file's conversion, carried from where it was decided to
// where the user looks (the row and its tooltip, the result line, --json).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace convert {

enum class EReason : int32_t {
    None = 0,
    OpenInput,          // detail: the system's message
    ReadInput,          // detail: the system's message
    NotRegularFile,     // a directory, a FIFO, a device
    NotRecorderStream,  // no H.264/H.265 video found, or a file of another kind
    EmptyInput,
    UnsupportedVideo,  // detail: the codec
    NoKeyFrame,
    WriteOutput,  // detail: the system's message
    SameFile,     // the output would replace its input
    NameUsed,     // an earlier input of this batch produced that output
    Stopped,
    InputChanged,  // the input shrank while it was read
    CodecChanged,  // a warning: only the part before the change was converted
    AudioLeftOut,  // a warning: some of the sound is not in the output; detail: what
    Internal,
};

// What became of one stream of the input.
struct SStreamFate {
    std::string strKind;    // "video", "audio", "other"
    std::string strCodec;   // "h264", "aac", "pcm_alaw" ...
    uint32_t nId = 0;       // PID or stream id, 0 when the input has none
    std::string strFate;    // "kept", "converted", "dropped"
    std::string strReason;  // why dropped
};

struct SConversionResult {
    bool bSuccess = false;
    // On failure why; on success a warning (None when the file is whole).
    EReason reason = EReason::None;
    std::string strDetail;  // UTF-8, appended to the reason's text
    uint64_t nPictures = 0;
    uint64_t nDroppedAtStart = 0;  // pictures before the first that can be shown
    double dMediaSeconds = 0;
    uint64_t nOutputBytes = 0;
    // A part of the recording: how many seconds before the asked start the
    // output begins (at a key frame); negative when no start was asked.
    double dStartsBefore = -1;
    // The output's creation time as written (ISO 8601, UTC); empty: none.
    std::string strCreationTime;
    bool bTimeNotInName = false;  // a pattern was given but the name did not hold it
    // A join: the inputs in this output, and where a change of format made
    // the recording go on (the next output's path and what changed).
    int32_t nJoined = 0;
    std::string strContinuedIn;
    std::string strChange;
    // A part kept after a stop (reason Stopped, detail the media time it
    // reached) when a file stood at the output's name: where it went instead.
    std::string strPartPath;

    // What the input was ("h264", "h265", "ps", "ts", "mp4" ..., empty: not
    // known) and its streams; transport packets lost or damaged on the way.
    std::string strInputFormat;
    std::vector<SStreamFate> streams;
    uint64_t nContinuityErrors = 0;

    bool Whole() const { return bSuccess && reason == EReason::None; }
};

inline SConversionResult Failure(EReason reason, std::string strDetail = {}) {
    SConversionResult r;
    r.reason = reason;
    r.strDetail = std::move(strDetail);
    return r;
}

// The language key of a reason ("Trelvo.Reason..."); empty for None.
const wchar_t* ReasonKey(EReason reason);
// The reason in the user's language with its detail, e.g.
// "cannot write the output: No space left on device"; empty for None.
std::wstring ReasonText(const SConversionResult& result);
// A stable English word for scripts (--json): "open-input", "no-key-frame" ...
const char* ReasonCode(EReason reason);

}  // namespace convert

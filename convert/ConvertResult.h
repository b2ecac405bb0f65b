// The outcome of one file's conversion, carried from where it was decided to
// where the user looks (the row and its tooltip, the result line, --json).
#pragma once

#include <cstdint>
#include <string>

namespace convert {

enum class EReason : int32_t {
    None = 0,
    OpenInput,          // detail: the system's message
    ReadInput,          // detail: the system's message
    NotRegularFile,     // a directory, a FIFO, a device
    NotRecorderStream,  // no H.264/H.265 video found
    UnsupportedVideo,   // detail: the codec
    NoKeyFrame,
    WriteOutput,        // detail: the system's message
    SameFile,           // the output would replace its input
    NameUsed,           // an earlier input of this batch produced that output
    Stopped,
    InputChanged,       // the input shrank while it was read
    CodecChanged,       // a warning: only the part before the change was converted
    Internal,
};

struct SConversionResult {
    bool bSuccess = false;
    // On failure why; on success a warning (None when the file is whole).
    EReason reason = EReason::None;
    std::string strDetail;  // UTF-8, appended to the reason's text
    uint64_t nPictures = 0;
    double dMediaSeconds = 0;
    uint64_t nOutputBytes = 0;

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

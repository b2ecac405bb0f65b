// What the user asked of the outputs beyond a plain conversion: the MP4
// layout, a part of the recording, its recording time, and joining.
#pragma once

#include <cstdint>
#include <string>

namespace convert {

struct SConvertOptions {
    bool bFastStart = false;   // MP4: the index before the media data
    bool bFragmented = false;  // MP4: fragments, written straight to the final name
    // The part to keep, in 90 kHz ticks from the recording's first picture;
    // -1: from its start, to its end.
    int64_t nFrom = -1;
    int64_t nTo = -1;
    // When the recording's first picture was taken: a fixed time
    // (microseconds since 1970, UTC), or a strftime pattern that the input's
    // file name holds it in (local time).
    bool bTime = false;
    int64_t nTimeUs = 0;
    std::string strTimePattern;
    // Every ticked row into this one output (UTF-8 path); empty: one output
    // per row.
    std::string strJoinOutput;
    // After a stop, what was read of the file under way is kept as a part
    // (the command line); else a stopped output goes (the desktop list).
    bool bKeepStoppedPart = false;

    // True when the rows go through the recording (join, cut, time) rather
    // than straight from each file to its writer.
    bool NeedsRecording() const {
        return nFrom >= 0 || nTo >= 0 || bTime || !strTimePattern.empty() || !strJoinOutput.empty();
    }
};

}  // namespace convert

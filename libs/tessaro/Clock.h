// One clock for a program stream's audio and video: 33-bit stamps become one
// continuous 64-bit timeline. A wrap of the counter continues upward; a jump
// (the recorder restarted or reset its clock) is bridged so the timeline goes
// on where it was, and both streams share the correction.
#pragma once

#include <cstdint>

#include "libs/tessaro/Limits.h"

namespace tessaro {

constexpr uint64_t kStampMask = (uint64_t{1} << 33) - 1;
// Steps back beyond any B-frame reordering (callers may know a tighter
// bound), or forward beyond any pause a recorder leaves in one file, are
// jumps; smaller steps are kept as they are (dropped frames, a night-mode
// rate).
constexpr int64_t kMaxStepBack = timing::kMaxStepBack;
constexpr int64_t kMaxStepForward = timing::kMaxStepForward;

class Clock {
public:
    // The stamp on the continuous count (no jump correction yet).
    int64_t unwrap(uint64_t raw);

    // The offset that places an unwrapped stamp of one stream on the
    // timeline. last is that stream's last time (haveLast false for its first
    // stamp), maxBack how far behind it a stamp may fall; next is where it
    // would continue after a jump. jumped is set when this stamp starts a new
    // correction.
    int64_t offsetFor(int64_t ext, bool haveLast, int64_t last, int64_t maxBack, int64_t next, bool& jumped);

    // The last time either stream was placed at, for records with no stamp.
    bool placed() const { return m_placed; }
    int64_t latest() const { return m_latest; }
    void note(int64_t t);

private:
    bool m_haveRef = false;
    uint64_t m_refRaw = 0;
    int64_t m_refExt = 0;
    int64_t m_offset = 0;
    // The correction before the last jump, for the stream that has not yet
    // reached that jump.
    bool m_havePrev = false;
    int64_t m_prevOffset = 0;
    bool m_placed = false;
    int64_t m_latest = 0;
};

}  // namespace tessaro

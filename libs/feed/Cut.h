// The part of a recording between two times, by stream copy: it starts at
// the last key frame at or before the start (never later), and ends with the
// last picture before the end. Times count from the recording's first
// picture, the origin.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>

#include "libs/feed/Joined.h"

namespace feed {

class CCut {
public:
    static constexpr int64_t kOpen = -1;

    // nFrom/nTo in 90 kHz ticks from the origin, kOpen for an open end. The
    // origin is the first key frame's presentation time, learnt from the
    // records unless given (a second output of a join keeps the first's).
    CCut(int64_t nFrom, int64_t nTo);
    void SetOrigin(int64_t nOrigin);

    using EmitFn = std::function<bool(const TessaroFrame&)>;
    // The next record in stream order; emit gets each record to keep, in
    // order. False when emit refused one.
    bool Take(const TessaroFrame& f, const EmitFn& emit);
    // The recording ended: records still held for a later start go out.
    bool Flush(const EmitFn& emit);

    // True once no later record can be kept: reading may stop.
    bool Done() const { return m_bDone; }
    bool OriginKnown() const { return m_bOrigin; }
    int64_t Origin() const { return m_nOrigin; }
    // The presentation time of the first picture kept, once records went out.
    bool Started() const { return m_bReleased; }
    int64_t StartPts() const { return m_nStartPts; }
    // How far before the asked start the kept part begins, in ticks.
    int64_t StartsBefore() const;

private:
    bool TakeVideo(const TessaroFrame& f, const EmitFn& emit);
    bool Release(const EmitFn& emit);
    void HoldFrom(const TessaroFrame& key);
    void Hold(const TessaroFrame& f);

    int64_t m_nFrom;
    int64_t m_nTo;
    bool m_bOrigin = false;
    int64_t m_nOrigin = 0;
    bool m_bReleased = false;
    bool m_bDone = false;
    int64_t m_nStartPts = 0;
    bool m_bKeyHeld = false;
    std::deque<SHeldRecord> m_held;
    size_t m_nHeldBytes = 0;
};

}  // namespace feed

#include "Clock.h"

#include "log/Log.h"

namespace tessaro {

int64_t Clock::unwrap(uint64_t raw) {
    raw &= kStampMask;
    if (!m_haveRef) {
        m_haveRef = true;
        m_refRaw = raw;
        m_refExt = static_cast<int64_t>(raw);
        return m_refExt;
    }
    // The nearer way round: the two streams and B-frames step both ways.
    int64_t d = static_cast<int64_t>((raw - m_refRaw) & kStampMask);
    if (d >= int64_t{1} << 32) d -= int64_t{1} << 33;
    m_refRaw = raw;
    m_refExt += d;
    return m_refExt;
}

int64_t Clock::offsetFor(int64_t ext, bool haveLast, int64_t last, int64_t maxBack, int64_t next, bool& jumped) {
    jumped = false;
    auto near = [&](int64_t t) { return t >= last - maxBack && t <= last + kMaxStepForward; };
    if (!haveLast) {
        // A stream's first stamp: the correction that puts it near the other
        // stream, the current one when none does (audio held back for a map
        // arrives late).
        last = m_latest;
        maxBack = kMaxStepBack;
        if (m_havePrev && m_placed && !near(ext + m_offset) && near(ext + m_prevOffset)) return m_prevOffset;
        return m_offset;
    }
    if (near(ext + m_offset)) return m_offset;
    if (m_havePrev && near(ext + m_prevOffset)) return m_prevOffset;
    m_prevOffset = m_offset;
    m_havePrev = true;
    m_offset = next - ext;
    jumped = true;
    TRELVO_LOG_DEBUG("tessaro", "the recorder's clock jumped (%lld ticks from the last time); the times go on at %lld",
                     static_cast<long long>(ext + m_prevOffset - last), static_cast<long long>(next));
    return m_offset;
}

void Clock::note(int64_t t) {
    m_latest = t;
    m_placed = true;
}

}  // namespace tessaro

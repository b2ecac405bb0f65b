#include "libs/feed/Cut.h"

#include <algorithm>

#include "libs/tessaro/Limits.h"

namespace feed {

namespace {

// A start that waits longer than this for its key frame's group to end
// begins at that key frame anyway (still at or before the asked start).
constexpr size_t kMaxHeldBytes = size_t{64} << 20;
// Sound before the recording's first key frame, kept for the writer to trim.
constexpr size_t kMaxEarlyBytes = size_t{1} << 20;

int64_t ShowTime(const TessaroFrame& f) {
    return f.nPts != TESSARO_NO_TIME ? f.nPts : f.nDts;
}

}  // namespace

CCut::CCut(int64_t nFrom, int64_t nTo) : m_nFrom(std::max<int64_t>(nFrom, 0)), m_nTo(nTo) {}

void CCut::SetOrigin(int64_t nOrigin) {
    m_bOrigin = true;
    m_nOrigin = nOrigin;
}

int64_t CCut::StartsBefore() const {
    if (!m_bReleased || !m_bOrigin) return 0;
    return std::max<int64_t>(m_nOrigin + m_nFrom - m_nStartPts, 0);
}

bool CCut::Take(const TessaroFrame& f, const EmitFn& emit) {
    if (m_bDone) return true;
    if (f.nFrameType == TESSARO_FRAME_VIDEO) return TakeVideo(f, emit);
    if (m_nTo != kOpen && m_bOrigin && f.nPts != TESSARO_NO_TIME && f.nPts >= m_nOrigin + m_nTo) return true;
    if (m_bReleased) return emit(f);
    Hold(f);
    return true;
}

bool CCut::TakeVideo(const TessaroFrame& f, const EmitFn& emit) {
    const int64_t t = ShowTime(f);
    const bool bKey = IsStartKey(f);
    if (!m_bOrigin && bKey && t != TESSARO_NO_TIME) SetOrigin(t);
    if (!m_bOrigin) return true;  // nothing before the first key frame can be shown
    // Pictures come in decoding order: from the first one shown at or after
    // the end on, nothing is kept (a later one could only lean on it).
    if (m_nTo != kOpen && t != TESSARO_NO_TIME && t >= m_nOrigin + m_nTo) {
        m_bDone = true;
        return m_bReleased || !m_bKeyHeld || Release(emit);
    }
    if (m_bReleased) return emit(f);
    if (bKey && t != TESSARO_NO_TIME && t <= m_nOrigin + m_nFrom) {
        HoldFrom(f);
        return true;
    }
    if (!m_bKeyHeld) {
        if (!bKey) return true;  // cannot start a file
        // This part's first key frame lies past the start: it begins here.
        HoldFrom(f);
        return Release(emit);
    }
    Hold(f);
    if ((t != TESSARO_NO_TIME && t >= m_nOrigin + m_nFrom) || m_nHeldBytes >= kMaxHeldBytes) return Release(emit);
    return true;
}

// A key frame at or before the start: what was held for an earlier one goes,
// except the sound of the last second, which may belong to this one.
void CCut::HoldFrom(const TessaroFrame& key) {
    const int64_t nKeep = ShowTime(key) - timing::kCutSoundBefore;
    std::deque<SHeldRecord> kept;
    m_nHeldBytes = 0;
    for (SHeldRecord& h : m_held) {
        if (h.frame.nFrameType != TESSARO_FRAME_AUDIO) continue;
        if (h.frame.nPts != TESSARO_NO_TIME && h.frame.nPts < nKeep) continue;
        m_nHeldBytes += h.payload.size();
        kept.push_back(std::move(h));
    }
    m_held.swap(kept);
    m_bKeyHeld = true;
    Hold(key);
}

void CCut::Hold(const TessaroFrame& f) {
    m_held.emplace_back(f);
    m_nHeldBytes += m_held.back().payload.size();
    if (m_bKeyHeld) return;
    while (m_nHeldBytes > kMaxEarlyBytes && !m_held.empty()) {
        m_nHeldBytes -= m_held.front().payload.size();
        m_held.pop_front();
    }
}

bool CCut::Release(const EmitFn& emit) {
    m_bReleased = true;
    const auto it = std::find_if(m_held.begin(), m_held.end(),
                                 [](const SHeldRecord& h) { return h.frame.nFrameType == TESSARO_FRAME_VIDEO; });
    if (it != m_held.end()) m_nStartPts = ShowTime(it->frame);
    std::deque<SHeldRecord> held;
    held.swap(m_held);
    m_nHeldBytes = 0;
    for (const SHeldRecord& h : held) {
        if (!emit(h.frame)) return false;
    }
    return true;
}

bool CCut::Flush(const EmitFn& emit) {
    if (m_bReleased || !m_bKeyHeld) return true;
    return Release(emit);
}

}  // namespace feed

#include "VideoClock.h"

#include "libs/tessaro/Limits.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"

#include <algorithm>
#include <numeric>

extern "C" {
#include <libavutil/mathematics.h>
}

namespace {

// Multiples of 90 kHz beyond this make a timescale players dislike; such
// rates are stamped at 90 kHz with rounding that never accumulates.
constexpr int64_t kMaxScale = 16;
constexpr int64_t kMaxRate = 1000000;
// One picture in an hour: slower "rates" are not meant.
constexpr int64_t kMinRateSeconds = 3600;
// A record more than this behind the one before has a stray time; so has
// one this far ahead (a step the track could not hold either).
constexpr int64_t kFarBehind = timing::kMp4VideoFarBehind;
constexpr int64_t kFarAhead = timing::kMp4VideoFarAhead;
// Reordering never holds a picture back this long; a larger gap between the
// decode and presentation times is a stray time.
constexpr int64_t kMaxReorder = timing::kMp4MaxReorder;
// Record times beyond this magnitude are not meant (and would overflow).
constexpr int64_t kMaxTime = timing::kMaxTime;

bool Sane(int64_t nTime) {
    return nTime != TESSARO_NO_TIME && nTime > -kMaxTime && nTime < kMaxTime;
}

bool SaneRate(int64_t nNum, int64_t nDen) {
    return nNum > 0 && nDen > 0 && nNum * kMinRateSeconds >= nDen && nNum <= kMaxRate * nDen;
}

}  // namespace

int64_t CVideoClock::ChooseTimescale(const TessaroFrame& key) {
    const int64_t nNum = key.nRateNum;
    const int64_t nDen = key.nRateDen;
    if (Sane(key.nPts) || Sane(key.nDts) || !SaneRate(nNum, nDen)) return INPUT_TICKS;
    const int64_t nScale = nNum / std::gcd(INPUT_TICKS * nDen, nNum);
    return nScale <= kMaxScale ? INPUT_TICKS * nScale : INPUT_TICKS;
}

CVideoClock::CVideoClock(int64_t nTimescale) : m_nScale(std::max<int64_t>(nTimescale / INPUT_TICKS, 1)) {}

void CVideoClock::UpdateRate(const TessaroFrame& frame) {
    int64_t nNum = frame.nRateNum;
    int64_t nDen = frame.nRateDen;
    if (!SaneRate(nNum, nDen)) {
        nNum = std::min<int64_t>(frame.nFrameRate, kMaxRate);
        nDen = 1;
    }
    if (!SaneRate(nNum, nDen)) return;
    const int64_t g = std::gcd(nNum, nDen);
    nNum /= g;
    nDen /= g;
    if (nNum == m_nRateNum && nDen == m_nRateDen) return;
    // The counter goes on from where the old rate put this picture.
    m_nAnchorDts = CounterDts();
    m_nAnchorFrame = m_nFrames;
    m_nRateNum = nNum;
    m_nRateDen = nDen;
}

int64_t CVideoClock::CounterDts() const {
    if (m_nFrames == 0) return 0;
    return m_nAnchorDts + av_rescale(m_nFrames - m_nAnchorFrame, Timescale() * m_nRateDen, m_nRateNum);
}

int64_t CVideoClock::Step() const {
    return std::max<int64_t>(av_rescale(1, Timescale() * m_nRateDen, m_nRateNum), 1);
}

bool CVideoClock::ToOutput(int64_t nIn, int64_t* pOut) const {
    if (!m_bZeroKnown || !Sane(nIn)) return false;
    *pOut = nIn * m_nScale - m_nOffset;
    return true;
}

// A record far behind or ahead of the last one is stamped by the counter.
// When the next record agrees with it, the recorder's clock itself jumped:
// zero follows so that the times go on from the first of the two.
bool CVideoClock::Plausible(int64_t nInDts, int64_t nCounter) {
    int64_t nDts = 0;
    if (ToOutput(nInDts, &nDts) && nDts >= m_nLastDts - kFarBehind * m_nScale &&
        nDts <= m_nLastDts + kFarAhead * m_nScale) {
        m_bSuspect = false;
        return true;
    }
    if (m_bSuspect && nInDts > m_nSuspectIn && nInDts - m_nSuspectIn < kFarBehind) {
        m_nOffset = m_nSuspectIn * m_nScale - m_nSuspectOut;
        m_bSuspect = false;
        TRELVO_LOG_DEBUG("mp4", "the recorder's clock jumped at %lld; the video times go on from there",
                         static_cast<long long>(m_nSuspectIn));
        return true;
    }
    TRELVO_LOG_DEBUG("mp4", "a picture's time %lld is far from the last: stamped by the frame counter",
                     static_cast<long long>(nInDts));
    m_bSuspect = true;
    m_nSuspectIn = nInDts;
    m_nSuspectOut = nCounter;
    return false;
}

bool CVideoClock::Stamp(const TessaroFrame& frame, SStamp* pStamp) {
    UpdateRate(frame);
    const int64_t nInDts = Sane(frame.nDts) ? frame.nDts : Sane(frame.nPts) ? frame.nPts : TESSARO_NO_TIME;
    int64_t nInPts = Sane(frame.nPts) ? frame.nPts : nInDts;
    if (nInPts < nInDts || nInPts - nInDts > kMaxReorder) nInPts = nInDts;
    const bool bTimed = nInDts != TESSARO_NO_TIME;
    const int64_t nCounter = m_nFrames == 0 ? 0 : std::max(CounterDts(), m_nLastDts + 1);
    if (bTimed && !m_bZeroKnown) {
        // The first key frame shows at zero; times that only begin later go
        // on from where the counter is.
        m_nOffset = m_nFrames == 0 ? nInPts * m_nScale : nInDts * m_nScale - nCounter;
        m_bZeroKnown = true;
    }
    int64_t nDts = nCounter;
    int64_t nPts = nCounter;
    if (bTimed && (m_nFrames == 0 || Plausible(nInDts, nCounter)) && ToOutput(nInDts, &nDts) &&
        ToOutput(nInPts, &nPts)) {
        if (nPts < 0 && m_nFrames > 0 && frame.nFrameKind != TESSARO_KIND_KEY) return false;
        if (m_nFrames > 0 && nDts <= m_nLastDts) nDts = m_nLastDts + 1;
        nPts = std::max(nPts, nDts);
        m_nAnchorDts = nDts;
        m_nAnchorFrame = m_nFrames;
    } else {
        nDts = nPts = nCounter;
    }

    // The muxer takes each picture's duration from the next decode time; this
    // one only counts for the last picture: the step before it, unless that
    // was a gap.
    const int64_t nStep = Step();
    if (m_nFrames > 0) m_nLastStep = nDts - m_nLastDts;
    pStamp->nDuration = m_nLastStep > 0 && m_nLastStep <= 4 * nStep ? m_nLastStep : nStep;
    pStamp->nDts = nDts;
    pStamp->nPts = nPts;
    m_nLastDts = nDts;
    ++m_nFrames;
    return true;
}

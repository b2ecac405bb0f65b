#include "libs/feed/Start.h"

#include <algorithm>

namespace feed {

namespace {
// Records held behind the first key frame while the next picture is awaited.
constexpr size_t kMaxHeld = 256;
}  // namespace

int64_t SettledFirstDts(const TessaroFrame& first, const TessaroFrame& next) {
    if (!(next.nFlags & TESSARO_FLAG_AFTER_DROPPED) || first.nDts == TESSARO_NO_TIME || first.nPts == TESSARO_NO_TIME ||
        next.nDts == TESSARO_NO_TIME)
        return first.nDts;
    int64_t nFrame = 0;
    if (first.nRateNum > 0 && first.nRateDen > 0)
        nFrame = kTicksPerSecond * first.nRateDen / first.nRateNum;
    else if (first.nFrameRate > 0)
        nFrame = kTicksPerSecond / first.nFrameRate;
    if (nFrame <= 0) return first.nDts;
    // Never after its own presentation, never earlier than it was.
    return std::max(first.nDts, std::min(first.nPts, next.nDts - nFrame));
}

void CStartingParser::InputEnd() {
    m_pInner->InputEnd();
    m_bEnded = true;
}

// Takes records behind the held key frame until a picture comes (or the
// input ends, or too much waits), then hands out the first of them.
const TessaroFrame* CStartingParser::Hold() {
    while (m_state == EState::Holding) {
        const TessaroFrame* pFrame = m_pInner->GetNextFrame();
        if (!pFrame) {
            if (!m_bEnded && m_held.size() < kMaxHeld) return nullptr;
            m_state = EState::Passing;
            break;
        }
        if (pFrame->nFrameType == TESSARO_FRAME_VIDEO) {
            m_held.front().frame.nDts = SettledFirstDts(m_held.front().frame, *pFrame);
            m_state = EState::Passing;
        }
        m_held.emplace_back(*pFrame);
    }
    m_current.emplace(std::move(m_held.front()));
    m_held.pop_front();
    return &m_current->frame;
}

const TessaroFrame* CStartingParser::GetNextFrame() {
    if (!m_held.empty() && m_state != EState::Holding) {
        m_current.emplace(std::move(m_held.front()));
        m_held.pop_front();
        return &m_current->frame;
    }
    if (m_state == EState::Holding) return Hold();
    const TessaroFrame* pFrame = m_pInner->GetNextFrame();
    if (!pFrame || m_state == EState::Passing || !IsStartKey(*pFrame)) return pFrame;
    m_state = EState::Holding;
    m_held.emplace_back(*pFrame);
    return Hold();
}

std::unique_ptr<IFrameParser> CreateStartingParser() {
    std::unique_ptr<IFrameParser> pInner = CreateTessaroParser();
    if (!pInner) return nullptr;
    return std::make_unique<CStartingParser>(std::move(pInner));
}

}  // namespace feed

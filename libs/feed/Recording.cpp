#include "libs/feed/Recording.h"

#include <cstdio>
#include <ctime>

namespace feed {

std::string IsoUtc(int64_t nUs) {
    constexpr int64_t kUsPerSecond = 1000000;
    int64_t nSeconds = nUs / kUsPerSecond;
    int64_t nRest = nUs % kUsPerSecond;
    if (nRest < 0) {
        nRest += kUsPerSecond;
        --nSeconds;
    }
    const auto t = static_cast<std::time_t>(nSeconds);
    std::tm tm{};
    if (::gmtime_r(&t, &tm) == nullptr) return {};
    char sz[64];
    std::snprintf(sz, sizeof sz, "%04d-%02d-%02dT%02d:%02d:%02d.%06dZ", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                  tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(nRest));
    return sz;
}

CRecording::CRecording(size_t nInputs, uint64_t nTotalBytes, OpenInputFn openInput, CreateParserFn createParser)
    : m_nInputs(nInputs),
      m_nTotalBytes(nTotalBytes),
      m_openInput(std::move(openInput)),
      m_createParser(std::move(createParser)) {}

void CRecording::SetCut(int64_t nFrom, int64_t nTo) {
    m_nFrom = nFrom;
    m_nTo = nTo;
}

void CRecording::Continue(const STimeline& timeline, int64_t nOrigin) {
    m_start = timeline;
    m_bOrigin = true;
    m_nOrigin = nOrigin;
}

// The first input that named its video speaks for the recording; a change
// of codec inside any input is told with where it came.
void CRecording::NoteStatus(IFrameParser& parser) {
    TessaroStatus status{};
    if (!parser.GetStatus(status)) return;
    const uint32_t nChanged = m_status.nFlags & TESSARO_STATUS_VIDEO_CHANGED;
    const uint64_t nChangeAt = m_status.nVideoChangeAt;
    if (m_status.nVideoCodec == 0) m_status = status;
    if (nChanged != 0) {
        m_status.nFlags |= nChanged;
        m_status.nVideoChangeAt = nChangeAt;
    } else if (status.nFlags & TESSARO_STATUS_VIDEO_CHANGED) {
        m_status.nFlags |= TESSARO_STATUS_VIDEO_CHANGED;
        m_status.nVideoChangeAt = status.nVideoChangeAt;
    }
}

SJoinEnd CRecording::Run(const SFeedHooks& hooks) {
    m_cut = CCut(m_nFrom, m_nTo);
    if (m_bOrigin) m_cut.SetOrigin(m_nOrigin);
    m_status = TessaroStatus{};
    CTimelineJoiner joiner(m_start);
    bool bRefused = false;
    const CCut::EmitFn emit = [&](const TessaroFrame& f) {
        bRefused = !hooks.onFrame(f);
        return !bRefused;
    };
    SFeedHooks inner;
    inner.onFrame = [&](const TessaroFrame& f) { return m_cut.Take(f, emit) && !m_cut.Done(); };
    inner.onProgress = hooks.onProgress;
    inner.shouldStop = hooks.shouldStop;
    SJoinEnd end = FeedJoined(m_nInputs, m_nTotalBytes, m_openInput, m_createParser, joiner, inner,
                              [this](IFrameParser& parser) { NoteStatus(parser); });
    if (end.end == EFeedEnd::Refused && !bRefused) end.end = EFeedEnd::End;  // the end of the cut
    if (end.end == EFeedEnd::End && !m_cut.Flush(emit)) end.end = EFeedEnd::Refused;
    m_timeline = joiner.Timeline();
    return end;
}

}  // namespace feed

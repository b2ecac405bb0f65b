#include "libs/feed/Joined.h"

#include <algorithm>

#include "log/Log.h"

namespace feed {

namespace {

constexpr int64_t kWrap = timing::kStampWrap;
// Records of an input held until its first picture fixes where it goes.
constexpr size_t kMaxWaitingRecords = 1024;
constexpr size_t kMaxWaitingBytes = size_t{4} << 20;
// How far past the first key frame a probe looks for sound.
constexpr int kProbeRecordsAfterKey = 256;
constexpr uint64_t kProbeBytesAfterKey = uint64_t{4} << 20;
// A picture's duration when the record gives no rate: 25 fps.
constexpr int64_t kDefaultStep = timing::kDefaultPictureStep;

int64_t FirstTime(const TessaroFrame& f) {
    return f.nDts != TESSARO_NO_TIME ? f.nDts : f.nPts;
}

// One picture's duration at the record's rate.
int64_t PictureStep(const TessaroFrame& f, int64_t nLastStep) {
    if (f.nRateNum > 0 && f.nRateDen > 0) {
        const int64_t n = kTicksPerSecond * f.nRateDen / f.nRateNum;
        if (n > 0 && n <= timing::kMaxPictureStep) return n;
    }
    if (f.nFrameRate > 0) return kTicksPerSecond / std::min<uint32_t>(f.nFrameRate, kTicksPerSecond);
    return nLastStep > 0 ? nLastStep : kDefaultStep;
}

}  // namespace

namespace {

// The record's pointers at the held copies.
void Repoint(SHeldRecord& r) {
    r.frame.pPayload = r.payload.empty() ? nullptr : r.payload.data();
    r.frame.pNalUnits = r.units.empty() ? nullptr : r.units.data();
    r.frame.nNalUnits = static_cast<uint32_t>(r.units.size());
}

}  // namespace

SHeldRecord::SHeldRecord(const TessaroFrame& f) : frame(f) {
    if (f.pPayload != nullptr) payload.assign(f.pPayload, f.pPayload + f.nPayloadLen);
    if (f.pNalUnits != nullptr) units.assign(f.pNalUnits, f.pNalUnits + f.nNalUnits);
    Repoint(*this);
}

SHeldRecord::SHeldRecord(SHeldRecord&& other) noexcept
    : frame(other.frame), payload(std::move(other.payload)), units(std::move(other.units)) {
    Repoint(*this);
}

SHeldRecord& SHeldRecord::operator=(SHeldRecord&& other) noexcept {
    frame = other.frame;
    payload = std::move(other.payload);
    units = std::move(other.units);
    Repoint(*this);
    return *this;
}

void CTimelineJoiner::BeginInput() {
    m_bAnchored = false;
    m_nOffset = 0;
    m_nLastStep = 0;
}

void CTimelineJoiner::Anchor(int64_t nTime, bool bDerived) {
    if (m_bAnchored || nTime == TESSARO_NO_TIME) return;
    m_bAnchored = true;
    if (!m_timeline.bStarted) return;  // the first pictures keep their own times
    int64_t nGap = 0;
    // Only two recorder clocks can say there was a gap between them.
    if (!bDerived && !m_timeline.bClockDerived) {
        const int64_t d = ((nTime - m_timeline.nClockEnd) % kWrap + kWrap) % kWrap;
        if (d < timing::kMaxJoinGap) nGap = d;
    }
    m_nOffset = m_timeline.nEnd + nGap - nTime;
    TRELVO_LOG_DEBUG("join", "the input goes on %.3f s after the one before%s",
                     static_cast<double>(nGap) / kTicksPerSecond,
                     nGap == 0 ? " (no clock to say there was a gap, or a clock that started again)" : ": a gap kept");
}

void CTimelineJoiner::Shift(TessaroFrame& frame) {
    const int64_t nRaw = FirstTime(frame);
    if (frame.nPts != TESSARO_NO_TIME) frame.nPts += m_nOffset;
    if (frame.nDts != TESSARO_NO_TIME) frame.nDts += m_nOffset;
    if (frame.nFrameType != TESSARO_FRAME_VIDEO || nRaw == TESSARO_NO_TIME) return;
    const int64_t nStep = PictureStep(frame, m_nLastStep);
    m_nLastStep = nStep;
    const int64_t nEnd = nRaw + m_nOffset + nStep;
    m_timeline.nEnd = m_timeline.bStarted ? std::max(m_timeline.nEnd, nEnd) : nEnd;
    m_timeline.nClockEnd = nRaw + nStep;
    m_timeline.bClockDerived = (frame.nFlags & TESSARO_FLAG_TIME_DERIVED) != 0;
    m_timeline.bStarted = true;
}

namespace {

// One input through its parser, its records held until the input's first
// picture fixes its place on the timeline.
class CInputFeed {
public:
    CInputFeed(CTimelineJoiner& joiner, const SFeedHooks& hooks) : m_joiner(joiner), m_hooks(hooks) {}

    bool Take(const TessaroFrame& f) {
        if (m_joiner.Anchored()) return Pass(f);
        if (f.nFrameType == TESSARO_FRAME_VIDEO && FirstTime(f) != TESSARO_NO_TIME) {
            m_joiner.Anchor(FirstTime(f), (f.nFlags & TESSARO_FLAG_TIME_DERIVED) != 0);
            return Release() && Pass(f);
        }
        m_waiting.emplace_back(f);
        m_nBytes += f.nPayloadLen;
        // Sound with no picture in sight goes by its own time.
        if (m_waiting.size() >= kMaxWaitingRecords || m_nBytes >= kMaxWaitingBytes) return End();
        return true;
    }

    // The input ended (or holds too much): what waits goes by the first time it has.
    bool End() {
        for (const SHeldRecord& h : m_waiting) m_joiner.Anchor(FirstTime(h.frame), false);
        return Release();
    }

private:
    bool Pass(TessaroFrame f) {
        m_joiner.Shift(f);
        return m_hooks.onFrame(f);
    }

    bool Release() {
        std::vector<SHeldRecord> waiting;
        waiting.swap(m_waiting);
        m_nBytes = 0;
        for (const SHeldRecord& h : waiting) {
            if (!Pass(h.frame)) return false;
        }
        return true;
    }

    CTimelineJoiner& m_joiner;
    const SFeedHooks& m_hooks;
    std::vector<SHeldRecord> m_waiting;
    size_t m_nBytes = 0;
};

}  // namespace

SJoinEnd FeedJoined(size_t nInputs, uint64_t nTotalBytes, const OpenInputFn& openInput,
                    const CreateParserFn& createParser, CTimelineJoiner& joiner, const SFeedHooks& hooks,
                    const std::function<void(IFrameParser&)>& onInputDone) {
    uint64_t nDoneBefore = 0;
    for (size_t i = 0; i < nInputs; ++i) {
        SJoinEnd end;
        end.nInput = i;
        const std::unique_ptr<IInputReader> pInput = openInput(i);
        if (!pInput) {
            end.end = EFeedEnd::ReadError;
            end.bOpenFailed = true;
            return end;
        }
        const std::unique_ptr<IFrameParser> pParser = createParser();
        if (!pParser) {
            end.end = EFeedEnd::ReadError;
            end.bNoParser = true;
            return end;
        }
        joiner.BeginInput();
        CInputFeed input(joiner, hooks);
        SFeedHooks inner;
        inner.onFrame = [&](const TessaroFrame& f) { return input.Take(f); };
        inner.onProgress = [&](uint64_t nDone, uint64_t) {
            if (hooks.onProgress) hooks.onProgress(nDoneBefore + nDone, nTotalBytes);
        };
        inner.shouldStop = hooks.shouldStop;
        end.end = Feed(*pInput, *pParser, inner);
        if (end.end == EFeedEnd::End && !input.End()) end.end = EFeedEnd::Refused;
        if (onInputDone) onInputDone(*pParser);
        if (end.end == EFeedEnd::ReadError) end.strError = pInput->ErrorText();
        if (end.end != EFeedEnd::End) return end;
        nDoneBefore += pInput->Size();
    }
    return SJoinEnd{};
}

bool ProbeShape(IInputReader& input, IFrameParser& parser, SStreamShape& shape) {
    shape = SStreamShape{};
    int nAfterKey = 0;
    uint64_t nBytes = 0;
    uint64_t nBytesAtKey = 0;
    SFeedHooks hooks;
    hooks.onFrame = [&](const TessaroFrame& f) {
        if (f.nFrameType == TESSARO_FRAME_AUDIO && !shape.bAudio && f.nPayloadLen > 0) {
            shape.bAudio = true;
            shape.nAudioCodec = f.nCodec;
            shape.nSampleRate = f.nSampleRate;
            shape.nChannels = f.nChannels;
        }
        if (!shape.bVideo && IsStartKey(f)) {
            shape.bVideo = true;
            shape.nCodec = f.nCodec == TESSARO_CODEC_H265 ? TESSARO_CODEC_H265 : TESSARO_CODEC_H264;
            shape.nWidth = f.nWidth;
            shape.nHeight = f.nHeight;
            const bool bExact = f.nRateNum > 0 && f.nRateDen > 0;
            shape.nRateNum = bExact ? f.nRateNum : f.nFrameRate;
            shape.nRateDen = bExact ? f.nRateDen : 1;
        } else if (shape.bVideo) {
            ++nAfterKey;
        }
        return !(shape.bVideo && (shape.bAudio || nAfterKey >= kProbeRecordsAfterKey));
    };
    hooks.onProgress = [&](uint64_t nDone, uint64_t) {
        if (!shape.bVideo) nBytesAtKey = nDone;
        nBytes = nDone;
    };
    hooks.shouldStop = [&] { return shape.bVideo && nBytes - nBytesAtKey >= kProbeBytesAfterKey; };
    const EFeedEnd end = Feed(input, parser, hooks);
    return end != EFeedEnd::ReadError && end != EFeedEnd::Shrunk;
}

std::string ShapeChange(const SStreamShape& current, const SStreamShape& next, bool bOneRate, bool bG711ToAac) {
    auto kept = [&](int32_t nCodec) {
        return bG711ToAac && nCodec == TESSARO_AUDIO_MULAW ? int32_t{TESSARO_AUDIO_ALAW} : nCodec;
    };
    if (current.bVideo && next.bVideo) {
        if (current.nCodec != next.nCodec) return "the video codec";
        if (current.nWidth != next.nWidth || current.nHeight != next.nHeight) return "the picture size";
        // Pictures of another rate on one fixed grid would drift from their sound.
        if (bOneRate && uint64_t{current.nRateNum} * next.nRateDen != uint64_t{next.nRateNum} * current.nRateDen)
            return "the picture rate";
    }
    if (next.bAudio && (!current.bAudio || kept(current.nAudioCodec) != kept(next.nAudioCodec) ||
                        current.nSampleRate != next.nSampleRate || current.nChannels != next.nChannels))
        return "the sound";
    return {};
}

}  // namespace feed

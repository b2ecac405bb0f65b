#include "AudioTrack.h"

#include "AacEncoder.h"
#include "AudioDecoder.h"
#include "CodedAudioDecoder.h"
#include "libs/tessaro/Limits.h"
#include "libs/tessaro/Records.h"
#include "libs/tessaro/tessaro.h"
#include "log/Log.h"

#include <algorithm>
#include <cstdlib>
#include <string>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/mathematics.h>
}

using namespace trelvo::mp4;

namespace {

constexpr int64_t kInputTicks = timing::kTicksPerSecond;
constexpr uint32_t kMaxChannels = 8;
constexpr uint32_t kMaxSampleRate = 384000;
// Records before the header are held for this long, and this much at most.
constexpr int64_t kHoldTicks = timing::kMp4HoldTicks;
constexpr size_t kMaxHeldBytes = 1 << 20;
constexpr size_t kMaxHeld = 512;
// Sound this far from where its time puts it is moved back to its time.
constexpr int64_t kToleranceMs = timing::kMp4AudioToleranceMs;
// Farther than this, a record's time is not believed: it follows on.
constexpr int64_t kMaxGapSeconds = timing::kMp4AudioMaxGapSeconds;
constexpr int64_t kFarBehindSeconds = timing::kMp4AudioFarBehindSeconds;
// Silence beyond the sound that really came, at most: times that claim
// days of gaps must not make days of work.
constexpr int64_t kFreeSilenceSeconds = timing::kMp4FreeSilenceSeconds;
constexpr int64_t kMaxTime = timing::kMaxTime;

enum : unsigned { kWarnNotAac = 1, kWarnOtherConfig = 2, kWarnBlocks = 4 };

// Audio the converter can take: 16-bit samples (24 for 24-bit PCM), a sane
// layout and rate.
bool IsUsableAudio(const TessaroFrame& f) {
    const uint32_t nBits = f.nCodec == TESSARO_AUDIO_PCM24 ? 24 : 16;
    return f.nChannels >= 1 && f.nChannels <= kMaxChannels && f.nSampleRate >= 1 && f.nSampleRate <= kMaxSampleRate &&
           f.nBitsPerSample == nBits && f.pPayload != nullptr && f.nPayloadLen != 0;
}

bool Sane(int64_t nTime) {
    return nTime != TESSARO_NO_TIME && nTime > -kMaxTime && nTime < kMaxTime;
}

}  // namespace

struct CAudioTrack::SHeld {
    TessaroFrame frame;
    std::vector<uint8_t> payload;
};

// One record's samples as the encoder takes them.
struct CAudioTrack::SPcm {
    const uint8_t* planes[CAacEncoder::MAX_INPUT_CHANNELS] = {};
    int64_t nSamples = 0;
    int nChannels = 0;
    int nRate = 0;
    CAacEncoder::EInput eInput = CAacEncoder::EInput::S16;
};

CAudioTrack::CAudioTrack(IPacketSink& sink) : m_sink(sink) {}

CAudioTrack::~CAudioTrack() = default;

bool CAudioTrack::Decide(const TessaroFrame& frame) {
    if (!IsUsableAudio(frame)) return false;
    if (frame.nCodec == TESSARO_AUDIO_AAC) {
        SAdtsHeader h;
        if (!ParseAdts(frame.pPayload, frame.nPayloadLen, &h)) return false;
        m_adts = h;
        m_eKind = CanCopy(h) ? EKind::Copy : EKind::Encode;
        m_nRate = h.nSampleRate;
        m_nChannels = h.nChannels != 0 ? h.nChannels : static_cast<int>(frame.nChannels);
    } else {
        m_eKind = EKind::Encode;
        m_nRate = static_cast<int>(frame.nSampleRate);
        m_nChannels = static_cast<int>(frame.nChannels);
    }
    return true;
}

int32_t CAudioTrack::Early(const TessaroFrame& frame) {
    if (!Decide(frame) || !Sane(frame.nPts) || frame.nPayloadLen > kMaxHeldBytes) return 0;
    while (!m_held.empty() &&
           (!Sane(m_held.front().frame.nPts) || std::abs(frame.nPts - m_held.front().frame.nPts) > kHoldTicks ||
            m_nHeldBytes + frame.nPayloadLen > kMaxHeldBytes || m_held.size() >= kMaxHeld)) {
        m_nHeldBytes -= m_held.front().payload.size();
        m_held.pop_front();
    }
    SHeld& held = m_held.emplace_back();
    held.frame = frame;
    held.payload.assign(frame.pPayload, frame.pPayload + frame.nPayloadLen);
    held.frame.pPayload = held.payload.data();
    m_nHeldBytes += held.payload.size();
    return 1;
}

const CAudioTrack::SShape& CAudioTrack::Declare() {
    m_shape = SShape{};
    if (m_eKind == EKind::Copy) {
        m_shape.bCopy = true;
        m_shape.nRate = m_adts.nSampleRate;
        m_shape.nChannels = m_adts.nChannels;
        m_shape.config = AacConfig(m_adts);
        return m_shape;
    }
    const int nRate = m_eKind == EKind::None ? 8000 : m_nRate;
    const int nChannels = m_eKind == EKind::None ? 1 : m_nChannels;
    CAacEncoder::TrackShape(nRate, nChannels, &m_shape.nRate, &m_shape.nChannels);
    m_shape.config = CAacEncoder::TrackConfig(m_shape.nRate, m_shape.nChannels);
    return m_shape;
}

void CAudioTrack::Start(bool bStream) {
    m_eMode = EMode::Off;
    if (bStream && m_shape.bCopy) {
        m_pCopy = std::make_unique<CAacCopy>(m_adts, m_sink);
        m_eMode = EMode::Copy;
    } else if (bStream && !m_shape.config.empty()) {
        // Opened with the first sound: a file without any needs no encoder.
        m_pEncoder = std::make_unique<CAacEncoder>(m_shape.nRate, m_shape.nChannels, m_sink);
        m_eMode = EMode::Encode;
    }
    // Without a time for the first picture the held sound cannot be placed:
    // it is dropped, and what follows starts the track. So is sound from
    // long before the first picture.
    std::deque<SHeld> held;
    held.swap(m_held);
    m_nHeldBytes = 0;
    for (const SHeld& h : held) {
        int64_t nPos = 0;
        if (Expected(h.frame, &nPos) && nPos >= -kFarBehindSeconds * m_shape.nRate) Input(h.frame);
    }
}

void CAudioTrack::SetZero(int64_t nZero) {
    m_bZeroKnown = true;
    m_nZero = nZero;
}

int32_t CAudioTrack::Input(const TessaroFrame& frame) {
    if (!IsUsableAudio(frame)) return 0;
    switch (m_eMode) {
        case EMode::Off:
            return 1;  // no track to feed: consumed without output
        case EMode::Copy:
            return InputCopy(frame);
        case EMode::Encode:
            return InputEncode(frame);
        case EMode::Failed:
            break;
    }
    return -1;
}

// Where the record's first sample belongs on the track, by its time; false
// when it has none (or the video gave no zero): it follows on.
bool CAudioTrack::Expected(const TessaroFrame& frame, int64_t* pPos) const {
    if (!m_bZeroKnown || !Sane(frame.nPts) || !Sane(m_nZero)) return false;
    *pPos = av_rescale(frame.nPts - m_nZero, m_shape.nRate, kInputTicks);
    return true;
}

bool CAudioTrack::MaySilence(int64_t nSamples) {
    const int64_t nRate = m_shape.nRate;
    if (nSamples > kMaxGapSeconds * nRate || m_nSilence + nSamples > m_nReal + kFreeSilenceSeconds * nRate)
        return false;
    TRELVO_LOG_DEBUG("mp4", "a gap of %lld samples in the sound filled with silence", static_cast<long long>(nSamples));
    m_nSilence += nSamples;
    return true;
}

void CAudioTrack::WarnOnce(unsigned nWhat, const char* pszText) {
    if ((m_nWarned & nWhat) == 0) TRELVO_LOG_WARNING("mp4", "%s", pszText);
    m_nWarned |= nWhat;
}

// The first sound that could not go on the track is the one named.
void CAudioTrack::LeaveOut(std::string strWhat) {
    if (m_strLeftOut.empty()) m_strLeftOut = std::move(strWhat);
}

int32_t CAudioTrack::InputCopy(const TessaroFrame& frame) {
    SAdtsHeader h;
    if (frame.nCodec != TESSARO_AUDIO_AAC || !ParseAdts(frame.pPayload, frame.nPayloadLen, &h)) {
        WarnOnce(kWarnNotAac, "audio other than AAC in an AAC track dropped");
        LeaveOut(tessaro::AudioCodecName(frame.nCodec) + " after AAC");
        return 0;
    }
    if (!m_pCopy->Matches(h)) {
        WarnOnce(kWarnOtherConfig, "AAC of another configuration than the track's dropped");
        LeaveOut("AAC of another layout or rate");
        return 0;
    }
    if (h.nBlocks != 1) {
        WarnOnce(kWarnBlocks, "AAC frames of several blocks dropped");
        LeaveOut("AAC frames of several blocks");
        return 0;
    }
    const int64_t nRate = m_shape.nRate;
    int64_t nPos = 0;
    const bool bTimed = Expected(frame, &nPos);
    if (!m_bStarted) {
        // A time far from the first picture's is not believed: from zero on.
        if (!bTimed || nPos < -kFarBehindSeconds * nRate || (nPos > 0 && !MaySilence(nPos))) nPos = 0;
        if (nPos <= -kAacFrameSamples) return 0;  // ends before the first picture
        // Starting after the first picture: silence from the start, its first
        // frame early enough that the edit the muxer writes trims it.
        const int64_t nSilent = (nPos + kAacFrameSamples - 1) / kAacFrameSamples;
        for (int64_t i = nSilent; i > 0; --i) {
            if (!m_pCopy->WriteSilence(nPos - i * kAacFrameSamples)) break;
        }
        m_nNext = nPos;
    } else if (bTimed) {
        // Frames are whole: the margin is over half a frame so that moving
        // by one never overshoots into the other direction.
        const int64_t nOff = nPos - m_nNext;
        const int64_t nMargin = std::max<int64_t>(nRate * kToleranceMs / 1000, kAacFrameSamples * 3 / 5);
        if (nOff < -nMargin && nOff >= -kFarBehindSeconds * nRate) {
            TRELVO_LOG_DEBUG("mp4", "an AAC frame over the sound before it dropped (%lld samples behind)",
                             static_cast<long long>(-nOff));
            return 0;
        }
        if (nOff > nMargin && MaySilence(nOff)) {
            int64_t nSilent = (nOff + kAacFrameSamples / 2) / kAacFrameSamples;
            while (nSilent > 0 && m_pCopy->WriteSilence(m_nNext)) {
                m_nNext += kAacFrameSamples;
                --nSilent;
            }
            if (nSilent > 0) m_nNext = nPos;  // no silence for this stream: a gap in the times
        }
    }
    m_pCopy->WriteFrame(frame.pPayload, h, m_nNext);
    m_nNext += kAacFrameSamples;
    m_nReal += kAacFrameSamples;
    m_bStarted = true;
    return 1;
}

// Input samples of the record to skip so that it starts where its time puts
// it; silence goes in first when it starts later than the samples so far.
int64_t CAudioTrack::AlignEncoded(const TessaroFrame& frame, int nInRate) {
    const int64_t nRate = m_shape.nRate;
    int64_t nPos = 0;
    if (!Expected(frame, &nPos)) return 0;
    const int64_t nOff = nPos - (m_bStarted ? m_pEncoder->Position() : 0);
    const int64_t nTolerance = m_bStarted ? nRate * kToleranceMs / 1000 : 0;
    if (nOff > nTolerance && MaySilence(nOff)) {
        m_pEncoder->FeedSilence(nOff);
        return 0;
    }
    if (nOff < -nTolerance && nOff >= -kFarBehindSeconds * nRate) {
        TRELVO_LOG_DEBUG("mp4", "%lld samples over the sound before them dropped", static_cast<long long>(-nOff));
        return av_rescale(-nOff, nInRate, nRate);
    }
    return 0;
}

// AAC and MPEG audio through libavcodec.
bool CAudioTrack::DecodeCoded(const TessaroFrame& frame, SPcm& pcm) {
    const CCodedAudioDecoder::EKind eKind = frame.nCodec == TESSARO_AUDIO_AAC
                                                ? CCodedAudioDecoder::EKind::Aac
                                                : CCodedAudioDecoder::MpegKind(frame.pPayload, frame.nPayloadLen);
    if (!m_pCodedDecoder || m_pCodedDecoder->Kind() != eKind)
        m_pCodedDecoder = std::make_unique<CCodedAudioDecoder>(eKind);
    const AVFrame* pDecoded = m_pCodedDecoder->Decode(frame.pPayload, frame.nPayloadLen);
    if (m_pCodedDecoder->Failed()) LeaveOut(tessaro::AudioCodecName(frame.nCodec) + " (no decoder)");
    if (pDecoded == nullptr || pDecoded->ch_layout.nb_channels > CAacEncoder::MAX_INPUT_CHANNELS) return false;
    pcm.eInput = CAacEncoder::EInput::FloatPlanar;
    pcm.nChannels = pDecoded->ch_layout.nb_channels;
    pcm.nRate = pDecoded->sample_rate;
    pcm.nSamples = pDecoded->nb_samples;
    std::copy_n(pDecoded->extended_data, pcm.nChannels, pcm.planes);
    return true;
}

// The record's samples; false when it gave none.
bool CAudioTrack::DecodeRecord(const TessaroFrame& frame, SPcm& pcm) {
    if (frame.nCodec == TESSARO_AUDIO_AAC || frame.nCodec == TESSARO_AUDIO_MPEG) return DecodeCoded(frame, pcm);
    pcm.nChannels = static_cast<int>(frame.nChannels);
    pcm.nRate = static_cast<int>(frame.nSampleRate);
    if (frame.nCodec == TESSARO_AUDIO_PCM24) {
        // Little-endian 24-bit samples, channels interleaved, as float planes.
        const size_t nFrame = 3 * size_t{frame.nChannels};
        pcm.nSamples = static_cast<int64_t>(frame.nPayloadLen / nFrame);
        m_vPlanes.resize(frame.nChannels);
        for (uint32_t c = 0; c < frame.nChannels; ++c) {
            std::vector<float>& plane = m_vPlanes[c];
            plane.resize(static_cast<size_t>(pcm.nSamples));
            const uint8_t* p = frame.pPayload + 3 * size_t{c};
            for (float& v : plane) {
                const auto n = static_cast<int32_t>(uint32_t{p[0]} << 8 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 24);
                v = static_cast<float>(n) / 2147483648.0f;
                p += nFrame;
            }
            pcm.planes[c] = reinterpret_cast<const uint8_t*>(plane.data());
        }
        pcm.eInput = CAacEncoder::EInput::FloatPlanar;
        return pcm.nSamples > 0;
    }
    if (!m_pPcmDecoder) {
        m_pPcmDecoder = std::make_unique<CAudioDecoder>();
        m_vPcm.resize(CAudioDecoder::DECODE_BUFFER_SIZE);
    }
    const uint32_t n = m_pPcmDecoder->Decode(frame.pPayload, frame.nPayloadLen, m_vPcm.data(),
                                             CAudioDecoder::DECODE_BUFFER_SIZE, frame.nCodec, frame.nSampleRate);
    // Whole sample frames only, so channels never swap places.
    pcm.nSamples = n / (2u * frame.nChannels);
    pcm.planes[0] = m_vPcm.data();
    return pcm.nSamples > 0;
}

int32_t CAudioTrack::InputEncode(const TessaroFrame& frame) {
    if (!m_pEncoder->IsOpen() && !m_pEncoder->Open()) {
        m_eMode = EMode::Failed;
        return -1;
    }
    SPcm pcm;
    if (!DecodeRecord(frame, pcm)) {
        ++m_nUndecoded;
        m_nUndecodedCodec = frame.nCodec;
        return 0;
    }
    ++m_nDecoded;
    if (!m_pEncoder->SetInput(pcm.eInput, pcm.nChannels, pcm.nRate)) return 0;
    const int64_t nSkip = AlignEncoded(frame, pcm.nRate);
    if (nSkip >= pcm.nSamples) return 0;
    const bool bS16 = pcm.eInput == CAacEncoder::EInput::S16;
    const int64_t nBytes = bS16 ? 2 * pcm.nChannels : static_cast<int64_t>(sizeof(float));
    for (int c = 0; c < (bS16 ? 1 : pcm.nChannels); ++c) pcm.planes[c] += nSkip * nBytes;
    m_pEncoder->Feed(pcm.planes, pcm.nSamples - nSkip);
    m_nReal += av_rescale(pcm.nSamples - nSkip, m_shape.nRate, pcm.nRate);
    m_bStarted = true;
    return 1;
}

void CAudioTrack::Finish() {
    if (m_eMode == EMode::Encode) m_pEncoder->Flush();
    m_eMode = EMode::Off;
    // A damaged frame here and there is the recording's; sound of which
    // nothing decoded is sound the file lacks.
    if (m_nUndecoded > 0 && m_nDecoded == 0)
        LeaveOut(tessaro::AudioCodecName(m_nUndecodedCodec) + " that does not decode");
}

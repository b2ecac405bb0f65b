#include "libs/korvel/AviTracks.h"

#include <algorithm>

#include <cmath>
#include "libs/annexb/ConfigRecords.h"
#include "libs/tessaro/Adts.h"
#include "libs/tessaro/Limits.h"
#include "libs/tessaro/MpegAudio.h"
#include "log/Log.h"

namespace korvel {

namespace {

constexpr int64_t kTicksPerSecond = timing::kTicksPerSecond;
// Beyond this a gap is not the recorder's clock but damage: no filler for it.
constexpr int64_t kMaxGapSeconds = timing::kAviMaxGapSeconds;
// Audio that wanders less than this from its time stamps is left alone, so
// that jitter in the stamps does not chop the sound.
constexpr int64_t kAudioToleranceMs = timing::kAviAudioToleranceMs;

int64_t ScaleTicks(int64_t nTicks, int64_t nNum, int64_t nDen) {
    // nTicks * nNum / nDen, rounded to nearest, without overflow for any
    // recording length.
    const long double v = static_cast<long double>(nTicks) * nNum / nDen;
    return static_cast<int64_t>(std::llround(v));
}

}  // namespace

std::vector<uint8_t> ParameterSets(const TessaroFrame& f) {
    std::vector<annexb::SUnit> scratch;
    size_t nCount = 0;
    const annexb::SUnit* pUnits = tessaro::UnitsOf(f, scratch, nCount);
    const annexb::ECodec codec = f.nCodec == TESSARO_CODEC_H265 ? annexb::ECodec::H265 : annexb::ECodec::H264;
    return annexb::AnnexBExtradata(annexb::CollectParameterSets(codec, f.pPayload, pUnits, nCount));
}

SVideoInfo DescribeVideo(const TessaroFrame& f) {
    SVideoInfo v;
    v.bFound = true;
    v.bHevc = f.nCodec == TESSARO_CODEC_H265;
    v.nWidth = f.nWidth;
    v.nHeight = f.nHeight;
    // A rate beyond any camera's is a misread; keep the time base sane.
    if (f.nRateNum > 0 && f.nRateDen > 0 && f.nRateNum / f.nRateDen <= 1000 && f.nRateNum <= INT32_MAX &&
        f.nRateDen <= INT32_MAX) {
        v.nRateNum = f.nRateNum;
        v.nRateDen = f.nRateDen;
    } else {
        v.nRateNum = f.nFrameRate <= 1000 ? f.nFrameRate : 25;
        v.nRateDen = 1;
    }
    v.extradata = ParameterSets(f);
    return v;
}

bool ParseAdts(const uint8_t* p, size_t n, SAdtsFrame& out) {
    tessaro::AdtsHeader h;
    if (!p || n < tessaro::kAdtsHeaderBytes || !tessaro::parseAdts(p, h) || h.blocks != 1 || h.length > n) return false;
    out.nHeader = h.headerLength;
    out.nFrame = h.length;
    out.nSampleRate = h.sampleRate;
    out.nChannels = h.channels;
    tessaro::adtsAudioConfig(h, out.config);
    return true;
}

bool DescribeAudio(const TessaroFrame& f, SAudioInfo& a) {
    switch (f.nCodec) {
        case TESSARO_AUDIO_ALAW:
            a.kind = EAudioKind::G711Alaw;
            a.nBytesPerSample = 1;
            break;
        case TESSARO_AUDIO_MULAW:
            a.kind = EAudioKind::G711Mulaw;
            a.nBytesPerSample = 1;
            break;
        case TESSARO_AUDIO_PCM16:
            a.kind = EAudioKind::Pcm16;
            a.nBytesPerSample = 2;
            break;
        case TESSARO_AUDIO_PCM24:
            a.kind = EAudioKind::Pcm24;
            a.nBytesPerSample = 3;
            break;
        case TESSARO_AUDIO_MPEG: {
            // Kept as it is: the track is what its first frame's header says.
            tessaro::MpegAudioHeader h;
            if (!f.pPayload || f.nPayloadLen < tessaro::kMpegAudioHeaderBytes ||
                !tessaro::parseMpegAudio(f.pPayload, h))
                return false;
            a.kind = EAudioKind::Mpeg;
            a.nCodec = f.nCodec;
            a.nSampleRate = h.sampleRate;
            a.nChannels = h.channels;
            a.nFrameSamples = h.samples;
            a.nLayer = h.layer;
            a.nMpegVersion = h.version;
            a.nBitRate = static_cast<uint32_t>(uint64_t{h.length} * 8 * h.sampleRate / h.samples);
            return true;
        }
        case TESSARO_AUDIO_AAC: {
            SAdtsFrame adts;
            if (!ParseAdts(f.pPayload, f.nPayloadLen, adts)) return false;
            a.kind = EAudioKind::Aac;
            a.aacConfig.assign(adts.config, adts.config + 2);
            a.nSampleRate = adts.nSampleRate;
            a.nChannels = adts.nChannels;
            a.nCodec = f.nCodec;
            a.nFrameSamples = 1024;
            return true;
        }
        default:
            return false;  // other encodings are not carried
    }
    a.nCodec = f.nCodec;
    a.nChannels = f.nChannels >= 1 && f.nChannels <= 8 ? f.nChannels : 1;
    a.nSampleRate = f.nSampleRate >= 1000 && f.nSampleRate <= 192000 ? f.nSampleRate : 8000;
    return true;
}

int64_t CVideoGrid::Next(const TessaroFrame& f) {
    const int64_t t = f.nDts != TESSARO_NO_TIME ? f.nDts : f.nPts;
    int64_t nTick = m_nLastTick + 1;
    if (t != TESSARO_NO_TIME) {
        if (!m_bStarted) {
            m_bStarted = true;
            m_nFirstDts = t;
        }
        const int64_t nGrid = ScaleTicks(t - m_nFirstDts, m_nRateNum, kTicksPerSecond * int64_t{m_nRateDen});
        const int64_t nMaxGap = kMaxGapSeconds * m_nRateNum / std::max<uint32_t>(m_nRateDen, 1);
        if (nGrid > m_nLastTick && nGrid - m_nLastTick <= nMaxGap) {
            if (nGrid > m_nLastTick + 1)
                TRELVO_LOG_DEBUG("avi", "a gap of %lld pictures kept", static_cast<long long>(nGrid - m_nLastTick - 1));
            nTick = nGrid;
        } else if (nGrid > m_nLastTick + nMaxGap || nGrid < m_nLastTick) {
            TRELVO_LOG_DEBUG("avi", "a picture's time is off the grid (%lld pictures): it follows on",
                             static_cast<long long>(nGrid - m_nLastTick));
        }
    }
    m_nLastTick = nTick;
    return nTick;
}

SAudioPlacement CAudioClock::Place(int64_t nPts, int64_t nSamples) {
    SAudioPlacement place;
    if (nPts == TESSARO_NO_TIME || m_nOrigin == TESSARO_NO_TIME || nSamples <= 0) return place;
    const int64_t nTarget = ScaleTicks(nPts - m_nOrigin, m_nRate, kTicksPerSecond);
    const int64_t nDiff = nTarget - m_nWritten;
    // The first samples are placed exactly; later ones only when they drift.
    const int64_t nTolerance = m_nWritten == 0 ? 0 : int64_t{m_nRate} * kAudioToleranceMs / 1000;
    if (nDiff > nTolerance && nDiff <= kMaxGapSeconds * int64_t{m_nRate}) {
        place.nSilence = nDiff;
    } else if (nDiff < -nTolerance) {
        place.nSkip = std::min(-nDiff, nSamples);
    }
    return place;
}

}  // namespace korvel

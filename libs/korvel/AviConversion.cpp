#include "libs/korvel/AviConversion.h"

#include "libs/feed/Start.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

#include "libs/tessaro/MpegAudio.h"

extern "C" {
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
}

#include "log/Log.h"

namespace korvel {

namespace {

// How far past the first key frame the first pass looks for audio.
constexpr int kLookAheadRecords = 256;
constexpr uint64_t kLookAheadBytes = 4u << 20;
// Audio kept from before the first picture, to start the sound with it.
constexpr size_t kMaxHeldAudioBytes = 512 * 1024;
constexpr int64_t kSilenceChunkSamples = 4096;
constexpr int kAacFrameSamples = 1024;

uint8_t SilenceByte(EAudioKind kind) {
    switch (kind) {
        case EAudioKind::G711Alaw:
            return 0xD5;
        case EAudioKind::G711Mulaw:
            return 0xFF;
        default:
            return 0;
    }
}

uint32_t WaveTag(const SAudioInfo& a) {
    switch (a.kind) {
        case EAudioKind::G711Alaw:
            return 6;
        case EAudioKind::G711Mulaw:
            return 7;
        case EAudioKind::Pcm16:
        case EAudioKind::Pcm24:
            return 1;
        case EAudioKind::Aac:
            return 0xFF;
        case EAudioKind::Mpeg:
            return a.nLayer == 3 ? 0x55 : 0x50;
        case EAudioKind::None:
            break;
    }
    return 0;
}

AVCodecID CodecId(const SAudioInfo& a) {
    switch (a.kind) {
        case EAudioKind::G711Alaw:
            return AV_CODEC_ID_PCM_ALAW;
        case EAudioKind::G711Mulaw:
            return AV_CODEC_ID_PCM_MULAW;
        case EAudioKind::Pcm16:
            return AV_CODEC_ID_PCM_S16LE;
        case EAudioKind::Pcm24:
            return AV_CODEC_ID_PCM_S24LE;
        case EAudioKind::Aac:
            return AV_CODEC_ID_AAC;
        case EAudioKind::Mpeg:
            return a.nLayer == 3 ? AV_CODEC_ID_MP3 : a.nLayer == 2 ? AV_CODEC_ID_MP2 : AV_CODEC_ID_MP1;
        case EAudioKind::None:
            break;
    }
    return AV_CODEC_ID_NONE;
}

bool SetExtradata(AVCodecParameters* par, const std::vector<uint8_t>& data) {
    if (data.empty()) return true;
    par->extradata = static_cast<uint8_t*>(av_mallocz(data.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!par->extradata) return false;
    std::memcpy(par->extradata, data.data(), data.size());
    par->extradata_size = static_cast<int>(data.size());
    return true;
}

}  // namespace

// The context's I/O belongs to the conversion's CMuxerIo.
void CConversion::SOutputFree::operator()(AVFormatContext* p) const {
    p->pb = nullptr;
    avformat_free_context(p);
}

void CConversion::SPacketFree::operator()(AVPacket* p) const {
    av_packet_free(&p);
}

CConversion::CConversion(std::string strOutput, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel, void* pUser)
    : m_output(std::move(strOutput)), m_pfnProgress(pfnProgress), m_pfnCancel(pfnCancel), m_pUser(pUser) {}

CConversion::~CConversion() = default;

feed::EFeedEnd CFileSource::Run(const feed::SFeedHooks& hooks) {
    if (m_bRead && !m_input.Rewind()) return feed::EFeedEnd::ReadError;
    m_bRead = true;
    m_pParser = feed::CreateStartingParser();
    if (!m_pParser) throw std::bad_alloc();
    return feed::Feed(m_input, *m_pParser, hooks);
}

bool CFileSource::Status(TessaroStatus& status) const {
    return m_pParser && m_pParser->GetStatus(status);
}

bool CFileSource::BareVideo() const {
    TessaroStatus status{};
    return Status(status) && status.nContainer == TESSARO_CONTAINER_ES;
}

int32_t CConversion::Run(ISource& source) {
    m_pSource = &source;
    m_nSize = source.Size();
    bool bWrote = false;
    const int32_t nDiscover = Discover(source, bWrote);
    const int32_t nResult = nDiscover < 0 || bWrote ? nDiscover : Write(source);
    if (nResult < 0) {
        m_pOutput.reset();  // close before removing
        m_output.Discard();
    }
    return nResult;
}

int32_t CConversion::Fail(int32_t nCode, std::string strText) {
    m_strError = std::move(strText);
    return nCode;
}

double CConversion::MediaSeconds() const {
    const double dVideo = static_cast<double>(m_nLastTick + 1) * m_video.nRateDen / m_video.nRateNum;
    const double dAudio = m_pAudioClock && m_audio.nSampleRate
                              ? static_cast<double>(m_pAudioClock->Written()) / m_audio.nSampleRate
                              : 0.0;
    return std::max(dVideo, dAudio);
}

bool CConversion::Cancelled() {
    m_nCancel = m_pfnCancel != nullptr ? m_pfnCancel(m_pUser) : 0;
    return m_nCancel != 0;
}

// Why a first pass found nothing to start a file with, as the parser saw it.
int32_t CConversion::NoVideoReason(const ISource& source) {
    TessaroStatus status{};
    if (source.Status(status)) {
        if (status.nFlags & TESSARO_STATUS_VIDEO_UNSUPPORTED) {
            // Codec names only: the reason around them is translated.
            const char* pszName = status.nVideoCodec == TESSARO_CODEC_MPEG2   ? "MPEG-1/2"
                                  : status.nVideoCodec == TESSARO_CODEC_MPEG4 ? "MPEG-4 Part 2"
                                                                              : "";
            return Fail(KORVEL_ERR_UNSUPPORTED, pszName);
        }
        if (status.nVideoCodec == 0) return KORVEL_ERR_NOT_STREAM;
    }
    return KORVEL_ERR_NO_KEY_FRAME;
}

// Takes what the first pass needs from one record; true once it has enough.
bool CConversion::Learn(const TessaroFrame& f, int& nRecordsAfterKey) {
    if (!f.pPayload || f.nPayloadLen == 0) return false;
    if (f.nFrameType == TESSARO_FRAME_AUDIO && !m_audio.Found()) DescribeAudio(f, m_audio);
    if (!m_video.bFound && IsUsableKeyFrame(f)) {
        m_video = DescribeVideo(f);
    } else if (m_video.bFound) {
        ++nRecordsAfterKey;
    }
    return m_video.bFound && (m_audio.Found() || nRecordsAfterKey >= kLookAheadRecords);
}

// What ended a pass early, as a result code.
int32_t CConversion::FeedFailure(feed::EFeedEnd end, const ISource& source) {
    switch (end) {
        case feed::EFeedEnd::Stopped:
            return KORVEL_ERR_CANCELLED;
        case feed::EFeedEnd::ReadError:
            return Fail(source.ReadFailure(), source.ErrorText());
        case feed::EFeedEnd::Shrunk:
            return KORVEL_ERR_INPUT_CHANGED;
        default:
            return 0;
    }
}

// First pass: the video format from the first usable key frame, and audio
// if any shows up before it or shortly after. A bare video stream has no
// sound to look for, so from its first key frame on this pass writes the
// file (bWrote) and the result is the file's.
int32_t CConversion::Discover(ISource& source, bool& bWrote) {
    int nRecordsAfterKey = 0;
    uint64_t nBytesAtKey = 0;
    uint64_t nBytes = 0;
    bool bEnough = false;
    int32_t nWriteFailure = 0;
    const feed::SFeedHooks write = WriteHooks(nWriteFailure);
    bWrote = false;
    feed::SFeedHooks hooks;
    hooks.onFrame = [&](const TessaroFrame& f) {
        if (bWrote) return write.onFrame(f);
        bEnough = Learn(f, nRecordsAfterKey);
        if (!bEnough && m_video.bFound && source.BareVideo()) {
            bWrote = true;
            return write.onFrame(f);
        }
        return !bEnough;
    };
    hooks.onProgress = [&](uint64_t nDone, uint64_t nTotal) {
        if (bWrote) return write.onProgress(nDone, nTotal);
        if (!m_video.bFound) nBytesAtKey = nDone;
        nBytes = nDone;
    };
    bool bCancelled = false;
    hooks.shouldStop = [&] {
        if (bWrote) return write.shouldStop();
        bCancelled = Cancelled();
        return bCancelled || (m_video.bFound && nBytes - nBytesAtKey >= kLookAheadBytes);
    };
    const feed::EFeedEnd end = source.Run(hooks);
    if (bWrote) return EndWrite(end, source, nWriteFailure);
    if (bEnough || (end == feed::EFeedEnd::Stopped && !bCancelled)) return 0;
    if (const int32_t nFailure = FeedFailure(end, source); nFailure < 0) return nFailure;
    return m_video.bFound ? 0 : NoVideoReason(source);
}

int32_t CConversion::OpenOutput(const TessaroFrame& first) {
    m_pPacket.reset(av_packet_alloc());
    if (!m_pPacket) return KORVEL_ERR_MEMORY;
    std::string strError;
    if (!m_output.Create(strError)) return Fail(KORVEL_ERR_WRITE, strError);
    const char* pszPath = m_output.TempPath().c_str();
    AVFormatContext* pCtx = nullptr;
    if (avformat_alloc_output_context2(&pCtx, nullptr, "avi", pszPath) < 0 || !pCtx) return KORVEL_ERR_MEMORY;
    m_pOutput.reset(pCtx);
    // The AVI muxer writes "date" as the file's creation date (ICRD); it
    // has no place for creation_time.
    const std::string strDate = m_pSource->CreationTime(first.nPts != TESSARO_NO_TIME ? first.nPts : first.nDts);
    if (!strDate.empty()) av_dict_set(&pCtx->metadata, "date", strDate.c_str(), 0);

    AVStream* pVideo = avformat_new_stream(pCtx, nullptr);
    if (!pVideo) return KORVEL_ERR_MEMORY;
    AVCodecParameters* par = pVideo->codecpar;
    par->codec_type = AVMEDIA_TYPE_VIDEO;
    par->codec_id = m_video.bHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    par->codec_tag = m_video.bHevc ? MKTAG('H', 'E', 'V', 'C') : MKTAG('H', '2', '6', '4');
    par->width = m_video.nWidth;
    par->height = m_video.nHeight;
    if (!SetExtradata(par, m_video.extradata)) return KORVEL_ERR_MEMORY;
    const AVRational rate{static_cast<int>(m_video.nRateNum), static_cast<int>(m_video.nRateDen)};
    pVideo->time_base = av_inv_q(rate);
    pVideo->avg_frame_rate = pVideo->r_frame_rate = rate;
    m_pVideo = pVideo;

    if (m_audio.Found()) {
        AVStream* pAudio = avformat_new_stream(pCtx, nullptr);
        if (!pAudio) return KORVEL_ERR_MEMORY;
        AVCodecParameters* apar = pAudio->codecpar;
        apar->codec_type = AVMEDIA_TYPE_AUDIO;
        apar->codec_id = CodecId(m_audio);
        apar->codec_tag = WaveTag(m_audio);
        apar->sample_rate = static_cast<int>(m_audio.nSampleRate);
        av_channel_layout_default(&apar->ch_layout, static_cast<int>(m_audio.nChannels));
        if (m_audio.kind == EAudioKind::Aac) {
            // One chunk per frame of 1024 samples; the header gives its config.
            apar->frame_size = kAacFrameSamples;
            if (!SetExtradata(apar, m_audio.aacConfig)) return KORVEL_ERR_MEMORY;
        } else if (m_audio.kind == EAudioKind::Mpeg) {
            // One chunk per frame, header and all, as players expect of MPEG
            // audio in AVI; the rate counts frames, so any bit rate plays. No
            // sample size: that would make readers count bytes instead.
            apar->frame_size = static_cast<int>(m_audio.nFrameSamples);
            apar->bit_rate = m_audio.nBitRate;
        } else {
            apar->bits_per_coded_sample = static_cast<int>(m_audio.nBytesPerSample * 8);
            apar->block_align = static_cast<int>(m_audio.nBytesPerSample * m_audio.nChannels);
            apar->bit_rate = static_cast<int64_t>(m_audio.nSampleRate) * apar->block_align * 8;
        }
        pAudio->time_base = AVRational{1, static_cast<int>(m_audio.nSampleRate)};
        m_pAudio = pAudio;
    }

    int nRet = m_file.Open(pszPath);
    if (nRet >= 0) {
        pCtx->pb = m_file.Context();
        pCtx->flags |= AVFMT_FLAG_CUSTOM_IO;
        nRet = avformat_write_header(pCtx, nullptr);
    }
    return nRet < 0 ? WriteError(nRet) : 0;
}

// The payload goes to the muxer in place: the records arrive in file order,
// so nothing needs to be queued or copied for interleaving. nTs counts
// pictures (video) or samples (audio); AAC counts frames of 1024 samples.
int32_t CConversion::WritePacket(AVStream* pStream, const uint8_t* p, size_t n, int64_t nTs, int64_t nDuration,
                                 bool bKey) {
    AVPacket* pkt = m_pPacket.get();
    av_packet_unref(pkt);
    pkt->data = const_cast<uint8_t*>(p);
    pkt->size = static_cast<int>(n);
    pkt->stream_index = pStream->index;
    pkt->pts = pkt->dts = nTs;
    pkt->duration = nDuration;
    if (bKey) pkt->flags |= AV_PKT_FLAG_KEY;
    AVRational base = pStream == m_pVideo
                          ? AVRational{static_cast<int>(m_video.nRateDen), static_cast<int>(m_video.nRateNum)}
                          : AVRational{1, static_cast<int>(m_audio.nSampleRate)};
    if (m_audio.Framed() && pStream == m_pAudio) base.num = static_cast<int>(m_audio.nFrameSamples);
    av_packet_rescale_ts(pkt, base, pStream->time_base);
    const int nRet = av_write_frame(m_pOutput.get(), pkt);
    av_packet_unref(pkt);
    return nRet < 0 ? WriteError(nRet) : 0;
}

int32_t CConversion::WriteError(int nAvError) {
    char szText[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(nAvError, szText, sizeof szText);
    return Fail(KORVEL_ERR_WRITE, szText);
}

int32_t CConversion::TakeVideo(const TessaroFrame& f) {
    const int64_t nTick = m_pVideoGrid->Next(f);
    const int32_t nRet = WritePacket(m_pVideo, f.pPayload, f.nPayloadLen, nTick, 1, f.nFrameKind == TESSARO_KIND_KEY);
    if (nRet == 0) {
        ++m_nPictures;
        m_nLastTick = nTick;
    }
    return nRet;
}

int32_t CConversion::WriteSilence(int64_t nSamples) {
    const size_t nFrame = m_audio.nBytesPerSample * m_audio.nChannels;
    const std::vector<uint8_t> silence(static_cast<size_t>(std::min(nSamples, kSilenceChunkSamples)) * nFrame,
                                       SilenceByte(m_audio.kind));
    while (nSamples > 0) {
        const int64_t nTake = std::min(nSamples, kSilenceChunkSamples);
        const int32_t nRet = WritePacket(m_pAudio, silence.data(), static_cast<size_t>(nTake) * nFrame,
                                         m_pAudioClock->Written(), nTake, true);
        if (nRet < 0) return nRet;
        m_pAudioClock->Advance(nTake);
        nSamples -= nTake;
    }
    return 0;
}

int32_t CConversion::TakeAudio(const uint8_t* p, size_t n, int64_t nPts) {
    const size_t nFrame = m_audio.nBytesPerSample * m_audio.nChannels;
    const auto nSamples = static_cast<int64_t>(n / nFrame);
    if (nSamples == 0) return 0;
    const SAudioPlacement place = m_pAudioClock->Place(nPts, nSamples);
    if (place.nSilence > 0) {
        TRELVO_LOG_DEBUG("avi", "a gap of %lld samples in the sound filled with silence",
                         static_cast<long long>(place.nSilence));
        const int32_t nRet = WriteSilence(place.nSilence);
        if (nRet < 0) return nRet;
    }
    if (place.nSkip >= nSamples) return 0;  // all of it lies before the first picture
    const int64_t nKeep = nSamples - place.nSkip;
    const int32_t nRet = WritePacket(m_pAudio, p + static_cast<size_t>(place.nSkip) * nFrame,
                                     static_cast<size_t>(nKeep) * nFrame, m_pAudioClock->Written(), nKeep, true);
    if (nRet == 0) m_pAudioClock->Advance(nKeep);
    return nRet;
}

// AAC frames cannot be cut: a frame is kept when most of it lies after the
// first picture, and gaps are not filled (the sound closes up instead).
int32_t CConversion::TakeAac(const uint8_t* p, size_t n, int64_t nPts) {
    SAdtsFrame adts;
    if (!ParseAdts(p, n, adts)) return 0;
    const SAudioPlacement place = m_pAudioClock->Place(nPts, kAacFrameSamples);
    if (place.nSkip > kAacFrameSamples / 2) {
        TRELVO_LOG_DEBUG("avi", "an AAC frame over the sound before it dropped");
        return 0;
    }
    const int32_t nRet = WritePacket(m_pAudio, p + adts.nHeader, adts.nFrame - adts.nHeader, m_nFrames, 1, true);
    if (nRet == 0) {
        ++m_nFrames;
        m_pAudioClock->Advance(kAacFrameSamples);
    }
    return nRet;
}

// MPEG audio frames go in whole, as AAC's do. Frames of another rate or
// layer than the track's would play wrong: they are left out, and told.
int32_t CConversion::TakeMpeg(const uint8_t* p, size_t n, int64_t nPts) {
    tessaro::MpegAudioHeader h;
    if (n < tessaro::kMpegAudioHeaderBytes || !tessaro::parseMpegAudio(p, h) || h.length > n) return 0;
    if (h.sampleRate != m_audio.nSampleRate || h.layer != m_audio.nLayer || h.version != m_audio.nMpegVersion) {
        LeaveOut("MPEG audio of another rate or layer than the track's");
        return 0;
    }
    const SAudioPlacement place = m_pAudioClock->Place(nPts, h.samples);
    if (place.nSkip > h.samples / 2) return 0;
    const int32_t nRet = WritePacket(m_pAudio, p, h.length, m_nFrames, 1, true);
    if (nRet == 0) {
        ++m_nFrames;
        m_pAudioClock->Advance(h.samples);
    }
    return nRet;
}

int32_t CConversion::TakeAudioRecord(const uint8_t* p, size_t n, int64_t nPts) {
    switch (m_audio.kind) {
        case EAudioKind::Aac:
            return TakeAac(p, n, nPts);
        case EAudioKind::Mpeg:
            return TakeMpeg(p, n, nPts);
        default:
            return TakeAudio(p, n, nPts);
    }
}

void CConversion::LeaveOut(std::string strWhat) {
    if (m_strAudioLeftOut.empty()) m_strAudioLeftOut = std::move(strWhat);
}

std::string CConversion::LeftOutAudio() const {
    TessaroStatus status{};
    std::string strParser = m_pSource && m_pSource->Status(status) ? tessaro::LeftOutAudio(status) : std::string();
    return strParser.empty() ? m_strAudioLeftOut : strParser;
}

void CConversion::HoldAudio(const TessaroFrame& f) {
    if (!m_audio.Found() || f.nCodec != m_audio.nCodec) return;
    m_heldAudio.push_back({std::vector<uint8_t>(f.pPayload, f.pPayload + f.nPayloadLen), f.nPts});
    m_nHeldBytes += f.nPayloadLen;
    while (m_nHeldBytes > kMaxHeldAudioBytes && !m_heldAudio.empty()) {
        TRELVO_LOG_DEBUG("avi", "sound long before the first picture dropped");
        m_nHeldBytes -= m_heldAudio.front().payload.size();
        m_heldAudio.pop_front();
    }
}

int32_t CConversion::TakeFrame(const TessaroFrame& f) {
    if (!f.pPayload || f.nPayloadLen == 0 || f.nPayloadLen > INT32_MAX / 2) return 0;
    if (f.nFrameType == TESSARO_FRAME_VIDEO) {
        // The track holds the codec it began with; the rest is told, not written.
        if ((f.nCodec == TESSARO_CODEC_H265) != m_video.bHevc) {
            m_bOtherCodec = true;
            return 0;
        }
        if (!m_bStarted) {
            if (!IsUsableKeyFrame(f)) {
                // Nothing decodes before the first key frame.
                TRELVO_LOG_DEBUG("avi", "a picture before the first usable key frame dropped");
                return 0;
            }
            const int32_t nOpen = OpenOutput(f);
            if (nOpen < 0) return nOpen;
            m_bStarted = true;
            m_pVideoGrid = std::make_unique<CVideoGrid>(m_video.nRateNum, m_video.nRateDen);
            // AVI shows pictures at their decoding tick plus the decoder's
            // reordering delay, so the first picture's decoding time, not its
            // presentation time, is where the sound starts.
            m_pAudioClock =
                std::make_unique<CAudioClock>(m_audio.nSampleRate, f.nDts != TESSARO_NO_TIME ? f.nDts : f.nPts);
            const int32_t nRet = TakeVideo(f);
            if (nRet < 0) return nRet;
            // Sound recorded before the picture arrived, trimmed to start with it.
            for (const SHeldAudio& a : m_heldAudio) {
                const int32_t nHeld = TakeAudioRecord(a.payload.data(), a.payload.size(), a.nPts);
                if (nHeld < 0) return nHeld;
            }
            m_heldAudio.clear();
            m_nHeldBytes = 0;
            return 0;
        }
        return TakeVideo(f);
    }
    if (f.nFrameType != TESSARO_FRAME_AUDIO) return 0;
    if (!m_audio.Found() || f.nCodec != m_audio.nCodec) {
        // Sound the track cannot hold: another kind than the first, or one
        // AVI does not carry.
        LeaveOut(tessaro::AudioCodecName(f.nCodec) +
                 (m_audio.Found() ? " after " + tessaro::AudioCodecName(m_audio.nCodec) : ""));
        return 0;
    }
    if (!m_bStarted) {
        HoldAudio(f);
        return 0;
    }
    if (!m_pAudio) return 0;
    return TakeAudioRecord(f.pPayload, f.nPayloadLen, f.nPts);
}

void CConversion::Report(uint64_t nPosition) {
    if (m_pfnProgress) m_pfnProgress(nPosition, m_nSize, m_pUser);
}

int32_t CConversion::Finish() {
    if (!m_bStarted) return KORVEL_ERR_NO_KEY_FRAME;  // the input changed since the first pass
    int nRet = av_write_trailer(m_pOutput.get());
    const int nStream = m_pOutput->pb->error;
    const int nClose = m_file.Close();
    if (nRet >= 0) nRet = nStream < 0 ? nStream : nClose;
    m_pOutput.reset();
    if (nRet < 0) return WriteError(nRet);
    std::string strError;
    // A part never replaces a file that stood at the name.
    if (!(m_bStoppedPart ? m_output.CommitBeside(strError) : m_output.Commit(strError)))
        return Fail(KORVEL_ERR_WRITE, strError);
    return 0;
}

// The hooks of the pass that writes the file; nFailure gets the failure that
// ended it.
feed::SFeedHooks CConversion::WriteHooks(int32_t& nFailure) {
    feed::SFeedHooks hooks;
    hooks.onFrame = [this, &nFailure](const TessaroFrame& f) {
        nFailure = TakeFrame(f);
        return nFailure >= 0;
    };
    hooks.onProgress = [this, nLastPermille = UINT64_MAX](uint64_t nDone, uint64_t nTotal) mutable {
        // Report at most about a thousand times per file: each report may
        // be a round trip to another thread.
        const uint64_t nPermille = nTotal ? nDone * 1000 / nTotal : 1000;
        if (nPermille == nLastPermille) return;
        nLastPermille = nPermille;
        Report(nDone);
    };
    hooks.shouldStop = [this] { return Cancelled(); };
    return hooks;
}

int32_t CConversion::Write(ISource& source) {
    int32_t nFailure = 0;
    const feed::EFeedEnd end = source.Run(WriteHooks(nFailure));
    return EndWrite(end, source, nFailure);
}

// What ended the writing pass, then the file finished.
int32_t CConversion::EndWrite(feed::EFeedEnd end, const ISource& source, int32_t nFailure) {
    if (nFailure < 0) return nFailure;
    // What was read before a stop is finished as a file of its own.
    if (end == feed::EFeedEnd::Stopped && m_nCancel == KORVEL_CANCEL_KEEP_PART && m_bStarted) {
        m_bStoppedPart = true;
        return Finish();
    }
    if (const int32_t nEnd = FeedFailure(end, source); nEnd < 0) return nEnd;
    TessaroStatus status{};
    if (m_bOtherCodec && source.Status(status) && (status.nFlags & TESSARO_STATUS_VIDEO_CHANGED))
        m_strError = "at byte " + std::to_string(status.nVideoChangeAt);
    return Finish();
}

}  // namespace korvel

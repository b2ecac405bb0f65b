#include "Mp4Writer.h"

#include "AudioDecoder.h"
#include "NalUnits.h"
#include "log/Log.h"
#include "tessaro.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libswresample/swresample.h>
}

namespace {

// Output context: closes the file it opened before freeing itself.
struct SFormatCtxFree {
    void operator()(AVFormatContext* p) const
    {
        if (p->pb != nullptr && (p->oformat->flags & AVFMT_NOFILE) == 0)
            avio_closep(&p->pb);
        avformat_free_context(p);
    }
};
struct SCodecCtxFree {
    void operator()(AVCodecContext* p) const { avcodec_free_context(&p); }
};
struct SSwrFree {
    void operator()(SwrContext* p) const { swr_free(&p); }
};
struct SFifoFree {
    void operator()(AVAudioFifo* p) const { av_audio_fifo_free(p); }
};
struct SFrameFree {
    void operator()(AVFrame* p) const { av_frame_free(&p); }
};
struct SPacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};

using FormatCtxPtr = std::unique_ptr<AVFormatContext, SFormatCtxFree>;
using CodecCtxPtr = std::unique_ptr<AVCodecContext, SCodecCtxFree>;
using SwrPtr = std::unique_ptr<SwrContext, SSwrFree>;
using FifoPtr = std::unique_ptr<AVAudioFifo, SFifoFree>;
using FramePtr = std::unique_ptr<AVFrame, SFrameFree>;
using PacketPtr = std::unique_ptr<AVPacket, SPacketFree>;

constexpr int32_t kVideoTicksPerSecond = 1000000;
// Above one picture per stream tick, time stamps could no longer increase.
constexpr uint32_t kMaxFrameRate = kVideoTicksPerSecond;
constexpr uint32_t kMaxAudioChannels = 8;
constexpr uint32_t kMaxSampleRate = 384000;
constexpr int kAacFrameSamples = 1024;
constexpr int64_t kAacBitRate = 64000;
constexpr int32_t kMaxAacFrameBytes = 40960;
constexpr int32_t kEscapeBufferSize = 512;

bool IsUsableKeyFrame(const TessaroFrame& f)
{
    return f.nFrameType == TESSARO_FRAME_VIDEO && f.nFrameKind == TESSARO_KIND_KEY &&
           f.nWidth > 0 && f.nHeight > 0 && f.nFrameRate != 0;
}

// Audio the converter can take: 16-bit samples, a sane layout and rate.
bool IsUsableAudio(const TessaroFrame& f)
{
    return f.nChannels >= 1 && f.nChannels <= kMaxAudioChannels && f.nSampleRate >= 1 &&
           f.nSampleRate <= kMaxSampleRate && f.nBitsPerSample == 16;
}

int32_t ClampLength(uint32_t n)
{
    return n > static_cast<uint32_t>(INT32_MAX) ? INT32_MAX : static_cast<int32_t>(n);
}

// The rate the AAC track is declared with: the requested one when the encoder
// takes it, else the next higher rate it takes (the highest as a last resort).
int ChooseAacRate(const AVCodec* pCodec, int nRate)
{
    if (pCodec->supported_samplerates == nullptr)
        return nRate;
    int nBest = 0;
    int nHighest = 0;
    for (const int* p = pCodec->supported_samplerates; *p != 0; ++p) {
        nHighest = std::max(nHighest, *p);
        if (*p >= nRate && (nBest == 0 || *p < nBest))
            nBest = *p;
    }
    return nBest != 0 ? nBest : nHighest;
}

// A layout of the requested channel count that the encoder takes, else stereo.
void ChooseAacLayout(const AVCodec* pCodec, int nChannels, AVChannelLayout* pLayout)
{
    if (pCodec->ch_layouts != nullptr) {
        for (const AVChannelLayout* p = pCodec->ch_layouts; p->nb_channels != 0; ++p) {
            if (p->nb_channels == nChannels) {
                av_channel_layout_copy(pLayout, p);
                return;
            }
        }
        nChannels = 2;
    }
    av_channel_layout_default(pLayout, nChannels);
}

// The key frame's parameter sets as the stream's extradata: Annex-B, start
// codes included, VPS (H.265), SPS, PPS back to back.
std::vector<uint8_t> ParameterSets(const TessaroFrame& frame)
{
    using namespace trelvo::nal;
    const bool bHevc = frame.nCodec == TESSARO_CODEC_H265;
    const int32_t nLen = frame.pPayload != nullptr ? ClampLength(frame.nPayloadLen) : 0;
    SNalUnit units[3];
    if (bHevc) {
        units[0] = FindNalUnit(frame.pPayload, nLen, 32, true);
        units[1] = FindNalUnit(frame.pPayload, nLen, 33, true);
        units[2] = FindNalUnit(frame.pPayload, nLen, 34, true);
    } else {
        units[1] = FindNalUnit(frame.pPayload, nLen, 7, false);
        units[2] = FindNalUnit(frame.pPayload, nLen, 8, false);
    }
    std::vector<uint8_t> sets;
    uint8_t escaped[kEscapeBufferSize];
    for (const SNalUnit& u : units) {
        if (u.nLen == 0)
            continue;
        // Sets from a bitstream are escaped already; this only mends a set
        // with a forbidden pattern, and only when the result fits.
        const int32_t n = bHevc && NeedsEscaping(u.pData, u.nLen)
                              ? EscapeNalUnit(u.pData, u.nLen, escaped, kEscapeBufferSize)
                              : 0;
        if (n > 0)
            sets.insert(sets.end(), escaped, escaped + n);
        else
            sets.insert(sets.end(), u.pData, u.pData + u.nLen);
    }
    return sets;
}

// Whether libavcodec derives a picture size from H.265 parameter sets. The
// MP4 muxer parses them again when it writes the trailer, and sets it cannot
// make sense of can keep it busy for minutes.
bool HevcSetsUsable(const std::vector<uint8_t>& sets)
{
    const AVCodec* pCodec = avcodec_find_decoder(AV_CODEC_ID_HEVC);
    if (pCodec == nullptr ||
        sets.size() >= static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        return false;
    CodecCtxPtr pCtx(avcodec_alloc_context3(pCodec));
    if (!pCtx)
        return false;
    pCtx->extradata = static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (pCtx->extradata == nullptr)
        return false;
    std::memcpy(pCtx->extradata, sets.data(), sets.size());
    pCtx->extradata_size = static_cast<int>(sets.size());
    return avcodec_open2(pCtx.get(), pCodec, nullptr) >= 0 && pCtx->width > 0 &&
           pCtx->height > 0;
}

}  // namespace

struct CMp4Writer::SImpl {
    explicit SImpl(std::string strFileName);

    int32_t InputFrame(const TessaroFrame* pFrame);
    int32_t Finish();

    int32_t WriteHeader(const TessaroFrame& frame);
    int32_t Open();
    int32_t AddVideoStream(const TessaroFrame& frame, const std::vector<uint8_t>& sets);
    int32_t AddAudioStream(int32_t nSampleRate, int32_t nChannels);
    int32_t WriteVideoPacket(const uint8_t* pPayload, uint32_t nLen, bool bKey);
    int32_t InputAudio(const TessaroFrame& frame);
    int32_t OpenAudioEncoder(const TessaroFrame& frame);
    int32_t SetAudioInput(int32_t nChannels, int32_t nSampleRate);
    void EncodePcmBuffer();
    void DrainFifo(bool bFinal);
    void SendToEncoder(AVFrame* pFrame);
    int32_t WriteAudioPacket(AVPacket* pPacket);
    void FlushAudio();
    int32_t Close();
    CodecCtxPtr MakeAacEncoder(int nSampleRate, const AVChannelLayout& layout) const;

    int32_t m_nVideoStream = -1;
    int32_t m_nAudioStream = -1;
    int32_t m_nFrameRate = 0;
    int32_t m_nVideoFrames = 0;
    int32_t m_nAudioFrames = 0;
    int32_t m_nChannels = 0;    // declared for the audio stream
    int32_t m_nSampleRate = 0;  // declared for the audio stream
    uint32_t m_nInputSamples = kAacFrameSamples;  // all channels of one PCM buffer
    std::string m_strFileName;
    FormatCtxPtr m_pFormatCtx;
    std::unique_ptr<CAudioDecoder> m_pDecoder;
    int32_t m_nPcmBufSize = 0;
    int32_t m_nPcmFill = 0;
    std::vector<uint8_t> m_pPcmBuf;
    CodecCtxPtr m_hAacEncoder;
    std::unique_ptr<uint8_t[]> m_pDecodeBuf;

    // Video time stamps: one segment per frame rate, so a rate change never
    // makes them go backwards.
    int32_t m_nTimingRate = 0;
    int64_t m_nTimingBasePts = 0;
    int32_t m_nTimingBaseFrame = 0;

    // Audio conversion from the input's layout and rate to the track's.
    int32_t m_nInChannels = 0;
    int32_t m_nInRate = 0;
    SwrPtr m_pResampler;
    FifoPtr m_pFifo;
    FramePtr m_pEncFrame;
    PacketPtr m_pEncPacket;
    std::vector<std::vector<float>> m_vConverted;
    std::vector<uint8_t*> m_vConvertedPlanes;
    PacketPtr m_pVideoPacket;
    int64_t m_nEncoderPts = 0;
    bool m_bEncoderFailed = false;

    bool m_bHeaderWritten = false;
    bool m_bWriteFailed = false;
    int m_nLastError = 0;  // the first failed write's code, for its message

    void NoteWriteResult(int r);
    bool m_bFinished = false;
    int32_t m_nFinishResult = 0;
};

CMp4Writer::SImpl::SImpl(std::string strFileName)
    : m_strFileName(std::move(strFileName)),
      m_pDecodeBuf(new uint8_t[CAudioDecoder::DECODE_BUFFER_SIZE])
{
}

// A failed write ends the file at once: the disk will not take the next one.
void CMp4Writer::SImpl::NoteWriteResult(int r)
{
    const AVIOContext* pb = m_pFormatCtx ? m_pFormatCtx->pb : nullptr;
    if (r >= 0 && pb != nullptr && pb->error < 0)
        r = pb->error;
    if (r >= 0 || m_bWriteFailed)
        return;
    m_bWriteFailed = true;
    m_nLastError = r;
}

int32_t CMp4Writer::SImpl::InputFrame(const TessaroFrame* pFrame)
{
    if (m_bWriteFailed)
        return -3;
    if (pFrame == nullptr || m_bFinished)
        return 0;
    if (!m_pFormatCtx) {
        const int32_t r = WriteHeader(*pFrame);
        if (r <= 0)
            return r;
    }
    if (!m_pFormatCtx || pFrame->pPayload == nullptr || pFrame->nPayloadLen == 0)
        return 0;
    if (pFrame->nFrameType == TESSARO_FRAME_AUDIO)
        return InputAudio(*pFrame);
    if (pFrame->nFrameType == TESSARO_FRAME_VIDEO) {
        if (m_nVideoStream == -1)
            return 0;
        const bool bKey = pFrame->nFrameKind == TESSARO_KIND_KEY;
        if (bKey) {
            if (!IsUsableKeyFrame(*pFrame))
                return 0;
            m_nFrameRate = static_cast<int32_t>(std::min(pFrame->nFrameRate, kMaxFrameRate));
        }
        WriteVideoPacket(pFrame->pPayload, pFrame->nPayloadLen, bKey);
        return m_bWriteFailed ? -3 : 1;
    }
    return 1;
}

int32_t CMp4Writer::SImpl::WriteHeader(const TessaroFrame& frame)
{
    if (frame.nFrameType == TESSARO_FRAME_AUDIO) {
        // Records the converter would pass over must not decide the track.
        if (IsUsableAudio(frame)) {
            m_nChannels = static_cast<int32_t>(frame.nChannels);
            m_nSampleRate = static_cast<int32_t>(frame.nSampleRate);
        }
        return 0;
    }
    if (!IsUsableKeyFrame(frame))
        return 0;
    const std::vector<uint8_t> sets = ParameterSets(frame);
    if (frame.nCodec == TESSARO_CODEC_H265 && !sets.empty() && !HevcSetsUsable(sets)) {
        TRELVO_LOG_WARNING("mp4", "unusable parameter sets, key frame skipped ");
        return 0;
    }
    m_nFrameRate = static_cast<int32_t>(std::min(frame.nFrameRate, kMaxFrameRate));
    if (Open() < 0) {
        Close();
        return -1;
    }
    AddVideoStream(frame, sets);
    if (m_nSampleRate <= 0) {
        m_nSampleRate = 8000;
        m_nChannels = 1;
    }
    AddAudioStream(m_nSampleRate, m_nChannels);
    const int r = avformat_write_header(m_pFormatCtx.get(), nullptr);
    if (r < 0 || m_nVideoStream == -1) {
        Close();
        return -2;
    }
    m_bHeaderWritten = true;
    return 1;
}

int32_t CMp4Writer::SImpl::Open()
{
    m_nVideoStream = m_nAudioStream = -1;
    std::remove(m_strFileName.c_str());
    AVFormatContext* pCtx = nullptr;
    avformat_alloc_output_context2(&pCtx, nullptr, nullptr, m_strFileName.c_str());
    if (pCtx == nullptr) {
        TRELVO_LOG_WARNING("mp4", "Could not deduce output format from file extension: using MPEG. ");
        avformat_alloc_output_context2(&pCtx, nullptr, "mpeg", m_strFileName.c_str());
    }
    if (pCtx == nullptr)
        return -1;
    m_pFormatCtx.reset(pCtx);
    av_dump_format(pCtx, 0, m_strFileName.c_str(), 1);
    if ((pCtx->oformat->flags & AVFMT_NOFILE) == 0) {
        const int r = avio_open(&pCtx->pb, m_strFileName.c_str(), AVIO_FLAG_WRITE);
        if (r < 0) {
            TRELVO_LOG_ERROR("mp4", "avio_open failed. ");
            m_nLastError = r;
            return -2;
        }
    }
    return 1;
}

int32_t CMp4Writer::SImpl::AddVideoStream(const TessaroFrame& frame,
                                          const std::vector<uint8_t>& sets)
{
    const bool bHevc = frame.nCodec == TESSARO_CODEC_H265;
    const AVCodecID nId = bHevc ? AV_CODEC_ID_HEVC : AV_CODEC_ID_H264;
    if (avcodec_find_decoder(nId) == nullptr) {
        TRELVO_LOG_WARNING("mp4", "could not find encoder for '%s' ", avcodec_get_name(nId));
        return -1;
    }
    AVStream* pStream = avformat_new_stream(m_pFormatCtx.get(), nullptr);
    if (pStream == nullptr) {
        TRELVO_LOG_WARNING("mp4", "could not allocate stream ");
        return -2;
    }
    pStream->id = static_cast<int>(m_pFormatCtx->nb_streams) - 1;
    AVCodecParameters* pPar = pStream->codecpar;
    pPar->codec_type = AVMEDIA_TYPE_VIDEO;
    pPar->codec_id = nId;
    if (bHevc)
        pPar->codec_tag = MKTAG('h', 'v', 'c', '1');
    pPar->bit_rate = 12800;
    pPar->width = frame.nWidth;
    pPar->height = frame.nHeight;
    pPar->format = AV_PIX_FMT_YUV420P;
    pPar->profile = 100;
    pPar->level = 41;
    pStream->time_base = AVRational{1, kVideoTicksPerSecond};

    if (!sets.empty() &&
        sets.size() < static_cast<size_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE)) {
        pPar->extradata =
            static_cast<uint8_t*>(av_mallocz(sets.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        if (pPar->extradata != nullptr) {
            std::memcpy(pPar->extradata, sets.data(), sets.size());
            pPar->extradata_size = static_cast<int>(sets.size());
        }
    }
    m_nVideoStream = pStream->index;
    return 0;
}

CodecCtxPtr CMp4Writer::SImpl::MakeAacEncoder(int nSampleRate, const AVChannelLayout& layout) const
{
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (pCodec == nullptr)
        return nullptr;
    CodecCtxPtr pCtx(avcodec_alloc_context3(pCodec));
    if (!pCtx)
        return nullptr;
    pCtx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    // AAC carries at most 6144 bits per channel and frame of 1024 samples.
    pCtx->bit_rate = std::min<int64_t>(kAacBitRate, int64_t{6} * nSampleRate * layout.nb_channels);
    pCtx->sample_rate = nSampleRate;
    pCtx->time_base = AVRational{1, nSampleRate};
    pCtx->profile = FF_PROFILE_AAC_LOW;
    pCtx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    pCtx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (av_channel_layout_copy(&pCtx->ch_layout, &layout) < 0)
        return nullptr;
    const int r = avcodec_open2(pCtx.get(), pCodec, nullptr);
    if (r < 0) {
        TRELVO_LOG_WARNING("mp4", "could not open audio codec[%d]", r);
        return nullptr;
    }
    return pCtx;
}

int32_t CMp4Writer::SImpl::AddAudioStream(int32_t nSampleRate, int32_t nChannels)
{
    const AVCodecID nId = AV_CODEC_ID_AAC;
    const AVCodec* pCodec = avcodec_find_encoder(nId);
    // Formats that cannot carry AAC (the "mpeg" fallback) get no audio track.
    if (pCodec == nullptr || avformat_query_codec(m_pFormatCtx->oformat, nId,
                                                  FF_COMPLIANCE_NORMAL) != 1) {
        TRELVO_LOG_WARNING("mp4", "could not find encoder for '%s' ", avcodec_get_name(nId));
        return -1;
    }
    TRELVO_LOG_DEBUG("mp4", "mp4 audio codec_id '%d' '%s' \n", static_cast<int>(nId), avcodec_get_name(nId));
    AVStream* pStream = avformat_new_stream(m_pFormatCtx.get(), nullptr);
    if (pStream == nullptr) {
        TRELVO_LOG_WARNING("mp4", "could not allocate stream ");
        return -2;
    }
    pStream->id = static_cast<int>(m_pFormatCtx->nb_streams) - 1;

    // The track is declared at a rate and layout the encoder takes; audio of
    // any other rate or layout is converted to them on the way in.
    const int nRate = ChooseAacRate(pCodec, nSampleRate);
    AVChannelLayout layout{};
    ChooseAacLayout(pCodec, nChannels, &layout);
    m_nSampleRate = nRate;
    m_nChannels = layout.nb_channels;

    AVCodecParameters* pPar = pStream->codecpar;
    pPar->codec_type = AVMEDIA_TYPE_AUDIO;
    pPar->codec_id = nId;
    pPar->sample_rate = nRate;
    pPar->format = AV_SAMPLE_FMT_FLTP;
    pPar->bit_rate = std::min<int64_t>(kAacBitRate, int64_t{6} * nRate * layout.nb_channels);
    pPar->frame_size = kAacFrameSamples;
    av_channel_layout_copy(&pPar->ch_layout, &layout);

    // The encoder itself opens with the first audio record; a probe with the
    // same settings gives the decoder configuration the header must carry.
    CodecCtxPtr pProbe = MakeAacEncoder(nRate, layout);
    av_channel_layout_uninit(&layout);
    if (!pProbe)
        return 0;  // declared, never fed
    if (pProbe->extradata_size > 0) {
        pPar->extradata = static_cast<uint8_t*>(
            av_mallocz(static_cast<size_t>(pProbe->extradata_size) + AV_INPUT_BUFFER_PADDING_SIZE));
        if (pPar->extradata == nullptr)
            return 0;
        std::memcpy(pPar->extradata, pProbe->extradata,
                    static_cast<size_t>(pProbe->extradata_size));
        pPar->extradata_size = pProbe->extradata_size;
    }
    m_nAudioStream = pStream->index;
    return 0;
}

int32_t CMp4Writer::SImpl::WriteVideoPacket(const uint8_t* pPayload, uint32_t nLen, bool bKey)
{
    if (m_nVideoStream < 0 || !m_bHeaderWritten)
        return -1;
    if (nLen > static_cast<uint32_t>(INT_MAX - AV_INPUT_BUFFER_PADDING_SIZE))
        return 0;
    AVStream* pStream = m_pFormatCtx->streams[m_nVideoStream];
    const AVRational tb = pStream->time_base;

    const int32_t nRate = std::max(m_nFrameRate, 1);
    if (nRate != m_nTimingRate) {
        if (m_nTimingRate > 0)
            m_nTimingBasePts += av_rescale_q(m_nVideoFrames - m_nTimingBaseFrame,
                                             AVRational{1, m_nTimingRate}, tb);
        m_nTimingBaseFrame = m_nVideoFrames;
        m_nTimingRate = nRate;
    }
    const AVRational period{1, nRate};

    if (!m_pVideoPacket)
        m_pVideoPacket.reset(av_packet_alloc());
    AVPacket* pPacket = m_pVideoPacket.get();
    if (pPacket == nullptr || nLen > static_cast<uint32_t>(INT32_MAX))
        return 0;
    // The payload is handed over in place: records arrive in file order and
    // the muxer writes each one before it returns, so no copy and no
    // interleaving queue (which would hold seconds of video) are needed.
    pPacket->data = const_cast<uint8_t*>(pPayload);
    pPacket->size = static_cast<int>(nLen);
    if (bKey)
        pPacket->flags |= AV_PKT_FLAG_KEY;
    pPacket->stream_index = m_nVideoStream;
    pPacket->pts = pPacket->dts =
        m_nTimingBasePts + av_rescale_q(m_nVideoFrames - m_nTimingBaseFrame, period, tb);
    pPacket->duration = std::max<int64_t>(av_rescale_q(1, period, tb), 1);
    const int r = av_write_frame(m_pFormatCtx.get(), pPacket);
    if (r < 0)
        TRELVO_LOG_WARNING("mp4", "cannot write frame[%d]", r);
    else
        ++m_nVideoFrames;
    NoteWriteResult(r);
    av_packet_unref(pPacket);
    return 0;
}

int32_t CMp4Writer::SImpl::InputAudio(const TessaroFrame& frame)
{
    if (!IsUsableAudio(frame))
        return 0;
    if (!m_pDecoder)
        m_pDecoder = std::make_unique<CAudioDecoder>();
    if (m_nAudioStream < 0)
        return 1;  // no track to feed: consumed without output
    if (!m_hAacEncoder) {
        if (m_bEncoderFailed || OpenAudioEncoder(frame) < 0) {
            m_bEncoderFailed = true;
            return -1;
        }
    }
    const auto nChannels = static_cast<int32_t>(frame.nChannels);
    const auto nRate = static_cast<int32_t>(frame.nSampleRate);
    if (nChannels != m_nInChannels || nRate != m_nInRate) {
        // The input changed its format: finish converting what came in the
        // old one, then convert from the new one, so both keep their speed.
        if (m_nPcmFill > 0)
            EncodePcmBuffer();
        EncodePcmBuffer();  // what the resampler still holds
        if (SetAudioInput(nChannels, nRate) < 0)
            return 0;
    }
    uint32_t n = m_pDecoder->Decode(frame.pPayload, frame.nPayloadLen, m_pDecodeBuf.get(),
                                    CAudioDecoder::DECODE_BUFFER_SIZE, frame.nCodec,
                                    frame.nSampleRate);
    // Whole sample frames only, so channels never swap places.
    n -= n % (2u * static_cast<uint32_t>(m_nInChannels));
    if (n == 0)
        return 0;
    const uint8_t* pSrc = m_pDecodeBuf.get();
    auto nLeft = static_cast<int64_t>(n);
    // A full buffer is encoded only once more PCM arrives (or at the end).
    while (nLeft > m_nPcmBufSize - m_nPcmFill) {
        const int32_t nRoom = m_nPcmBufSize - m_nPcmFill;
        std::memcpy(m_pPcmBuf.data() + m_nPcmFill, pSrc, static_cast<size_t>(nRoom));
        m_nPcmFill = m_nPcmBufSize;
        EncodePcmBuffer();
        pSrc += nRoom;
        nLeft -= nRoom;
    }
    std::memcpy(m_pPcmBuf.data() + m_nPcmFill, pSrc, static_cast<size_t>(nLeft));
    m_nPcmFill += static_cast<int32_t>(nLeft);
    return 1;
}

int32_t CMp4Writer::SImpl::OpenAudioEncoder(const TessaroFrame& frame)
{
    AVStream* pStream = m_pFormatCtx->streams[m_nAudioStream];
    const AVChannelLayout& outLayout = pStream->codecpar->ch_layout;
    const int nOutRate = pStream->codecpar->sample_rate;
    CodecCtxPtr pEncoder = MakeAacEncoder(nOutRate, outLayout);
    if (!pEncoder || SetAudioInput(static_cast<int32_t>(frame.nChannels),
                                   static_cast<int32_t>(frame.nSampleRate)) < 0)
        return -1;

    const int nFrameSize = pEncoder->frame_size > 0 ? pEncoder->frame_size : kAacFrameSamples;
    FifoPtr pFifo(av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, outLayout.nb_channels, 2 * nFrameSize));
    FramePtr pEncFrame(av_frame_alloc());
    PacketPtr pPacket(av_packet_alloc());
    if (!pFifo || !pEncFrame || !pPacket)
        return -1;
    pEncFrame->format = AV_SAMPLE_FMT_FLTP;
    pEncFrame->sample_rate = nOutRate;
    pEncFrame->nb_samples = nFrameSize;
    if (av_channel_layout_copy(&pEncFrame->ch_layout, &outLayout) < 0 ||
        av_frame_get_buffer(pEncFrame.get(), 0) < 0)
        return -1;

    m_vConverted.assign(static_cast<size_t>(outLayout.nb_channels), {});
    m_vConvertedPlanes.assign(m_vConverted.size(), nullptr);
    m_pFifo = std::move(pFifo);
    m_pEncFrame = std::move(pEncFrame);
    m_pEncPacket = std::move(pPacket);
    m_hAacEncoder = std::move(pEncoder);
    return 1;
}

// Converter from the input's 16-bit interleaved PCM to the track's format,
// and a PCM buffer of one encoder input in the input's layout.
int32_t CMp4Writer::SImpl::SetAudioInput(int32_t nInChannels, int32_t nInRate)
{
    const AVCodecParameters* pPar = m_pFormatCtx->streams[m_nAudioStream]->codecpar;
    const AVChannelLayout& outLayout = pPar->ch_layout;
    const int nOutRate = pPar->sample_rate;
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, nInChannels);
    AVChannelLayout swrOutLayout{};
    SwrContext* pSwr = nullptr;
    int r = av_channel_layout_copy(&swrOutLayout, &outLayout);
    if (r >= 0)
        r = swr_alloc_set_opts2(&pSwr, &swrOutLayout, AV_SAMPLE_FMT_FLTP, nOutRate, &inLayout,
                                AV_SAMPLE_FMT_S16, nInRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    av_channel_layout_uninit(&swrOutLayout);
    SwrPtr pResampler(pSwr);
    if (r < 0 || swr_init(pResampler.get()) < 0)
        return -1;

    m_pResampler = std::move(pResampler);
    m_nInChannels = nInChannels;
    m_nInRate = nInRate;
    m_nInputSamples = static_cast<uint32_t>(kAacFrameSamples * nInChannels);
    m_nPcmBufSize = static_cast<int32_t>(2 * m_nInputSamples);
    m_nPcmFill = 0;
    m_pPcmBuf.assign(static_cast<size_t>(m_nPcmBufSize), 0);
    return 1;
}

// Converts the PCM buffer to the track's format and encodes what is complete.
void CMp4Writer::SImpl::EncodePcmBuffer()
{
    if (!m_pResampler || m_nInChannels <= 0)
        return;
    const int nInSamples = m_nPcmFill / (2 * m_nInChannels);
    m_nPcmFill = 0;
    const int nCapacity = swr_get_out_samples(m_pResampler.get(), nInSamples);
    if (nCapacity <= 0)
        return;
    std::vector<uint8_t*>& planes = m_vConvertedPlanes;
    for (size_t c = 0; c < m_vConverted.size(); ++c) {
        std::vector<float>& plane = m_vConverted[c];
        if (plane.size() < static_cast<size_t>(nCapacity))
            plane.resize(static_cast<size_t>(nCapacity));
        planes[c] = reinterpret_cast<uint8_t*>(plane.data());
    }
    const uint8_t* pIn = m_pPcmBuf.data();
    const int nOut = swr_convert(m_pResampler.get(), planes.data(), nCapacity,
                                 nInSamples > 0 ? &pIn : nullptr, nInSamples);
    if (nOut > 0)
        av_audio_fifo_write(m_pFifo.get(), reinterpret_cast<void**>(planes.data()), nOut);
    DrainFifo(false);
}

void CMp4Writer::SImpl::DrainFifo(bool bFinal)
{
    const int nFrameSize = m_pEncFrame->nb_samples;
    while (av_audio_fifo_size(m_pFifo.get()) >= nFrameSize ||
           (bFinal && av_audio_fifo_size(m_pFifo.get()) > 0)) {
        const int nTake = std::min(nFrameSize, av_audio_fifo_size(m_pFifo.get()));
        if (av_frame_make_writable(m_pEncFrame.get()) < 0)
            return;
        // A short last frame is padded with silence to one encoder input.
        av_samples_set_silence(m_pEncFrame->extended_data, 0, nFrameSize,
                               m_pEncFrame->ch_layout.nb_channels, AV_SAMPLE_FMT_FLTP);
        if (av_audio_fifo_read(m_pFifo.get(), reinterpret_cast<void**>(m_pEncFrame->extended_data),
                               nTake) != nTake)
            return;
        m_pEncFrame->pts = m_nEncoderPts;
        m_nEncoderPts += nFrameSize;
        SendToEncoder(m_pEncFrame.get());
    }
}

void CMp4Writer::SImpl::SendToEncoder(AVFrame* pFrame)
{
    if (avcodec_send_frame(m_hAacEncoder.get(), pFrame) < 0)
        return;
    while (avcodec_receive_packet(m_hAacEncoder.get(), m_pEncPacket.get()) >= 0) {
        if (m_pEncPacket->size > 0 && m_pEncPacket->size < kMaxAacFrameBytes)
            WriteAudioPacket(m_pEncPacket.get());
        av_packet_unref(m_pEncPacket.get());
    }
}

int32_t CMp4Writer::SImpl::WriteAudioPacket(AVPacket* pPacket)
{
    if (m_nAudioStream < 0 || !m_pFormatCtx ||
        m_nAudioStream >= static_cast<int32_t>(m_pFormatCtx->nb_streams))
        return -1;
    AVStream* pStream = m_pFormatCtx->streams[m_nAudioStream];
    const AVRational encoderTb{1, m_hAacEncoder->sample_rate};
    pPacket->flags = AV_PKT_FLAG_KEY;
    pPacket->stream_index = m_nAudioStream;
    // One frame of 1024 samples per packet, counted at the track's rate.
    pPacket->pts = pPacket->dts = av_rescale_q(
        static_cast<int64_t>(m_nAudioFrames) * kAacFrameSamples, encoderTb, pStream->time_base);
    pPacket->duration = av_rescale_q(pPacket->duration > 0 ? pPacket->duration : kAacFrameSamples,
                                     encoderTb, pStream->time_base);
    const int r = av_write_frame(m_pFormatCtx.get(), pPacket);
    if (r < 0)
        TRELVO_LOG_WARNING("mp4", "Cannot write Audio frame");
    else
        ++m_nAudioFrames;
    NoteWriteResult(r);
    return r;
}

void CMp4Writer::SImpl::FlushAudio()
{
    if (!m_hAacEncoder || !m_bHeaderWritten)
        return;
    if (m_nPcmFill > 0) {
        std::fill(m_pPcmBuf.begin() + m_nPcmFill, m_pPcmBuf.end(), 0);
        m_nPcmFill = m_nPcmBufSize;
        EncodePcmBuffer();
    }
    // What the resampler still holds, then the encoder's delay.
    EncodePcmBuffer();
    DrainFifo(true);
    SendToEncoder(nullptr);
}

int32_t CMp4Writer::SImpl::Close()
{
    if (m_pFormatCtx) {
        // A context whose header never went out takes no trailer.
        if (m_bHeaderWritten && !m_bWriteFailed)
            NoteWriteResult(av_write_trailer(m_pFormatCtx.get()));
        AVIOContext*& pb = m_pFormatCtx->pb;
        if (pb != nullptr && (m_pFormatCtx->oformat->flags & AVFMT_NOFILE) == 0) {
            const int nStreamError = pb->error;
            const int r = avio_closep(&pb);
            if (m_bHeaderWritten)
                NoteWriteResult(nStreamError < 0 ? nStreamError : r);
        }
        m_pFormatCtx.reset();
    }
    m_bHeaderWritten = false;
    m_nSampleRate = 0;
    m_nVideoStream = m_nAudioStream = -1;
    return 1;
}

int32_t CMp4Writer::SImpl::Finish()
{
    if (m_bFinished)
        return m_nFinishResult;
    m_bFinished = true;
    FlushAudio();
    Close();
    m_hAacEncoder.reset();
    m_pResampler.reset();
    m_pFifo.reset();
    if (m_bWriteFailed || (m_nVideoFrames == 0 && m_nAudioFrames == 0)) {
        std::remove(m_strFileName.c_str());
        m_nFinishResult = m_bWriteFailed ? -1 : 0;
    } else {
        m_nFinishResult = 1;
    }
    return m_nFinishResult;
}

CMp4Writer::CMp4Writer(std::string strFileName)
    : m_pImpl(std::make_unique<SImpl>(std::move(strFileName)))
{
}

CMp4Writer::~CMp4Writer()
{
    m_pImpl->Finish();
}

int32_t CMp4Writer::InputFrame(const TessaroFrame* pFrame)
{
    return m_pImpl->InputFrame(pFrame);
}

int32_t CMp4Writer::Finish()
{
    return m_pImpl->Finish();
}

int32_t CMp4Writer::VideoFrames() const
{
    return m_pImpl->m_nVideoFrames;
}

int32_t CMp4Writer::AudioFrames() const
{
    return m_pImpl->m_nAudioFrames;
}

std::string CMp4Writer::ErrorText() const
{
    if (m_pImpl->m_nLastError >= 0)
        return {};
    char szText[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(m_pImpl->m_nLastError, szText, sizeof szText);
    return szText;
}

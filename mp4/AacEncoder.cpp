#include "AacEncoder.h"

#include "PacketSink.h"
#include "log/Log.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/mathematics.h>
#include <libavutil/samplefmt.h>
#include <libswresample/swresample.h>
#include <vo-aacenc/cmnMemory.h>
#include <vo-aacenc/voAAC.h>
}

using namespace trelvo::mp4;

namespace {

constexpr int kFrameSamples = 1024;
constexpr int64_t kBitRate = 64000;
constexpr int kBitsPerSample = 3;
// VisualOn's encoder: a frame of priming and its block-switching look-ahead.
constexpr int64_t kVisualOnDelay = 1600;
constexpr int kMaxFrameBytes = 40960;
// Input is converted this many sample frames at a time, so a large record
// or a long silence never needs a large buffer.
constexpr int kChunk = 4096;

// The rate a track is declared with: the requested one when the encoder
// takes it, else the next higher rate it takes (the highest as a last resort).
int ChooseRate(const AVCodec* pCodec, int nRate) {
    if (pCodec->supported_samplerates == nullptr) return nRate;
    int nBest = 0;
    int nHighest = 0;
    for (const int* p = pCodec->supported_samplerates; *p != 0; ++p) {
        nHighest = std::max(nHighest, *p);
        if (*p >= nRate && (nBest == 0 || *p < nBest)) nBest = *p;
    }
    return nBest != 0 ? nBest : nHighest;
}

// A layout of the requested channel count that the encoder takes, else stereo.
void ChooseLayout(const AVCodec* pCodec, int nChannels, AVChannelLayout* pLayout) {
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

// An open encoder for exactly this rate and channel count, or null.
CodecCtxPtr MakeEncoder(int nRate, int nChannels) {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (pCodec == nullptr || nRate <= 0 || nChannels <= 0) return nullptr;
    CodecCtxPtr pCtx(avcodec_alloc_context3(pCodec));
    if (!pCtx) return nullptr;
    AVChannelLayout layout{};
    ChooseLayout(pCodec, nChannels, &layout);
    const int r = av_channel_layout_copy(&pCtx->ch_layout, &layout);
    av_channel_layout_uninit(&layout);
    if (r < 0 || pCtx->ch_layout.nb_channels != nChannels) return nullptr;
    pCtx->sample_fmt = AV_SAMPLE_FMT_FLTP;
    // AAC carries at most 6144 bits per channel and frame of 1024 samples.
    pCtx->bit_rate = std::min(CAacEncoder::BitRate(nRate, nChannels), int64_t{6} * nRate * nChannels);
    pCtx->sample_rate = nRate;
    pCtx->time_base = AVRational{1, nRate};
    pCtx->profile = FF_PROFILE_AAC_LOW;
    pCtx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
    pCtx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    const int nOpen = avcodec_open2(pCtx.get(), pCodec, nullptr);
    if (nOpen < 0) {
        TRELVO_LOG_ERROR("mp4", "could not open audio codec[%d]", nOpen);
        return nullptr;
    }
    return pCtx;
}

}  // namespace

void CAacEncoder::TrackShape(int nRate, int nChannels, int* pRate, int* pChannels) {
    *pRate = nRate;
    *pChannels = nChannels;
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (pCodec == nullptr) return;
    *pRate = ChooseRate(pCodec, nRate);
    AVChannelLayout layout{};
    ChooseLayout(pCodec, nChannels, &layout);
    *pChannels = layout.nb_channels;
    av_channel_layout_uninit(&layout);
}

std::vector<uint8_t> CAacEncoder::TrackConfig(int nRate, int nChannels) {
    // The encoder's configuration for the layouts AAC names by number, as
    // FFmpeg writes it (AAC-LC, then the explicit "no SBR" extension), so
    // that declaring a track does not cost an encoder; the others (which
    // need a program config element) ask one, once per process.
    static constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                     22050, 16000, 12000, 11025, 8000,  7350};
    static constexpr int kConfigOf[] = {0, 1, 2, 0, 4, 5, 6, 0, 7};  // by channel count
    const int* pRate = std::find(std::begin(kRates), std::end(kRates), nRate);
    if (pRate != std::end(kRates) && nChannels >= 1 && nChannels <= 8 && kConfigOf[nChannels] != 0) {
        const auto nIndex = static_cast<unsigned>(pRate - std::begin(kRates));
        const auto nConfig = static_cast<unsigned>(kConfigOf[nChannels]);
        return {static_cast<uint8_t>((2u << 3) | (nIndex >> 1)),
                static_cast<uint8_t>(((nIndex & 1u) << 7) | (nConfig << 3)), 0x56, 0xE5, 0x00};
    }
    static std::mutex s_mutex;
    static std::map<std::pair<int, int>, std::vector<uint8_t>> s_asked;
    std::lock_guard<std::mutex> lock(s_mutex);
    auto it = s_asked.find({nRate, nChannels});
    if (it != s_asked.end()) return it->second;
    const CodecCtxPtr pEncoder = MakeEncoder(nRate, nChannels);
    std::vector<uint8_t> config;
    if (pEncoder && pEncoder->extradata_size > 0)
        config.assign(pEncoder->extradata, pEncoder->extradata + pEncoder->extradata_size);
    return s_asked.emplace(std::make_pair(nRate, nChannels), config).first->second;
}

std::vector<uint8_t> CAacEncoder::SilentFrame(int nRate, int nChannels, std::vector<uint8_t>* pConfig) {
    const CodecCtxPtr pEncoder = MakeEncoder(nRate, nChannels);
    const FramePtr pFrame(av_frame_alloc());
    const PacketPtr pPacket(av_packet_alloc());
    if (!pEncoder || !pFrame || !pPacket || pEncoder->extradata_size <= 0) return {};
    pConfig->assign(pEncoder->extradata, pEncoder->extradata + pEncoder->extradata_size);
    pFrame->format = AV_SAMPLE_FMT_FLTP;
    pFrame->sample_rate = nRate;
    pFrame->nb_samples = pEncoder->frame_size > 0 ? pEncoder->frame_size : kFrameSamples;
    if (av_channel_layout_copy(&pFrame->ch_layout, &pEncoder->ch_layout) < 0 ||
        av_frame_get_buffer(pFrame.get(), 0) < 0)
        return {};
    av_samples_set_silence(pFrame->extended_data, 0, pFrame->nb_samples, pFrame->ch_layout.nb_channels,
                           AV_SAMPLE_FMT_FLTP);
    // The first packet carries the priming; the next is a frame of silence
    // that follows any other frame.
    std::vector<uint8_t> silence;
    for (int i = 0; i < 3; ++i) {
        pFrame->pts = static_cast<int64_t>(i) * pFrame->nb_samples;
        // The last round drains the encoder, so it closes with nothing queued.
        if (avcodec_send_frame(pEncoder.get(), i < 2 ? pFrame.get() : nullptr) < 0) return {};
        while (avcodec_receive_packet(pEncoder.get(), pPacket.get()) >= 0) {
            if (pPacket->pts >= 0 && silence.empty()) silence.assign(pPacket->data, pPacket->data + pPacket->size);
            av_packet_unref(pPacket.get());
        }
    }
    return silence;
}

// VisualOn's encoder: one handle, closed with its owner.
struct CAacEncoder::SVisualOn {
    VO_AUDIO_CODECAPI api{};
    VO_MEM_OPERATOR memory{};
    VO_HANDLE hEncoder = nullptr;
    std::vector<uint8_t> out = std::vector<uint8_t>(kMaxFrameBytes);

    SVisualOn() = default;
    SVisualOn(const SVisualOn&) = delete;
    SVisualOn& operator=(const SVisualOn&) = delete;
    ~SVisualOn() {
        if (hEncoder != nullptr) api.Uninit(hEncoder);
    }

    // False when it does not take this shape (more than two channels, some
    // rates): FFmpeg's encoder serves then.
    bool Open(int nRate, int nChannels, int64_t nBitRate) {
        if (nChannels < 1 || nChannels > 2 || voGetAACEncAPI(&api) != VO_ERR_NONE) return false;
        memory.Alloc = cmnMemAlloc;
        memory.Free = cmnMemFree;
        memory.Set = cmnMemSet;
        memory.Copy = cmnMemCopy;
        memory.Check = cmnMemCheck;
        VO_CODEC_INIT_USERDATA user{};
        user.memflag = VO_IMF_USERMEMOPERATOR;
        user.memData = &memory;
        if (api.Init(&hEncoder, VO_AUDIO_CodingAAC, &user) != VO_ERR_NONE) {
            hEncoder = nullptr;
            return false;
        }
        AACENC_PARAM param{};
        param.sampleRate = nRate;
        param.bitRate = static_cast<int>(nBitRate);
        param.nChannels = static_cast<short>(nChannels);
        param.adtsUsed = 0;
        return api.SetParam(hEncoder, VO_PID_AAC_ENCPARAM, &param) == VO_ERR_NONE;
    }
};

int64_t CAacEncoder::BitRate(int nRate, int nChannels) {
    // 3 bits a sample: 24 kbit/s for 8 kHz mono speech. There VisualOn's
    // encoder beats FFmpeg's on speech (24.9 against 23.0 dB segmental SNR)
    // and is within 1 dB on a tone sweep; at 32 kbit/s it falls to 21 dB on
    // the sweep, and above 6 bits a sample it breaks down. Never more than
    // the 64 kbit/s the higher rates had.
    return std::min<int64_t>(kBitRate, int64_t{kBitsPerSample} * nRate * nChannels);
}

CAacEncoder::CAacEncoder(int nRate, int nChannels, IPacketSink& sink)
    : m_nRate(nRate), m_nChannels(nChannels), m_sink(sink) {}

CAacEncoder::~CAacEncoder() = default;

bool CAacEncoder::Open(bool bFfmpeg) {
    if (IsOpen()) return true;
    auto pVisualOn = std::make_unique<SVisualOn>();
    if (!bFfmpeg && pVisualOn->Open(m_nRate, m_nChannels, BitRate(m_nRate, m_nChannels))) {
        AVChannelLayout layout{};
        av_channel_layout_default(&layout, m_nChannels);
        const bool bQueue = OpenQueue(AV_SAMPLE_FMT_S16, layout);
        av_channel_layout_uninit(&layout);
        if (!bQueue) return false;
        m_pVisualOn = std::move(pVisualOn);
        m_nDelay = kVisualOnDelay;
        return true;
    }
    CodecCtxPtr pEncoder = MakeEncoder(m_nRate, m_nChannels);
    if (!pEncoder || !OpenQueue(AV_SAMPLE_FMT_FLTP, pEncoder->ch_layout)) return false;
    m_nDelay = pEncoder->initial_padding;
    m_pEncoder = std::move(pEncoder);
    return true;
}

// The queue of whole encoder frames in the encoder's own sample format.
bool CAacEncoder::OpenQueue(int nSampleFormat, const AVChannelLayout& layout) {
    const auto eFormat = static_cast<AVSampleFormat>(nSampleFormat);
    FifoPtr pFifo(av_audio_fifo_alloc(eFormat, m_nChannels, 2 * kFrameSamples));
    FramePtr pFrame(av_frame_alloc());
    PacketPtr pPacket(av_packet_alloc());
    if (!pFifo || !pFrame || !pPacket) return false;
    pFrame->format = eFormat;
    pFrame->sample_rate = m_nRate;
    pFrame->nb_samples = kFrameSamples;
    if (av_channel_layout_copy(&pFrame->ch_layout, &layout) < 0 || av_frame_get_buffer(pFrame.get(), 0) < 0)
        return false;
    m_vConverted.assign(av_sample_fmt_is_planar(eFormat) != 0 ? static_cast<size_t>(m_nChannels) : 1u, {});
    m_nQueueFormat = nSampleFormat;
    m_pFifo = std::move(pFifo);
    m_pFrame = std::move(pFrame);
    m_pPacket = std::move(pPacket);
    return true;
}

bool CAacEncoder::SetInput(EInput eInput, int nChannels, int nRate) {
    if (!IsOpen() || nChannels < 1 || nChannels > MAX_INPUT_CHANNELS || nRate < 1) return false;
    const bool bSame = eInput == m_eInput && nChannels == m_nInChannels && nRate == m_nInRate;
    if ((m_pResampler || m_bDirect) && bSame) return true;
    // Finish converting what came in the old format, so both keep their speed.
    if (m_pResampler) Convert(nullptr, 0);
    m_pResampler.reset();
    m_bDirect = false;
    m_eInput = eInput;
    m_nInChannels = nChannels;
    m_nInRate = nRate;
    // 16-bit sound of the track's shape (G.711 at 8 kHz) goes to VisualOn's
    // encoder as it is.
    if (eInput == EInput::S16 && m_nQueueFormat == AV_SAMPLE_FMT_S16 && nChannels == m_nChannels && nRate == m_nRate) {
        m_bDirect = true;
        return true;
    }
    AVChannelLayout inLayout{};
    av_channel_layout_default(&inLayout, nChannels);
    SwrContext* pSwr = nullptr;
    const AVSampleFormat nInFormat = eInput == EInput::S16 ? AV_SAMPLE_FMT_S16 : AV_SAMPLE_FMT_FLTP;
    int r = swr_alloc_set_opts2(&pSwr, &m_pFrame->ch_layout, static_cast<AVSampleFormat>(m_nQueueFormat), m_nRate,
                                &inLayout, nInFormat, nRate, 0, nullptr);
    av_channel_layout_uninit(&inLayout);
    SwrPtr pResampler(pSwr);
    if (r < 0 || swr_init(pResampler.get()) < 0) return false;
    m_pResampler = std::move(pResampler);
    return true;
}

void CAacEncoder::Feed(const uint8_t* const* ppData, int64_t nSamples) {
    if ((!m_pResampler && !m_bDirect) || ppData == nullptr) return;
    const uint8_t* planes[MAX_INPUT_CHANNELS] = {};
    const bool bPlanar = m_eInput == EInput::FloatPlanar;
    for (int64_t nDone = 0; nDone < nSamples; nDone += kChunk) {
        const auto n = static_cast<int>(std::min<int64_t>(kChunk, nSamples - nDone));
        if (bPlanar) {
            for (int c = 0; c < m_nInChannels; ++c) planes[c] = ppData[c] + nDone * static_cast<int64_t>(sizeof(float));
        } else {
            planes[0] = ppData[0] + nDone * 2 * m_nInChannels;
        }
        Queue(planes, n);
    }
}

void CAacEncoder::FeedSilence(int64_t nTrackSamples) {
    if ((!m_pResampler && !m_bDirect) || nTrackSamples <= 0) return;
    // Through the converter as input, so it follows what the converter holds.
    const size_t nBytes = static_cast<size_t>(kChunk) * sizeof(float) * static_cast<size_t>(m_nInChannels);
    if (m_vZeros.size() < nBytes) m_vZeros.assign(nBytes, 0);
    const uint8_t* planes[MAX_INPUT_CHANNELS];
    std::fill(std::begin(planes), std::end(planes), m_vZeros.data());
    int64_t nLeft = av_rescale(nTrackSamples, m_nInRate, m_nRate);
    while (nLeft > 0) {
        const auto n = static_cast<int>(std::min<int64_t>(kChunk, nLeft));
        Queue(planes, n);
        nLeft -= n;
    }
}

int64_t CAacEncoder::Position() const {
    return m_nFifoIn + (m_pResampler ? swr_get_delay(m_pResampler.get(), m_nRate) : 0);
}

void CAacEncoder::Queue(const uint8_t* const* ppIn, int nIn) {
    if (!m_bDirect) {
        Convert(ppIn, nIn);
        return;
    }
    auto** ppData = const_cast<void**>(reinterpret_cast<const void* const*>(ppIn));
    if (av_audio_fifo_write(m_pFifo.get(), ppData, nIn) == nIn) m_nFifoIn += nIn;
    DrainFifo(false);
}

// Converts to the track's format (a null input drains the converter), queues
// the result and encodes every whole frame.
void CAacEncoder::Convert(const uint8_t* const* ppIn, int nIn) {
    const int nCapacity = swr_get_out_samples(m_pResampler.get(), nIn);
    if (nCapacity <= 0) return;
    const auto eFormat = static_cast<AVSampleFormat>(m_nQueueFormat);
    const int nPlaneBytes =
        av_samples_get_buffer_size(nullptr, m_vConverted.size() == 1 ? m_nChannels : 1, nCapacity, eFormat, 1);
    if (nPlaneBytes <= 0) return;
    std::vector<uint8_t*> out(m_vConverted.size());
    for (size_t c = 0; c < m_vConverted.size(); ++c) {
        std::vector<uint8_t>& plane = m_vConverted[c];
        if (plane.size() < static_cast<size_t>(nPlaneBytes)) plane.resize(static_cast<size_t>(nPlaneBytes));
        out[c] = plane.data();
    }
    const uint8_t** ppSrc = ppIn != nullptr ? const_cast<const uint8_t**>(ppIn) : nullptr;
    const int nOut = swr_convert(m_pResampler.get(), out.data(), nCapacity, ppSrc, nIn);
    if (nOut > 0 && av_audio_fifo_write(m_pFifo.get(), reinterpret_cast<void**>(out.data()), nOut) == nOut)
        m_nFifoIn += nOut;
    DrainFifo(false);
}

void CAacEncoder::DrainFifo(bool bFinal) {
    const int nFrameSize = m_pFrame->nb_samples;
    const auto eFormat = static_cast<AVSampleFormat>(m_nQueueFormat);
    while (av_audio_fifo_size(m_pFifo.get()) >= nFrameSize || (bFinal && av_audio_fifo_size(m_pFifo.get()) > 0)) {
        const int nTake = std::min(nFrameSize, av_audio_fifo_size(m_pFifo.get()));
        if (av_frame_make_writable(m_pFrame.get()) < 0) return;
        // A short last frame is padded with silence to one encoder input.
        if (nTake < nFrameSize)
            av_samples_set_silence(m_pFrame->extended_data, 0, nFrameSize, m_pFrame->ch_layout.nb_channels, eFormat);
        if (av_audio_fifo_read(m_pFifo.get(), reinterpret_cast<void**>(m_pFrame->extended_data), nTake) != nTake)
            return;
        m_pFrame->pts = m_nEncoderPts;
        m_nEncoderPts += nFrameSize;
        if (m_pVisualOn)
            SendVisualOn(m_pFrame.get());
        else
            Send(m_pFrame.get());
    }
}

void CAacEncoder::Send(AVFrame* pFrame) {
    if (avcodec_send_frame(m_pEncoder.get(), pFrame) < 0) return;
    while (avcodec_receive_packet(m_pEncoder.get(), m_pPacket.get()) >= 0) {
        // The encoder's times start at minus its priming; they stay as they are.
        Emit(m_pPacket.get());
        av_packet_unref(m_pPacket.get());
    }
}

// One frame in, one packet out: the encoder keeps its look-ahead itself.
void CAacEncoder::SendVisualOn(const AVFrame* pFrame) {
    SVisualOn& vo = *m_pVisualOn;
    VO_CODECBUFFER in{};
    in.Buffer = pFrame->data[0];
    in.Length = static_cast<VO_U32>(pFrame->nb_samples) * static_cast<VO_U32>(m_nChannels) * 2u;
    if (vo.api.SetInputData(vo.hEncoder, &in) != VO_ERR_NONE) return;
    for (;;) {
        VO_CODECBUFFER out{};
        out.Buffer = vo.out.data();
        out.Length = static_cast<VO_U32>(vo.out.size());
        VO_AUDIO_OUTPUTINFO info{};
        if (vo.api.GetOutputData(vo.hEncoder, &out, &info) != VO_ERR_NONE) break;
        m_pPacket->data = out.Buffer;
        m_pPacket->size = static_cast<int>(out.Length);
        m_pPacket->pts = m_pPacket->dts = m_nEmitted * kFrameSamples - m_nDelay;
        m_pPacket->duration = kFrameSamples;
        Emit(m_pPacket.get());
        m_pPacket->data = nullptr;
        m_pPacket->size = 0;
    }
}

// Hands a packet on; past the sound's end only the part still carrying sound
// is given a duration, and packets of padding alone are left out.
void CAacEncoder::Emit(AVPacket* pPacket) {
    ++m_nEmitted;
    if (pPacket->size <= 0 || pPacket->size >= kMaxFrameBytes || pPacket->pts >= m_nEnd) return;
    if (pPacket->pts > m_nEnd - kFrameSamples) pPacket->duration = m_nEnd - pPacket->pts;
    pPacket->flags |= AV_PKT_FLAG_KEY;
    m_sink.WriteAudioPacket(pPacket);
}

void CAacEncoder::Flush() {
    if (!IsOpen()) return;
    if (m_pResampler) Convert(nullptr, 0);
    m_nEnd = m_nFifoIn;
    DrainFifo(true);
    if (m_pVisualOn) {
        // Its look-ahead is emptied by frames of silence, up to the packet
        // that holds the last sample.
        if (av_frame_make_writable(m_pFrame.get()) < 0) return;
        av_samples_set_silence(m_pFrame->extended_data, 0, kFrameSamples, m_nChannels, AV_SAMPLE_FMT_S16);
        while (m_nEmitted * kFrameSamples - m_nDelay < m_nEnd) {
            const int64_t nBefore = m_nEmitted;
            SendVisualOn(m_pFrame.get());
            if (m_nEmitted == nBefore) break;
        }
        return;
    }
    Send(nullptr);
}

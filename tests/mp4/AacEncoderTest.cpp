#include "mp4/AacCopy.h"
#include "mp4/AacEncoder.h"
#include "mp4/AudioDecoder.h"
#include "mp4/PacketSink.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

// The packets an encoder hands on, decoded as a player would: from the
// first packet's time, which is minus the encoder's priming.
struct SDecodingSink final : IPacketSink {
    AVCodecContext* pDecoder = nullptr;
    int64_t nFirstPts = INT64_MIN;
    int64_t nEnd = 0;  // the last packet's time plus its duration
    std::vector<float> decoded;

    int32_t WriteAudioPacket(AVPacket* pPacket) override {
        if (nFirstPts == INT64_MIN) nFirstPts = pPacket->pts;
        EXPECT_EQ(pPacket->pts, nFirstPts + static_cast<int64_t>(decoded.size()));
        nEnd = pPacket->pts + pPacket->duration;
        EXPECT_EQ(avcodec_send_packet(pDecoder, pPacket), 0);
        AVFrame* pFrame = av_frame_alloc();
        while (avcodec_receive_frame(pDecoder, pFrame) == 0) {
            const auto* p = reinterpret_cast<const float*>(pFrame->extended_data[0]);
            decoded.insert(decoded.end(), p, p + pFrame->nb_samples);
        }
        av_frame_free(&pFrame);
        return 0;
    }
};

// Segmental SNR over 32 ms segments, each clamped to -10..35 dB.
double SegmentalSnr(const std::vector<int16_t>& source, const float* pDecoded, size_t nDecoded) {
    constexpr size_t kSegment = 256;
    double dSum = 0;
    int nSegments = 0;
    for (size_t s = 0; s + kSegment <= std::min(source.size(), nDecoded); s += kSegment) {
        double dSignal = 0, dNoise = 0;
        for (size_t i = s; i < s + kSegment; ++i) {
            const double d = source[i] - static_cast<double>(pDecoded[i]) * 32768;
            dSignal += static_cast<double>(source[i]) * source[i];
            dNoise += d * d;
        }
        dSum += std::clamp(dNoise > 0 ? 10 * std::log10(dSignal / dNoise) : 35.0, -10.0, 35.0);
        ++nSegments;
    }
    return nSegments > 0 ? dSum / nSegments : 0;
}

// 8 kHz mono, as G.711 comes: a tone sweep of odd length through the fast
// encoder and through FFmpeg's. Both last exactly as long as their input,
// begin by their priming, and the fast one is within 1 dB of FFmpeg's.
TEST(AacEncoder, TheFastEncoderKeepsTheLengthAndTheFidelity) {
    constexpr int kRate = 8000;
    // A slow sweep: a tone held for long is where a coarse coder shows.
    constexpr size_t kSamples = 30 * kRate + 333;
    // Every A-law value in order, to quantise the sweep as a recorder would.
    std::vector<int16_t> levels;
    levels.reserve(256);
    for (int a = 0; a < 256; ++a) levels.push_back(CAudioDecoder::ALawToLinear(static_cast<uint8_t>(a)));
    std::sort(levels.begin(), levels.end());
    std::vector<int16_t> sweep(kSamples);
    for (size_t i = 0; i < kSamples; ++i) {
        const double t = static_cast<double>(i) / kRate;
        const double v = 10800 * std::sin(2 * M_PI * (50 * t + 3850.0 / 60 * t * t));
        auto it = std::lower_bound(levels.begin(), levels.end(), v);
        if (it == levels.end() || (it != levels.begin() && v - *(it - 1) < *it - v)) --it;
        sweep[i] = *it;
    }
    double dSnr[2] = {};
    for (const bool bFfmpeg : {false, true}) {
        SCOPED_TRACE(bFfmpeg ? "FFmpeg" : "fast");
        const std::vector<uint8_t> config = CAacEncoder::TrackConfig(kRate, 1);
        SDecodingSink sink;
        sink.pDecoder = avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_AAC));
        sink.pDecoder->extradata = static_cast<uint8_t*>(av_mallocz(config.size() + AV_INPUT_BUFFER_PADDING_SIZE));
        std::copy(config.begin(), config.end(), sink.pDecoder->extradata);
        sink.pDecoder->extradata_size = static_cast<int>(config.size());
        ASSERT_EQ(avcodec_open2(sink.pDecoder, nullptr, nullptr), 0);
        CAacEncoder encoder(kRate, 1, sink);
        ASSERT_TRUE(encoder.Open(bFfmpeg));
        ASSERT_TRUE(encoder.SetInput(CAacEncoder::EInput::S16, 1, kRate));
        // In records of 1280 bytes of A-law, as the parser cuts them.
        for (size_t nAt = 0; nAt < kSamples; nAt += 1280) {
            const auto* p = reinterpret_cast<const uint8_t*>(sweep.data() + nAt);
            encoder.Feed(&p, static_cast<int64_t>(std::min<size_t>(1280, kSamples - nAt)));
        }
        encoder.Flush();
        EXPECT_EQ(sink.nFirstPts, -encoder.Delay());
        EXPECT_EQ(sink.nEnd, static_cast<int64_t>(kSamples));
        ASSERT_GE(sink.decoded.size(), kSamples + static_cast<size_t>(encoder.Delay()));
        dSnr[bFfmpeg ? 1 : 0] =
            SegmentalSnr(sweep, sink.decoded.data() + encoder.Delay(), sink.decoded.size() - encoder.Delay());
        avcodec_free_context(&sink.pDecoder);
    }
    EXPECT_GT(dSnr[1], 25);
    EXPECT_GE(dSnr[0], dSnr[1] - 1) << "fast " << dSnr[0] << " dB, FFmpeg " << dSnr[1] << " dB";
}

// The track's configuration, written without opening an encoder, is the
// one FFmpeg's encoder gives for every rate and layout.
TEST(AacTrackConfig, IsTheEncodersOwn) {
    const AVCodec* pCodec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    ASSERT_NE(pCodec, nullptr);
    for (int nRate : {8000, 11025, 16000, 22050, 32000, 44100, 48000, 96000}) {
        for (int nChannels = 1; nChannels <= 8; ++nChannels) {
            AVCodecContext* pCtx = avcodec_alloc_context3(pCodec);
            pCtx->sample_fmt = AV_SAMPLE_FMT_FLTP;
            pCtx->sample_rate = nRate;
            pCtx->bit_rate = 64000;
            pCtx->strict_std_compliance = FF_COMPLIANCE_EXPERIMENTAL;
            pCtx->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
            av_channel_layout_default(&pCtx->ch_layout, nChannels);
            ASSERT_GE(avcodec_open2(pCtx, pCodec, nullptr), 0);
            const std::vector<uint8_t> theirs(pCtx->extradata, pCtx->extradata + pCtx->extradata_size);
            EXPECT_EQ(CAacEncoder::TrackConfig(nRate, nChannels), theirs) << nRate << " Hz " << nChannels;
            avcodec_free_context(&pCtx);
        }
    }
}

}  // namespace

namespace {

// The track's reading of an ADTS header is the parser's: eight channels for
// configuration 7, which the track's configuration keeps as 7.
TEST(AacCopyHeader, EightChannelsFromConfiguration7) {
    const uint8_t frame[16] = {0xFF, 0xF1, 0x4D, 0xC0, 0x02, 0x1F, 0xFC};  // LC, 48 kHz, 16 bytes
    trelvo::mp4::SAdtsHeader h;
    ASSERT_TRUE(trelvo::mp4::ParseAdts(frame, sizeof frame, &h));
    EXPECT_EQ(h.nChannels, 8);
    EXPECT_EQ(h.nSampleRate, 48000);
    EXPECT_EQ(trelvo::mp4::AacConfig(h), (std::vector<uint8_t>{0x11, 0xB8}));
    EXPECT_FALSE(trelvo::mp4::ParseAdts(frame, 15, &h));  // the frame is cut short
}

}  // namespace

#include "mp4/AacCopy.h"
#include "mp4/AacEncoder.h"

#include <gtest/gtest.h>

#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

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

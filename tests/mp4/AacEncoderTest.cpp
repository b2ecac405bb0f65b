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

// Records must be real pictures: libavcodec decodes each payload as one
// packet, and the test writer's program streams are what ffprobe reads.
#include "TempDir.h"
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
}

using namespace tessaro_test;

namespace {

struct CodecCtxFree {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFree {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFree {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};

// Decodes the video records from the first key frame on, one packet each;
// returns the number of pictures out, or -1 on a decoding error.
int decodeRecords(const std::vector<Record>& video, AVCodecID id, int width, int height) {
    const AVCodec* codec = avcodec_find_decoder(id);
    if (!codec) return -1;
    std::unique_ptr<AVCodecContext, CodecCtxFree> ctx(avcodec_alloc_context3(codec));
    ctx->err_recognition = AV_EF_EXPLODE;
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return -1;
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    int pictures = 0;
    bool started = false;
    auto drain = [&]() {
        for (;;) {
            int r = avcodec_receive_frame(ctx.get(), frame.get());
            if (r < 0) return r == AVERROR(EAGAIN) || r == AVERROR_EOF ? 0 : r;
            if (frame->width != width || frame->height != height || frame->decode_error_flags) return -1;
            ++pictures;
        }
    };
    for (const Record& r : video) {
        if (!started && r.kind != TESSARO_KIND_KEY) continue;  // as the writer does
        started = true;
        if (av_new_packet(pkt.get(), static_cast<int>(r.payload.size())) < 0) return -1;
        std::copy(r.payload.begin(), r.payload.end(), pkt->data);
        if (r.kind == TESSARO_KIND_KEY) pkt->flags |= AV_PKT_FLAG_KEY;
        int s = avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        if (s < 0 || drain() < 0) return -1;
    }
    avcodec_send_packet(ctx.get(), nullptr);
    if (drain() < 0) return -1;
    return pictures;
}

// Decodes every record from the first key frame on, each packet stamped
// with the record's times; returns the stamps of the pictures in the order
// the decoder puts them out, empty on an error.
std::vector<int64_t> outputOrder(const std::vector<Record>& video, AVCodecID id) {
    std::vector<int64_t> out;
    const AVCodec* codec = avcodec_find_decoder(id);
    std::unique_ptr<AVCodecContext, CodecCtxFree> ctx(avcodec_alloc_context3(codec));
    if (!codec || !ctx) return {};
    // The reorder delay the stamps show, as a reader of the written file
    // would tell the decoder: most pictures before one in decoding order
    // that come after it in display order.
    for (size_t i = 0; i < video.size(); ++i) {
        int later = static_cast<int>(std::count_if(video.begin(), video.begin() + static_cast<std::ptrdiff_t>(i),
                                                   [&](const Record& r) { return r.pts > video[i].pts; }));
        ctx->has_b_frames = std::max(ctx->has_b_frames, later);
    }
    if (avcodec_open2(ctx.get(), codec, nullptr) < 0) return {};
    std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
    std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
    auto drain = [&]() {
        while (avcodec_receive_frame(ctx.get(), frame.get()) >= 0) out.push_back(frame->pts);
    };
    bool started = false;
    for (const Record& r : video) {
        started |= r.kind == TESSARO_KIND_KEY;
        if (!started || av_new_packet(pkt.get(), static_cast<int>(r.payload.size())) < 0) continue;
        std::copy(r.payload.begin(), r.payload.end(), pkt->data);
        pkt->pts = r.pts;
        pkt->dts = r.dts;
        avcodec_send_packet(ctx.get(), pkt.get());
        av_packet_unref(pkt.get());
        drain();
    }
    avcodec_send_packet(ctx.get(), nullptr);
    drain();
    return out;
}

std::string writerPath() {
    return std::string(TRELVO_TESTBIN_DIR) + "/trelvo_ps_writer";
}

int run(const std::string& cmd) {
    int status = std::system(cmd.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace

TEST(TessaroDecode, EveryVideoPayloadDecodesAsOnePicture) {
    struct Case {
        const char* name;
        AVCodecID id;
        int w, h;
    } cases[] = {{"h264_320x180_25fps.h264", AV_CODEC_ID_H264, 320, 180},
                 {"h264_320x180_notiming.h264", AV_CODEC_ID_H264, 320, 180},
                 {"ps_h265_ulaw.ps", AV_CODEC_ID_HEVC, 352, 288},
                 {"ps_h264_damaged.ps", AV_CODEC_ID_H264, 320, 180},
                 // several slices a picture, in packets smaller than a picture
                 {"h264_slices.h264", AV_CODEC_ID_H264, 160, 96},
                 {"h265_slices.h265", AV_CODEC_ID_HEVC, 160, 96},
                 {"ps_h264_slices.ps", AV_CODEC_ID_H264, 160, 96}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Record> video = videoOf(parse(readFile(dataPath(c.name)), 4096));
        ASSERT_FALSE(video.empty());
        size_t fromKey = 0;
        while (fromKey < video.size() && video[fromKey].kind != TESSARO_KIND_KEY) ++fromKey;
        EXPECT_EQ(decodeRecords(video, c.id, c.w, c.h), static_cast<int>(video.size() - fromKey));
    }
}

TEST(TessaroDecode, EveryPictureInDisplayOrder) {
    // Bare streams (times from the order counts), program streams with the
    // muxer's stamps or presentation stamps only, and conformance streams:
    // every picture the reader finds comes out, and sorting by the
    // presentation time gives the order the decoder shows them in.
    // The H.265 stream cut to begin at its second key frame, an open-GOP
    // random access point whose leading pictures cannot be decoded.
    TempDir tmp;
    ASSERT_TRUE(tmp.Valid());
    std::vector<uint8_t> h265 = readFile(dataPath("h265_bframes.h265"));
    std::vector<Unit> us = units(h265, true);
    size_t cut = 0, vps = 0;
    for (const Unit& u : us) {
        if (u.type == 32 && ++vps == 2) break;
        cut += u.startCode + u.bytes.size();
    }
    std::string cra = tmp.Path("cra.h265");
    ASSERT_TRUE(WriteBytes(cra, std::string(h265.begin() + static_cast<std::ptrdiff_t>(cut), h265.end())));

    struct Case {
        std::string path;
        AVCodecID id;
        int width, height;
    } cases[] = {
        {dataPath("h264_bframes.h264"), AV_CODEC_ID_H264, 160, 96},
        {dataPath("h265_bframes.h265"), AV_CODEC_ID_HEVC, 160, 96},
        {cra, AV_CODEC_ID_HEVC, 160, 96},
        {dataPath("h264_2997.h264"), AV_CODEC_ID_H264, 160, 96},
        {dataPath("h264_slices.h264"), AV_CODEC_ID_H264, 160, 96},
        {dataPath("h265_slices.h265"), AV_CODEC_ID_HEVC, 160, 96},
        {dataPath("ps_h264_one.ps"), AV_CODEC_ID_H264, 320, 180},
        {dataPath("ps_h264_bframes.ps"), AV_CODEC_ID_H264, 160, 96},
        {dataPath("ps_h265_bframes_ptsonly.ps"), AV_CODEC_ID_HEVC, 160, 96},
        {dataPath("realworld/Cisco_Men_whisper_640x320_CABAC_Bframe_9.264"), AV_CODEC_ID_H264, 640, 320},
        {dataPath("realworld/CVFC1_Sony_C.jsv"), AV_CODEC_ID_H264, 300, 168},
        {dataPath("realworld/test-25fps.h265"), AV_CODEC_ID_HEVC, 320, 240},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        std::vector<Record> video = videoOf(parse(readFile(c.path), 4096));
        ASSERT_EQ(static_cast<int>(video.size()), ffprobeFrameCount(c.path));
        std::vector<int64_t> pts;
        for (size_t i = 0; i < video.size(); ++i) {
            EXPECT_EQ(video[i].width, c.width);
            EXPECT_EQ(video[i].height, c.height);
            EXPECT_LE(video[i].dts, video[i].pts) << i;
            if (i > 0) {
                EXPECT_GT(video[i].dts, video[i - 1].dts) << i;
            }
            pts.push_back(video[i].pts);
        }
        std::sort(pts.begin(), pts.end());
        EXPECT_TRUE(std::adjacent_find(pts.begin(), pts.end()) == pts.end());
        EXPECT_EQ(outputOrder(video, c.id), pts);
    }
}

TEST(TessaroDecode, EachSideOfACodecChangeDecodes) {
    std::vector<Record> video = videoOf(parse(readFile(dataPath("ps_h264_then_h265.ps"))));
    std::vector<Record> h264, h265;
    for (const Record& r : video) (r.codec == TESSARO_CODEC_H265 ? h265 : h264).push_back(r);
    EXPECT_EQ(decodeRecords(h264, AV_CODEC_ID_H264, 320, 180), 30);
    EXPECT_EQ(decodeRecords(h265, AV_CODEC_ID_HEVC, 352, 288), 45);
}

TEST(TessaroWriterTool, MakesProgramStreamsThatReadersAccept) {
    const std::string out = std::string(TRELVO_TESTBIN_DIR) + "/tessaro_writer_check.ps";
    std::remove(out.c_str());
    ASSERT_EQ(run("'" + writerPath() + "' --video '" + dataPath("h265_352x288_30fps.h265") +
                  "' --fps 30 --pes-size 300 --alaw '" + dataPath("tone_8k.alaw") + "' '" + out + "' 2>/dev/null"),
              0);
    EXPECT_EQ(ffprobeFrameCount(out), 45);
    std::vector<Record> records = parse(readFile(out));
    EXPECT_EQ(videoOf(records).size(), 45u);
    EXPECT_EQ(audioOf(records).size() > 0, true);
    std::remove(out.c_str());

    // Usage errors: no output named, unknown option, unreadable input.
    EXPECT_EQ(run("'" + writerPath() + "' --video x.h264 2>/dev/null"), 2);
    EXPECT_EQ(run("'" + writerPath() + "' --bogus a b 2>/dev/null"), 2);
    EXPECT_EQ(run("'" + writerPath() + "' --video /nonexistent/in.h264 " + out + " 2>/dev/null"), 1);
}

TEST(TessaroWriterTool, AudioGoesOnWhenThePicturesStop) {
    // Five pictures, then 25 s of audio alone: the last picture never sees a
    // successor, yet a caller that drains gets the audio as it comes, not
    // only at the end of input.
    TempDir tmp;
    ASSERT_TRUE(tmp.Valid());
    std::vector<uint8_t> tone = readFile(dataPath("tone_8k.alaw"));
    std::string audio;
    for (int i = 0; i < 13; ++i) audio.append(tone.begin(), tone.end());
    ASSERT_TRUE(WriteBytes(tmp.Path("long.alaw"), audio));
    ASSERT_EQ(run("'" + writerPath() + "' --video '" + dataPath("h264_320x180_25fps.h264") +
                  "' --max-pictures 5 --alaw '" + tmp.Path("long.alaw") + "' '" + tmp.Path("out.ps") + "' 2>/dev/null"),
              0);
    std::vector<uint8_t> ps = readFile(tmp.Path("out.ps"));
    std::vector<Record> before = parse(ps, 16384, false);
    std::vector<Record> all = parse(ps);
    const size_t packets = audio.size() / 320;
    EXPECT_EQ(audioOf(all).size(), packets);
    EXPECT_EQ(videoOf(all).size(), 5u);
    EXPECT_GE(audioOf(before).size(), packets - 520);
}

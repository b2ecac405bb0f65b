// MPEG audio known by its frames and DVD-style LPCM known by its sub-stream,
// each held against what FFmpeg reads from the same bytes; audio that no
// record carries is told.
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

using namespace tessaro_test;

namespace {

struct ReaderAudio {
    AVCodecID codec = AV_CODEC_ID_NONE;
    std::vector<uint8_t> bytes;  // MPEG audio: the frames; LPCM: little-endian samples as the records hold them
};

// Appends a decoded frame of interleaved S16 or S32 samples in the records'
// layout: 16-bit, or the top 24 bits of 32.
void appendSamples(const AVFrame* f, std::vector<uint8_t>& out) {
    const int n = f->nb_samples * f->ch_layout.nb_channels;
    for (int i = 0; i < n; ++i) {
        if (f->format == AV_SAMPLE_FMT_S16) {
            const auto v = static_cast<uint16_t>(reinterpret_cast<const int16_t*>(f->data[0])[i]);
            out.insert(out.end(), {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)});
        } else {
            const auto v = static_cast<uint32_t>(reinterpret_cast<const int32_t*>(f->data[0])[i]);
            out.insert(out.end(),
                       {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)});
        }
    }
}

// Decodes packets (each with its 3 LPCM format bytes in front) as FFmpeg's
// DVD LPCM decoder does.
class LpcmReference {
public:
    LpcmReference() : m_ctx(avcodec_alloc_context3(avcodec_find_decoder(AV_CODEC_ID_PCM_DVD))) {
        avcodec_open2(m_ctx.get(), avcodec_find_decoder(AV_CODEC_ID_PCM_DVD), nullptr);
    }
    void decode(const uint8_t* p, size_t n, std::vector<uint8_t>& out) {
        AVPacket* pkt = av_packet_alloc();
        AVFrame* frame = av_frame_alloc();
        av_new_packet(pkt, static_cast<int>(n));
        std::copy(p, p + n, pkt->data);
        if (avcodec_send_packet(m_ctx.get(), pkt) >= 0) {
            while (avcodec_receive_frame(m_ctx.get(), frame) >= 0) appendSamples(frame, out);
        }
        av_frame_free(&frame);
        av_packet_free(&pkt);
    }

private:
    struct Free {
        void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
    };
    std::unique_ptr<AVCodecContext, Free> m_ctx;
};

ReaderAudio readerAudio(const std::string& path) {
    ReaderAudio a;
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return a;
    avformat_find_stream_info(fmt, nullptr);
    const int s = av_find_best_stream(fmt, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    if (s >= 0) {
        a.codec = fmt->streams[s]->codecpar->codec_id;
        LpcmReference lpcm;
        AVPacket* pkt = av_packet_alloc();
        while (av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == s) {
                if (a.codec == AV_CODEC_ID_PCM_DVD)
                    lpcm.decode(pkt->data, static_cast<size_t>(pkt->size), a.bytes);
                else
                    a.bytes.insert(a.bytes.end(), pkt->data, pkt->data + pkt->size);
            }
            av_packet_unref(pkt);
        }
        av_packet_free(&pkt);
    }
    avformat_close_input(&fmt);
    return a;
}

void appendPts(std::vector<uint8_t>& b, int64_t v) {
    b.insert(b.end(), {static_cast<uint8_t>(0x21 | ((v >> 29) & 0x0E)), static_cast<uint8_t>(v >> 22),
                       static_cast<uint8_t>(((v >> 14) & 0xFE) | 1), static_cast<uint8_t>(v >> 7),
                       static_cast<uint8_t>(((v << 1) & 0xFE) | 1)});
}

// A pack, then private stream 1 with the LPCM header and these samples.
void appendLpcmPacket(std::vector<uint8_t>& ps, const uint8_t format[3], const uint8_t* p, size_t n, int64_t pts) {
    ps.insert(ps.end(), {0, 0, 1, 0xBA, 0x44, 0, 0x04, 0, 0x04, 0x01, 0x01, 0x89, 0xC3, 0xF8});
    const size_t len = 3 + 5 + 7 + n;
    ps.insert(ps.end(), {0, 0, 1, 0xBD, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), 0x81, 0x80, 5});
    appendPts(ps, pts);
    ps.insert(ps.end(), {0xA0, 1, 0, 1, format[0], format[1], format[2]});
    ps.insert(ps.end(), p, p + n);
}

TessaroStatus statusOf(const std::vector<uint8_t>& bytes) {
    TessaroStatus st{};
    void* h = TessaroCreate(0);
    TessaroInputData(h, bytes.data(), static_cast<uint32_t>(bytes.size()));
    TessaroInputEnd(h);
    while (TessaroGetNextFrame(h) != nullptr) {
    }
    TessaroGetStatus(h, &st, sizeof st);
    TessaroDestroy(h);
    return st;
}

}  // namespace

TEST(TessaroAudioKinds, MpegAudioAndLpcmComeOutAsFfmpegReadsThem) {
    struct Case {
        const char* name;
        int codec;
        uint32_t channels, rate, bits, samples;  // samples: per MPEG frame
    };
    const Case cases[] = {{"ps_h264_mp2_nomap.ps", TESSARO_AUDIO_MPEG, 2, 48000, 16, 1152},
                          {"ps_h264_mp3_nomap.ps", TESSARO_AUDIO_MPEG, 1, 22050, 16, 576},
                          {"ps_h264_lpcm16.ps", TESSARO_AUDIO_PCM16, 2, 32000, 16, 0},
                          {"ps_h264_lpcm24.ps", TESSARO_AUDIO_PCM24, 1, 48000, 24, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const ReaderAudio reference = readerAudio(dataPath(c.name));
        ASSERT_FALSE(reference.bytes.empty());
        for (size_t chunk : {size_t{7}, size_t{16384}}) {
            const std::vector<Record> records = parse(readFile(dataPath(c.name)), chunk);
            EXPECT_FALSE(videoOf(records).empty());
            const std::vector<Record> audio = audioOf(records);
            ASSERT_FALSE(audio.empty());
            std::vector<uint8_t> joined;
            for (size_t i = 0; i < audio.size(); ++i) {
                const Record& r = audio[i];
                EXPECT_EQ(r.codec, c.codec);
                EXPECT_EQ(r.channels, c.channels);
                EXPECT_EQ(r.sampleRate, c.rate);
                EXPECT_EQ(r.bits, c.bits);
                // Each record starts where the one before it ended, from the
                // first packet's time: MPEG frames to a sample at 90 kHz, LPCM
                // to the muxer's packet times (FFmpeg stamps a packet with the
                // time of the first of its own frames that starts in it, yet
                // points at the packet's first byte: up to 3 ms off).
                const uint64_t samples = c.samples ? c.samples : r.payload.size() / (c.channels * c.bits / 8);
                if (i == 0) {
                    EXPECT_EQ(r.pts, 45000);
                }
                if (i + 1 < audio.size()) {
                    EXPECT_NEAR(static_cast<double>(audio[i + 1].pts - r.pts), samples * 90000.0 / c.rate,
                                c.samples ? 4.0 : 300.0)
                        << i;
                }
                joined.insert(joined.end(), r.payload.begin(), r.payload.end());
            }
            EXPECT_TRUE(joined == reference.bytes) << joined.size() << " bytes, FFmpeg " << reference.bytes.size();
        }
    }
}

TEST(TessaroAudioKinds, TwentyAndTwentyFourBitLpcmAcrossPackets) {
    // Packets that cut the sample groups anywhere, in every layout of
    // interest: mono (groups of two samples), stereo, six channels.
    std::mt19937 rng(7);
    for (unsigned bits : {20u, 24u}) {
        for (unsigned channels : {1u, 2u, 6u}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(channels) + " channels");
            const uint8_t format[3] = {0x00, static_cast<uint8_t>(((bits - 16) / 4) << 6 | (channels - 1)), 0x80};
            std::vector<uint8_t> ps;
            std::vector<uint8_t> expected;
            LpcmReference reference;
            int64_t pts = 90000;
            for (size_t size : {1003u, 997u, 1500u, 113u, 2011u, 1201u}) {
                std::vector<uint8_t> samples(size);
                for (uint8_t& b : samples) b = static_cast<uint8_t>(rng());
                appendLpcmPacket(ps, format, samples.data(), samples.size(), pts);
                std::vector<uint8_t> packet(format, format + 3);
                packet.insert(packet.end(), samples.begin(), samples.end());
                reference.decode(packet.data(), packet.size(), expected);
                pts += 900;
            }
            std::vector<uint8_t> joined;
            for (const Record& r : audioOf(parse(ps, 5))) {
                EXPECT_EQ(r.codec, TESSARO_AUDIO_PCM24);
                EXPECT_EQ(r.channels, channels);
                EXPECT_EQ(r.sampleRate, 48000u);
                EXPECT_EQ(r.payload.size() % (3 * channels), 0u);  // whole sample frames only
                joined.insert(joined.end(), r.payload.begin(), r.payload.end());
            }
            // FFmpeg's decoder holds back the end that does not fill its block
            // of up to 24 samples; the rest agrees byte for byte.
            ASSERT_FALSE(expected.empty());
            ASSERT_GE(joined.size(), expected.size());
            EXPECT_LT(joined.size() - expected.size(), 24u * 3);
            joined.resize(expected.size());
            EXPECT_TRUE(joined == expected);
        }
    }
}

TEST(TessaroAudioKinds, AudioNoRecordCarriesIsTold) {
    // AC-3 in private stream 1: no record, but the status names it.
    TessaroStatus st = statusOf(readFile(dataPath("ps_h264_ac3.ps")));
    EXPECT_TRUE(st.nFlags & TESSARO_STATUS_AUDIO_LEFT_OUT);
    EXPECT_EQ(st.nAudioLeftOut, TESSARO_AUDIO_AC3);
    EXPECT_EQ(st.nAudioRecords, 0u);
    // Two LPCM streams: the first is read, the second told.
    const uint8_t format[3] = {0x00, 0x01, 0x80};
    const std::vector<uint8_t> samples(400, 0x11);
    std::vector<uint8_t> ps;
    appendLpcmPacket(ps, format, samples.data(), samples.size(), 90000);
    appendLpcmPacket(ps, format, samples.data(), samples.size(), 90000);
    ps[14 + 9 + 5 + 400 + 7 + 14 + 9 + 5] = 0xA1;  // the second packet's sub-stream
    st = statusOf(ps);
    EXPECT_EQ(st.nAudioCodec, TESSARO_AUDIO_PCM16);
    EXPECT_EQ(st.nAudioLeftOut, TESSARO_AUDIO_EXTRA_STREAM);
    // Camera data of its own in private packets, and plain sound: nothing told.
    for (const char* name : {"realworld/srs_cam.ps", "ps_h264_alaw.ps", "ps_h264_aac_nomap.ps", "ps_h264_mp2_nomap.ps"})
        EXPECT_FALSE(statusOf(readFile(dataPath(name))).nFlags & TESSARO_STATUS_AUDIO_LEFT_OUT) << name;
}

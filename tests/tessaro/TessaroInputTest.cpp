// What the parser makes of the input's format: transport streams read as
// libavformat reads them, in every packet size and when damaged, and files
// of other kinds named and left unread.
#include <gtest/gtest.h>

#include "TessaroTestUtil.h"

extern "C" {
#include <libavformat/avformat.h>
}

#include <cstring>
#include <memory>

using namespace tessaro_test;

namespace {

struct AvPacket {
    int64_t pts, dts;
    std::vector<uint8_t> data;
};

// The packets of the first video and first audio stream as libavformat reads them.
void avPackets(const std::string& path, std::vector<AvPacket>& video, std::vector<AvPacket>& audio) {
    AVFormatContext* ctx = nullptr;
    ASSERT_EQ(avformat_open_input(&ctx, path.c_str(), nullptr, nullptr), 0);
    std::unique_ptr<AVFormatContext, void (*)(AVFormatContext*)> owner(
        ctx, [](AVFormatContext* c) { avformat_close_input(&c); });
    ASSERT_GE(avformat_find_stream_info(ctx, nullptr), 0);
    const int v = av_find_best_stream(ctx, AVMEDIA_TYPE_VIDEO, -1, -1, nullptr, 0);
    const int a = av_find_best_stream(ctx, AVMEDIA_TYPE_AUDIO, -1, -1, nullptr, 0);
    AVPacket* pkt = av_packet_alloc();
    while (av_read_frame(ctx, pkt) >= 0) {
        if (pkt->stream_index == v || pkt->stream_index == a) {
            AvPacket p{pkt->pts, pkt->dts, std::vector<uint8_t>(pkt->data, pkt->data + pkt->size)};
            (pkt->stream_index == v ? video : audio).push_back(std::move(p));
        }
        av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
}

TessaroStatus statusOf(const std::vector<uint8_t>& bytes, size_t chunk, std::vector<Record>* records = nullptr) {
    void* h = TessaroCreate(0);
    std::vector<Record> out;
    for (size_t off = 0; off < bytes.size(); off += chunk) {
        TessaroInputData(h, bytes.data() + off, static_cast<uint32_t>(std::min(chunk, bytes.size() - off)));
        while (const TessaroFrame* f = TessaroGetNextFrame(h)) out.push_back(toRecord(*f));
    }
    TessaroInputEnd(h);
    while (const TessaroFrame* f = TessaroGetNextFrame(h)) out.push_back(toRecord(*f));
    TessaroStatus st{};
    EXPECT_EQ(TessaroGetStatus(h, &st, sizeof st), 0);
    TessaroDestroy(h);
    if (records) *records = std::move(out);
    return st;
}

}  // namespace

TEST(TessaroInput, TransportStreamsInEveryPacketSizeAsLibavformatReadsThem) {
    struct Case {
        const char* name;
        uint32_t packetBytes;
        int32_t videoCodec;
    } cases[] = {{"ts_h264_aac.ts", 188, TESSARO_CODEC_H264},
                 {"ts_h265_aac.m2ts", 192, TESSARO_CODEC_H265},
                 {"ts_h264_aac_204.ts", 204, TESSARO_CODEC_H264}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<AvPacket> avVideo, avAudio;
        avPackets(dataPath(c.name), avVideo, avAudio);
        ASSERT_EQ(avVideo.size(), 100u);
        ASSERT_GT(avAudio.size(), 50u);
        const std::vector<uint8_t> bytes = readFile(dataPath(c.name));
        for (size_t chunk : {size_t{16384}, size_t{61}}) {
            std::vector<Record> records;
            const TessaroStatus st = statusOf(bytes, chunk, &records);
            EXPECT_EQ(st.nContainer, TESSARO_CONTAINER_TS);
            EXPECT_EQ(st.nPacketBytes, c.packetBytes);
            EXPECT_EQ(st.nContinuityErrors, 0u);
            ASSERT_EQ(st.nStreams, 2u);
            EXPECT_EQ(st.aStreams[0].nCodec, c.videoCodec);
            EXPECT_EQ(st.aStreams[1].nCodec, TESSARO_AUDIO_AAC);
            EXPECT_EQ(st.aStreams[0].nFate, TESSARO_STREAM_READ);
            EXPECT_EQ(st.aStreams[1].nFate, TESSARO_STREAM_READ);
            const std::vector<Record> video = videoOf(records);
            const std::vector<Record> audio = audioOf(records);
            // Every picture and every sound frame, at the times of the PES headers.
            ASSERT_EQ(video.size(), avVideo.size());
            ASSERT_EQ(audio.size(), avAudio.size());
            for (size_t i = 0; i < video.size(); ++i) {
                EXPECT_EQ(video[i].codec, c.videoCodec);
                EXPECT_EQ(video[i].pts - video[0].dts, avVideo[i].pts - avVideo[0].dts) << "picture " << i;
                EXPECT_EQ(video[i].dts - video[0].dts, avVideo[i].dts - avVideo[0].dts) << "picture " << i;
            }
            for (size_t i = 0; i < audio.size(); ++i) {
                EXPECT_EQ(audio[i].codec, TESSARO_AUDIO_AAC);
                EXPECT_EQ(audio[i].payload, avAudio[i].data) << "sound frame " << i;
                EXPECT_EQ(audio[i].pts - video[0].dts, avAudio[i].pts - avVideo[0].dts) << "sound frame " << i;
            }
        }
    }
}

TEST(TessaroInput, DamageIsCountedAndSoundItCannotCarryIsNamed) {
    // A lost packet and junk between two: counted, the stream goes on.
    std::vector<Record> records;
    TessaroStatus st = statusOf(readFile(dataPath("ts_h264_damaged.ts")), 997, &records);
    EXPECT_EQ(st.nContainer, TESSARO_CONTAINER_TS);
    EXPECT_GE(st.nContinuityErrors, 2u);
    EXPECT_GE(videoOf(records).size(), 98u);
    EXPECT_GT(audioOf(records).size(), 40u);

    // MPEG audio is read as such, a frame a record, not as something else.
    st = statusOf(readFile(dataPath("ts_h264_mp2.ts")), 4096, &records);
    EXPECT_EQ(videoOf(records).size(), 50u);
    ASSERT_FALSE(audioOf(records).empty());
    for (const Record& a : audioOf(records)) {
        EXPECT_EQ(a.codec, TESSARO_AUDIO_MPEG);
        ASSERT_GE(a.payload.size(), 4u);
        EXPECT_EQ(a.payload[0], 0xFF);
    }
    ASSERT_EQ(st.nStreams, 2u);
    EXPECT_EQ(st.aStreams[1].nKind, TESSARO_STREAM_AUDIO);
    EXPECT_EQ(st.aStreams[1].nCodec, TESSARO_AUDIO_MPEG);
    EXPECT_EQ(st.aStreams[1].nFate, TESSARO_STREAM_READ);

    // Video of another kind is named as in a program stream.
    st = statusOf(readFile(dataPath("ts_mpeg2.ts")), 4096, &records);
    EXPECT_TRUE(records.empty());
    EXPECT_TRUE(st.nFlags & TESSARO_STATUS_VIDEO_UNSUPPORTED);
    EXPECT_EQ(st.nVideoCodec, TESSARO_CODEC_MPEG2);
    ASSERT_EQ(st.nStreams, 1u);
    EXPECT_EQ(st.aStreams[0].nFate, TESSARO_STREAM_UNSUPPORTED);
}

TEST(TessaroInput, FilesOfOtherKindsAreNamedAndNotRead) {
    // Each header followed by a whole H.264 stream the start-code scan would find.
    const std::vector<uint8_t> h264 = readFile(dataPath("h264_320x180_25fps.h264"));
    struct Case {
        std::string head;
        int32_t container;
    } cases[] = {
        {std::string("\0\0\0\x20"
                     "ftypisom",
                     12),
         TESSARO_CONTAINER_MP4},
        {std::string("\0\0\0\x08"
                     "wide\0\0\0\x10mdat",
                     16),
         TESSARO_CONTAINER_MP4},
        {"\x1A\x45\xDF\xA3\x9F\x42\x86\x81", TESSARO_CONTAINER_MATROSKA},
        {std::string("RIFF\x10\0\0\0"
                     "AVI LIST",
                     16),
         TESSARO_CONTAINER_AVI},
        {std::string("RIFF\x10\0\0\0"
                     "WAVEfmt ",
                     16),
         TESSARO_CONTAINER_WAV},
        {std::string("FLV\x01\x05\0\0\0\x09", 9), TESSARO_CONTAINER_FLV},
        {std::string("DKIF\0\0\x20\0", 8), TESSARO_CONTAINER_IVF},
        {"\xFF\xD8\xFF\xE0", TESSARO_CONTAINER_JPEG},
        {"\x89PNG\r\n\x1A\n", TESSARO_CONTAINER_PNG},
        {"OggS", TESSARO_CONTAINER_OGG},
        {"ID3\x04", TESSARO_CONTAINER_MPEG_AUDIO},
    };
    for (const Case& c : cases) {
        std::vector<uint8_t> bytes(c.head.begin(), c.head.end());
        bytes.insert(bytes.end(), h264.begin(), h264.end());
        SCOPED_TRACE(TessaroContainerName(c.container));
        EXPECT_EQ(TessaroProbe(bytes.data(), static_cast<uint32_t>(bytes.size())), c.container);
        std::vector<Record> records;
        for (size_t chunk : {size_t{16384}, size_t{7}}) {
            const TessaroStatus st = statusOf(bytes, chunk, &records);
            EXPECT_EQ(st.nContainer, c.container);
            EXPECT_TRUE(records.empty());
        }
    }
    // Bare MP3 frames are told from a bare stream by two headers in a row.
    std::vector<uint8_t> mp3;
    for (int i = 0; i < 3; ++i) {
        const uint8_t frame[4] = {0xFF, 0xFB, 0x90, 0x64};  // 128 kbit/s, 44.1 kHz: 417 bytes
        mp3.insert(mp3.end(), frame, frame + 4);
        mp3.resize(mp3.size() + 413);
    }
    EXPECT_EQ(TessaroProbe(mp3.data(), static_cast<uint32_t>(mp3.size())), TESSARO_CONTAINER_MPEG_AUDIO);
    // What a recorder writes is still read: bare, program and transport streams.
    EXPECT_EQ(TessaroProbe(h264.data(), static_cast<uint32_t>(h264.size())), TESSARO_CONTAINER_ES);
    const std::vector<uint8_t> ps = readFile(dataPath("ps_h264_alaw.ps"));
    EXPECT_EQ(TessaroProbe(ps.data(), static_cast<uint32_t>(ps.size())), TESSARO_CONTAINER_PS);
    // A transport stream cut part way into a packet is still one.
    const std::vector<uint8_t> ts = readFile(dataPath("ts_h264_aac.ts"));
    const std::vector<uint8_t> cut(ts.begin() + 100, ts.end());
    std::vector<Record> records;
    EXPECT_EQ(statusOf(cut, 4096, &records).nContainer, TESSARO_CONTAINER_TS);
    EXPECT_GE(videoOf(records).size(), 99u);
    EXPECT_STREQ(TessaroContainerName(TESSARO_CONTAINER_TS), "ts");
    EXPECT_STREQ(TessaroContainerName(12345), "unknown");
}

// Which video the parser reads: codecs it only names, a codec that changes
// part way, and the status that tells the caller.
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace tessaro_test;

namespace {

TessaroStatus statusAfter(const std::vector<uint8_t>& bytes, std::vector<Record>* records = nullptr) {
    TessaroStatus st{};
    void* h = TessaroCreate(0);
    for (size_t off = 0; off < bytes.size(); off += 4096)
        TessaroInputData(h, bytes.data() + off, static_cast<uint32_t>(std::min<size_t>(4096, bytes.size() - off)));
    TessaroInputEnd(h);
    while (const TessaroFrame* f = TessaroGetNextFrame(h))
        if (records) records->push_back(toRecord(*f));
    EXPECT_EQ(TessaroGetStatus(h, &st, sizeof st), 0);
    TessaroDestroy(h);
    return st;
}

}  // namespace

TEST(TessaroCodecs, VideoThatIsOnlyNamedGivesNoPicturesAndSaysWhy) {
    struct Case {
        const char* name;
        int container, codec;
        size_t audio;
    } cases[] = {
        {"mpeg2_160x96.m2v", TESSARO_CONTAINER_ES, TESSARO_CODEC_MPEG2, 0},
        {"mpeg4_160x96.m4v", TESSARO_CONTAINER_ES, TESSARO_CODEC_MPEG4, 0},
        {"ps_mpeg2.vob", TESSARO_CONTAINER_PS, TESSARO_CODEC_MPEG2, 0},  // no map: by its start codes
        {"ps_mpeg2_alaw.ps", TESSARO_CONTAINER_PS, TESSARO_CODEC_MPEG2, 50},
        {"ps_mpeg4.ps", TESSARO_CONTAINER_PS, TESSARO_CODEC_MPEG4, 0},
        {"ps_mpeg4_nomap.ps", TESSARO_CONTAINER_PS, TESSARO_CODEC_MPEG4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Record> records;
        TessaroStatus st = statusAfter(readFile(dataPath(c.name)), &records);
        EXPECT_TRUE(videoOf(records).empty());
        EXPECT_EQ(st.nContainer, c.container);
        EXPECT_EQ(st.nVideoCodec, c.codec);
        EXPECT_EQ(st.nFlags, unsigned{TESSARO_STATUS_VIDEO_UNSUPPORTED});
        EXPECT_EQ(st.nPictures, 0u);
        // Audio beside such video still comes out whole.
        EXPECT_EQ(audioOf(records).size(), c.audio);
        EXPECT_EQ(st.nAudioRecords, c.audio);
        EXPECT_EQ(st.nAudioCodec, c.audio ? TESSARO_AUDIO_ALAW : 0);
    }
    // One such code in junk in front of a stream does not hide the stream.
    std::vector<uint8_t> junky = {0x5A, 0, 0, 1, 0xB3, 0x11, 0x22, 0x33, 0x44};
    std::vector<uint8_t> h264 = readFile(dataPath("h264_320x180_25fps.h264"));
    junky.insert(junky.end(), h264.begin(), h264.end());
    std::vector<Record> records;
    TessaroStatus st = statusAfter(junky, &records);
    EXPECT_EQ(records.size(), 50u);
    EXPECT_EQ(st.nVideoCodec, TESSARO_CODEC_H264);
    EXPECT_EQ(st.nFlags, 0u);
}

TEST(TessaroCodecs, ACodecChangeEndsOnePartAndStartsTheNext) {
    // A program stream whose second map says H.265, and two bare streams
    // joined each way round.
    std::vector<uint8_t> ps = readFile(dataPath("ps_h264_then_h265.ps"));
    std::vector<uint8_t> h264 = readFile(dataPath("h264_320x180_25fps.h264"));
    std::vector<uint8_t> h265 = readFile(dataPath("h265_352x288_30fps.h265"));
    std::vector<uint8_t> es = h264, es2 = h265;
    es.insert(es.end(), h265.begin(), h265.end());
    es2.insert(es2.end(), h264.begin(), h264.end());
    // The change is where the second part's first map is, after the first
    // part's end code.
    const uint8_t endCode[4] = {0, 0, 1, 0xB9}, map[4] = {0, 0, 1, 0xBC};
    auto firstEnd = std::search(ps.begin(), ps.end(), endCode, endCode + 4);
    size_t secondMap = static_cast<size_t>(std::search(firstEnd, ps.end(), map, map + 4) - ps.begin());
    struct Case {
        const std::vector<uint8_t>& bytes;
        int first, second;
        size_t firstCount, secondCount;
        uint64_t changeAt;
    } cases[] = {{ps, TESSARO_CODEC_H264, TESSARO_CODEC_H265, 30, 45, secondMap},
                 {es, TESSARO_CODEC_H264, TESSARO_CODEC_H265, 50, 45, h264.size()},
                 {es2, TESSARO_CODEC_H265, TESSARO_CODEC_H264, 45, 50, h265.size()}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.changeAt);
        std::vector<Record> records;
        TessaroStatus st = statusAfter(c.bytes, &records);
        std::vector<Record> video = videoOf(records);
        ASSERT_EQ(video.size(), c.firstCount + c.secondCount);
        for (size_t i = 0; i < video.size(); ++i) {
            bool first = i < c.firstCount;
            EXPECT_EQ(video[i].codec, first ? c.first : c.second) << i;
            EXPECT_EQ(video[i].width, (video[i].codec == TESSARO_CODEC_H265) ? 352 : 320) << i;
        }
        // The second part opens with a key frame that carries its own sets.
        const Record& open = video[c.firstCount];
        EXPECT_EQ(open.kind, TESSARO_KIND_KEY);
        bool h265 = c.second == TESSARO_CODEC_H265;
        std::vector<Unit> us = units(open.payload, h265);
        EXPECT_TRUE(std::any_of(us.begin(), us.end(), [&](const Unit& u) { return u.type == (h265 ? 33 : 7); }));
        EXPECT_EQ(st.nVideoCodec, c.first);
        EXPECT_EQ(st.nFlags, unsigned{TESSARO_STATUS_VIDEO_CHANGED});
        EXPECT_EQ(st.nVideoChangeAt, c.changeAt);
        EXPECT_EQ(st.nPictures, video.size());
    }
}

TEST(TessaroCodecs, StatusContract) {
    TessaroStatus st{};
    EXPECT_EQ(TessaroGetStatus(nullptr, &st, sizeof st), -1);
    void* h = TessaroCreate(0);
    EXPECT_EQ(TessaroGetStatus(h, nullptr, sizeof st), -1);
    EXPECT_EQ(TessaroGetStatus(h, &st, 0), -1);
    EXPECT_EQ(TessaroGetStatus(h, &st, sizeof st), 0);
    EXPECT_EQ(st.nContainer, TESSARO_CONTAINER_UNKNOWN);
    std::vector<uint8_t> bytes = readFile(dataPath("ps_h265_ulaw.ps"));
    TessaroInputData(h, bytes.data(), 16384);
    // An older, shorter struct gets its prefix and nothing past it.
    struct {
        TessaroStatus head;
        uint32_t guard;
    } older;
    older.guard = 0xA5A5A5A5u;
    EXPECT_EQ(TessaroGetStatus(h, &older.head, 2 * sizeof(int32_t)), 0);
    EXPECT_EQ(older.head.nContainer, TESSARO_CONTAINER_PS);
    EXPECT_EQ(older.head.nVideoCodec, TESSARO_CODEC_H265);
    EXPECT_EQ(older.guard, 0xA5A5A5A5u);
    TessaroDestroy(h);
}

// The parser seen through its C interface, on the committed fixtures.
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace tessaro_test;

namespace {

struct Fixture {
    const char* name;
    bool h265;
    int pictures;  // what ffprobe decodes
    int width, height;
    unsigned rate;
    int keyEvery;
    int firstPicture;  // pictures left out at the start
};

const Fixture kFixtures[] = {
    {"h264_320x180_25fps.h264", false, 50, 320, 180, 25, 25, 0},
    {"h264_320x180_25fps_repeat.h264", false, 50, 320, 180, 25, 25, 0},
    {"h264_320x180_notiming.h264", false, 50, 320, 180, 25, 25, 0},
    {"h265_352x288_30fps.h265", true, 45, 352, 288, 30, 15, 0},
    {"ps_h264_alaw.ps", false, 50, 320, 180, 25, 25, 0},
    {"ps_h265_ulaw.ps", true, 45, 352, 288, 30, 15, 0},
    {"ps_h264_nomap_30fps.ps", false, 50, 320, 180, 30, 25, 0},
};

bool hasUnit(const std::vector<Unit>& us, int type) {
    return std::any_of(us.begin(), us.end(), [type](const Unit& u) { return u.type == type; });
}

}  // namespace

TEST(TessaroChunking, SameRecordsWhateverTheChunkSize) {
    std::vector<std::string> names = {"ps_h264_damaged.ps",
                                      "ps_h264_bframes.ps",
                                      "ps_h265_bframes_ptsonly.ps",
                                      "ps_h264_2997_wrap_jump.ps",
                                      "ps_h264_steps.ps",
                                      "ps_h264_aac.ps",
                                      "ps_h264_aac_nomap.ps",
                                      "ps_h265_ulaw_late_map.ps",
                                      "ps_h264_then_h265.ps",
                                      "ps_mpeg2_alaw.ps",
                                      "ps_mpeg2.vob",
                                      "realworld/lal_cam.ps",
                                      "realworld/srs_cam.ps",
                                      "realworld/srs_cam2.ps"};
    for (const Fixture& f : kFixtures) names.push_back(f.name);
    for (const std::string& name : names) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = readFile(dataPath(name));
        ASSERT_FALSE(bytes.empty());
        std::vector<Record> reference = parse(bytes, 16384);
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{4096}}) {
            SCOPED_TRACE(chunk);
            std::vector<Record> got = parse(bytes, chunk);
            ASSERT_EQ(got.size(), reference.size());
            for (size_t i = 0; i < got.size(); ++i) ASSERT_TRUE(got[i] == reference[i]) << "record " << i;
        }
    }
}

TEST(TessaroPictures, CountsSizesRatesCodecsAndKeys) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        std::vector<Record> video = videoOf(parse(readFile(dataPath(f.name))));
        EXPECT_EQ(ffprobeFrameCount(dataPath(f.name)), f.pictures);
        ASSERT_EQ(static_cast<int>(video.size()), f.pictures);
        for (size_t i = 0; i < video.size(); ++i) {
            const Record& r = video[i];
            SCOPED_TRACE(i);
            bool key = static_cast<int>(i) % f.keyEvery == 0;
            EXPECT_EQ(r.kind, key ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY);
            EXPECT_EQ(r.codec, f.h265 ? TESSARO_CODEC_H265 : TESSARO_CODEC_H264);
            EXPECT_EQ(r.width, f.width);
            EXPECT_EQ(r.height, f.height);
            EXPECT_EQ(r.rate, f.rate);
            ASSERT_GE(r.payload.size(), 5u);
            EXPECT_TRUE(r.payload[0] == 0 && r.payload[1] == 0 &&
                        (r.payload[2] == 1 || (r.payload[2] == 0 && r.payload[3] == 1)));
        }
    }
}

TEST(TessaroPictures, EveryKeyFrameCarriesItsParameterSets) {
    for (const Fixture& f : kFixtures) {
        SCOPED_TRACE(f.name);
        std::vector<Record> video = videoOf(parse(readFile(dataPath(f.name))));
        std::vector<uint8_t> firstSps;
        int keys = 0;
        for (const Record& r : video) {
            if (r.kind != TESSARO_KIND_KEY) continue;
            ++keys;
            std::vector<Unit> us = units(r.payload, f.h265);
            int sps = f.h265 ? 33 : 7, pps = f.h265 ? 34 : 8;
            EXPECT_EQ(std::count_if(us.begin(), us.end(), [&](const Unit& u) { return u.type == sps; }), 1);
            EXPECT_TRUE(hasUnit(us, pps));
            if (f.h265) {
                EXPECT_TRUE(hasUnit(us, 32));
            }
            // Parameter sets come before the first slice.
            auto firstSlice = std::find_if(us.begin(), us.end(), [&](const Unit& u) {
                return f.h265 ? u.type <= 31 : (u.type == 1 || u.type == 5);
            });
            auto spsAt = std::find_if(us.begin(), us.end(), [&](const Unit& u) { return u.type == sps; });
            EXPECT_LT(spsAt - us.begin(), firstSlice - us.begin());
            if (firstSps.empty()) {
                firstSps = spsAt->bytes;
            } else {
                EXPECT_EQ(spsAt->bytes, firstSps);
            }
            // Inserted sets have 4-byte start codes; an access unit delimiter stays first.
            if (us.front().type == (f.h265 ? 35 : 9)) {
                EXPECT_EQ(us.size() > 1 ? us[1].type : -1, f.h265 ? 32 : 7);
            }
        }
        EXPECT_GE(keys, 2);
    }
}

TEST(TessaroPictures, OnlyTheStartHasParameterSetsYetLaterKeysCarryThem) {
    // The encoder repeated SPS and PPS before the second key frame; take the
    // repeats out so that they appear once, in front of the first picture.
    std::vector<uint8_t> stream;
    bool seen[2] = {false, false};
    for (const Unit& u : units(readFile(dataPath("h264_320x180_25fps.h264")), false)) {
        if (u.type == 7 || u.type == 8) {
            if (seen[u.type - 7]) continue;
            seen[u.type - 7] = true;
        }
        stream.insert(stream.end(), {0, 0, 0, 1});
        stream.insert(stream.end(), u.bytes.begin(), u.bytes.end());
    }
    std::vector<Unit> all = units(stream, false);
    ASSERT_EQ(std::count_if(all.begin(), all.end(), [](const Unit& u) { return u.type == 7; }), 1);
    std::vector<Record> video = videoOf(parse(stream, 7));
    ASSERT_EQ(video.size(), 50u);
    std::vector<Unit> first = units(video[0].payload, false);
    const Record& second = video[25];
    EXPECT_EQ(second.kind, TESSARO_KIND_KEY);
    EXPECT_EQ(second.width, 320);
    std::vector<Unit> us = units(second.payload, false);
    ASSERT_GE(us.size(), 3u);
    EXPECT_EQ(us[0].type, 7);
    EXPECT_EQ(us[0].startCode, 4u);
    EXPECT_EQ(us[0].bytes, first[0].bytes);
    EXPECT_EQ(us[1].type, 8);
    EXPECT_EQ(us[1].startCode, 4u);
    EXPECT_EQ(us[1].bytes, first[1].bytes);
    EXPECT_EQ(us.back().type, 5);
}

TEST(TessaroPictures, PayloadsTogetherAreTheStream) {
    // Nothing is lost or duplicated between records of an elementary stream
    // that repeats its parameter sets: the payloads concatenate to the file.
    // Without the end of input only the last picture, still open, is held:
    // the stream says it does not reorder, so no picture waits for its slot.
    std::vector<uint8_t> bytes = readFile(dataPath("h264_320x180_25fps_repeat.h264"));
    std::vector<Record> all = videoOf(parse(bytes, 4096));
    std::vector<uint8_t> joined;
    for (const Record& r : all) joined.insert(joined.end(), r.payload.begin(), r.payload.end());
    EXPECT_EQ(joined, bytes);
    std::vector<Record> held = videoOf(parse(bytes, 4096, false));
    ASSERT_EQ(held.size(), all.size() - 1);
    EXPECT_TRUE(std::equal(held.begin(), held.end(), all.begin()));
}

TEST(TessaroProgramStream, AudioRecordsMatchTheInputAudio) {
    struct Case {
        const char* ps;
        const char* raw;
        int codec;
    } cases[] = {{"ps_h264_alaw.ps", "tone_8k.alaw", TESSARO_AUDIO_ALAW},
                 {"ps_h265_ulaw.ps", "tone_8k.ulaw", TESSARO_AUDIO_MULAW},
                 // no stream map: audio is taken as A-law
                 {"ps_h264_nomap_30fps.ps", "tone_8k.alaw", TESSARO_AUDIO_ALAW}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ps);
        std::vector<Record> audio = audioOf(parse(readFile(dataPath(c.ps)), 7));
        ASSERT_FALSE(audio.empty());
        std::vector<uint8_t> joined;
        for (const Record& r : audio) {
            EXPECT_EQ(r.codec, c.codec);
            EXPECT_EQ(r.sampleRate, 8000u);
            EXPECT_EQ(r.channels, 1u);
            EXPECT_EQ(r.bits, 16u);
            EXPECT_GT(r.payload.size(), 0u);
            EXPECT_LE(r.payload.size(), 1535u);
            joined.insert(joined.end(), r.payload.begin(), r.payload.end());
        }
        EXPECT_EQ(joined, readFile(dataPath(c.raw)));
    }
}

TEST(TessaroProgramStream, DamagedRecordingStillGivesItsWholePictures) {
    // Starts at picture 5 of the first GOP, junk after key-frame packs, odd
    // pack stuffing, no time stamps, cut off inside picture 49.
    std::vector<Record> video = videoOf(parse(readFile(dataPath("ps_h264_damaged.ps"))));
    ASSERT_EQ(video.size(), 44u);  // pictures 5..48
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].kind, i == 20 ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY) << i;
        EXPECT_EQ(video[i].rate, 25u);
    }
    // Before the first parameter set the size is not known yet.
    EXPECT_EQ(video[0].width, 0);
    EXPECT_EQ(video[20].width, 320);
    EXPECT_EQ(video[20].height, 180);
    // The same pictures as the clean stream has.
    std::vector<Record> clean = videoOf(parse(readFile(dataPath("h264_320x180_25fps_repeat.h264"))));
    for (size_t i = 0; i < video.size(); ++i) EXPECT_EQ(video[i].payload, clean[i + 5].payload) << i;
}

TEST(TessaroRealWorld, CameraFragmentsGiveWholeFrames) {
    // Two P-frames before any key frame, then a key frame cut off.
    std::vector<Record> lal = parse(readFile(dataPath("realworld/lal_cam.ps")));
    ASSERT_EQ(lal.size(), 2u);
    for (const Record& r : lal) {
        EXPECT_EQ(r.type, TESSARO_FRAME_VIDEO);
        EXPECT_EQ(r.kind, TESSARO_KIND_NONKEY);
        EXPECT_EQ(r.codec, TESSARO_CODEC_H264);
    }
    // A 640x480 key frame, two AAC frames (real headers, filler inside), and
    // a P-frame that ends with the input, in that order.
    std::vector<Record> srs = parse(readFile(dataPath("realworld/srs_cam.ps")));
    ASSERT_EQ(srs.size(), 4u);
    EXPECT_EQ(srs[3].type, TESSARO_FRAME_VIDEO);
    EXPECT_EQ(srs[3].kind, TESSARO_KIND_NONKEY);
    for (int i : {1, 2}) {
        EXPECT_EQ(srs[i].type, TESSARO_FRAME_AUDIO);
        EXPECT_EQ(srs[i].codec, TESSARO_AUDIO_AAC);
        EXPECT_EQ(srs[i].channels, 1u);
        EXPECT_EQ(srs[i].sampleRate, 44100u);
        EXPECT_EQ(srs[i].payload[0], 0xFF);
    }
    EXPECT_EQ(srs[2].pts - srs[1].pts, 2070);  // 1024 samples at 44.1 kHz
    EXPECT_EQ(srs[0].type, TESSARO_FRAME_VIDEO);
    EXPECT_EQ(srs[0].kind, TESSARO_KIND_KEY);
    EXPECT_EQ(srs[0].codec, TESSARO_CODEC_H264);
    EXPECT_EQ(srs[0].width, 640);
    EXPECT_EQ(srs[0].height, 480);
    EXPECT_EQ(srs[0].rate, 25u);
    std::vector<Unit> us = units(srs[0].payload, false);
    ASSERT_GE(us.size(), 4u);
    EXPECT_EQ(us[0].type, 7);
    EXPECT_EQ(us[1].type, 8);
    EXPECT_EQ(us.back().type, 5);
    // One key frame in three packets, the last one short and whole, then
    // audio: the picture ends with the input and comes out only then.
    std::vector<uint8_t> bytes2 = readFile(dataPath("realworld/srs_cam2.ps"));
    EXPECT_TRUE(videoOf(parse(bytes2, 16384, false)).empty());
    std::vector<Record> srs2 = parse(bytes2);
    ASSERT_EQ(srs2.size(), 2u);
    EXPECT_EQ(srs2[1].codec, TESSARO_AUDIO_AAC);
    EXPECT_EQ(srs2[0].kind, TESSARO_KIND_KEY);
    EXPECT_EQ(srs2[0].width, 2560);
    EXPECT_EQ(srs2[0].height, 1440);
    // Cut inside the key frame's last packet: nothing is complete.
    bytes2.resize(bytes2.size() - 300);
    EXPECT_TRUE(parse(bytes2).empty());
}

TEST(TessaroDamage, ElementaryStreamWithJunkMidGopStartAndCutEnd) {
    std::vector<uint8_t> clean = readFile(dataPath("h264_320x180_25fps_repeat.h264"));
    std::vector<Record> reference = videoOf(parse(clean));
    ASSERT_EQ(reference.size(), 50u);

    // Start inside picture 3 and cut inside the last picture.
    size_t start = 0;
    for (int i = 0; i < 3; ++i) start += reference[static_cast<size_t>(i)].payload.size();
    start += 20;
    std::vector<uint8_t> cut(clean.begin() + static_cast<std::ptrdiff_t>(start), clean.end() - 40);
    std::vector<Record> video = videoOf(parse(cut, 7));
    // Pictures 4..49; the partial picture 3 is dropped. A bare stream does
    // not say that its last picture was cut short: it comes out as it is.
    ASSERT_EQ(video.size(), 46u);
    for (size_t i = 0; i + 1 < video.size(); ++i) EXPECT_EQ(video[i].payload, reference[i + 4].payload) << i;
    const std::vector<uint8_t>& last = reference.back().payload;
    EXPECT_EQ(video.back().payload, std::vector<uint8_t>(last.begin(), last.end() - 40));

    // Junk between two pictures (no start codes in it) ends up inside the
    // picture before it; every picture is still cut at the right place.
    std::vector<uint8_t> junky = clean;
    size_t at = reference[0].payload.size() + reference[1].payload.size();
    std::vector<uint8_t> junk(333, 0xA7);
    junky.insert(junky.begin() + static_cast<std::ptrdiff_t>(at), junk.begin(), junk.end());
    std::vector<Record> jv = videoOf(parse(junky, 4096));
    ASSERT_EQ(jv.size(), 50u);
    EXPECT_EQ(jv[1].payload.size(), reference[1].payload.size() + junk.size());
    for (size_t i = 2; i < jv.size(); ++i) EXPECT_EQ(jv[i].payload, reference[i].payload);
}

TEST(TessaroDamage, RandomBytesAndEmptyInputYieldNothing) {
    std::mt19937 rng(1234);
    std::vector<uint8_t> noise(512 * 1024);
    for (auto& b : noise) b = static_cast<uint8_t>(rng());
    EXPECT_TRUE(parse(noise, 4096).empty());
    EXPECT_TRUE(parse(noise, 1).empty());
    std::vector<uint8_t> zeros(100000, 0);
    EXPECT_TRUE(parse(zeros).empty());
}

TEST(TessaroContract, HandlesAndRecordLifetime) {
    // Calls with no handle or no bytes are harmless.
    TessaroInputData(nullptr, nullptr, 0);
    EXPECT_EQ(TessaroGetNextFrame(nullptr), nullptr);
    TessaroDestroy(nullptr);

    void* h = TessaroCreate(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(TessaroGetNextFrame(h), nullptr);
    uint8_t one = 0;
    TessaroInputData(h, &one, 0);
    TessaroInputData(h, nullptr, 5);
    EXPECT_EQ(TessaroGetNextFrame(h), nullptr);

    // Records pile up if the caller feeds without draining; each stays intact
    // until the next call. The end of input releases the rest, and input
    // after it is a new stream that gives the same records again.
    std::vector<uint8_t> bytes = readFile(dataPath("ps_h264_alaw.ps"));
    std::vector<Record> reference = parse(bytes);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        for (size_t off = 0; off < bytes.size(); off += 16384)
            TessaroInputData(h, bytes.data() + off, static_cast<uint32_t>(std::min<size_t>(16384, bytes.size() - off)));
        size_t i = 0;
        for (bool ended = false;; ended = true) {
            if (ended) TessaroInputEnd(h);
            while (const TessaroFrame* f = TessaroGetNextFrame(h)) {
                ASSERT_LT(i, reference.size());
                EXPECT_TRUE(toRecord(*f) == reference[i]) << i;
                ++i;
            }
            if (ended) break;
            EXPECT_LT(i, reference.size());
        }
        EXPECT_EQ(i, reference.size());
    }
    TessaroDestroy(h);
}

TEST(TessaroMemory, OversizedPictureIsDroppedAndParsingGoesOn) {
    std::vector<uint8_t> clean = readFile(dataPath("h264_320x180_25fps.h264"));
    void* h = TessaroCreate(0);
    ASSERT_NE(h, nullptr);
    // A key frame whose slice never ends: 40 MiB without a start code.
    std::vector<Record> ref = videoOf(parse(clean));
    std::vector<uint8_t> chunk(16384, 0x5C);
    TessaroInputData(h, ref[0].payload.data(), static_cast<uint32_t>(ref[0].payload.size()));
    size_t records = 0;
    for (int i = 0; i < 40 * 64; ++i) {
        TessaroInputData(h, chunk.data(), static_cast<uint32_t>(chunk.size()));
        while (TessaroGetNextFrame(h)) ++records;
    }
    EXPECT_EQ(records, 0u);
    // The stream that follows comes out whole.
    for (size_t off = 0; off < clean.size(); off += 16384)
        TessaroInputData(h, clean.data() + off, static_cast<uint32_t>(std::min<size_t>(16384, clean.size() - off)));
    TessaroInputEnd(h);
    std::vector<int> kinds;
    while (const TessaroFrame* f = TessaroGetNextFrame(h)) kinds.push_back(f->nFrameKind);
    TessaroDestroy(h);
    ASSERT_EQ(kinds.size(), 50u);
    EXPECT_EQ(kinds[0], TESSARO_KIND_KEY);
}

TEST(TessaroMemory, QueueOfACallerThatNeverDrainsIsBounded) {
    std::vector<uint8_t> once = readFile(dataPath("ps_h264_alaw.ps"));
    std::vector<Record> perCopy = parse(once);
    void* h = TessaroCreate(0);
    ASSERT_NE(h, nullptr);
    const int copies = 60;  // about 6000 records
    for (int c = 0; c < copies; ++c)
        for (size_t off = 0; off < once.size(); off += 16384)
            TessaroInputData(h, once.data() + off, static_cast<uint32_t>(std::min<size_t>(16384, once.size() - off)));
    // The audio after the last picture waits behind it until the input ends.
    TessaroInputEnd(h);
    std::vector<Record> tail;
    while (const TessaroFrame* f = TessaroGetNextFrame(h)) {
        Record r;
        r.type = f->nFrameType;
        r.payload.assign(f->pPayload, f->pPayload + f->nPayloadLen);
        tail.push_back(std::move(r));
    }
    TessaroDestroy(h);
    EXPECT_LE(tail.size(), 4096u);
    EXPECT_GT(tail.size(), 1000u);
    // The newest records are kept, intact: the last copy's audio ends the queue.
    std::vector<Record> lastAudio = audioOf(perCopy);
    ASSERT_FALSE(lastAudio.empty());
    EXPECT_EQ(tail.back().payload, lastAudio.back().payload);
}

TEST(TessaroEnd, OnePictureComesOutAtTheEndOfInput) {
    // A bare stream of the first picture, and a program stream of it.
    std::vector<Record> all = videoOf(parse(readFile(dataPath("h264_320x180_25fps.h264"))));
    ASSERT_FALSE(all.empty());
    for (const std::vector<uint8_t>& one : {all[0].payload, readFile(dataPath("ps_h264_one.ps"))}) {
        for (size_t chunk : {size_t{1}, size_t{7}, size_t{16384}}) {
            SCOPED_TRACE(chunk);
            EXPECT_TRUE(parse(one, chunk, false).empty());
            std::vector<Record> got = parse(one, chunk);
            ASSERT_EQ(got.size(), 1u);
            EXPECT_EQ(got[0].payload, all[0].payload);
            EXPECT_EQ(got[0].kind, TESSARO_KIND_KEY);
        }
    }
}

TEST(TessaroOrder, RecordsComeOutInStreamOrder) {
    // In the writer's streams a picture's first packet carries a time stamp
    // and every audio packet makes one record: the records follow the packets.
    for (const char* name : {"ps_h264_alaw.ps", "ps_h264_nomap_30fps.ps"}) {
        SCOPED_TRACE(name);
        std::vector<uint8_t> bytes = readFile(dataPath(name));
        std::string expected;
        for (const PesPacket& p : pesPackets(bytes))
            if (p.id >= 0xE0 ? p.hasPts : true) expected += p.id >= 0xE0 ? 'V' : 'A';
        for (size_t chunk : {size_t{1}, size_t{4096}}) {
            std::string got;
            for (const Record& r : parse(bytes, chunk)) got += r.type == TESSARO_FRAME_VIDEO ? 'V' : 'A';
            EXPECT_EQ(got, expected) << chunk;
        }
    }
}

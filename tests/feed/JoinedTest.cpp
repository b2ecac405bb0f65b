// The timeline that joins inputs and the cut, fed records as the parser
// hands them out.
#include "libs/feed/Cut.h"
#include "libs/feed/Joined.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr int64_t kSecond = feed::kTicksPerSecond;
constexpr int64_t kFrame = kSecond / 25;
const uint8_t kPayload[4] = {0, 0, 1, 0x65};

TessaroFrame Picture(int64_t nTime, bool bKey, uint32_t nFlags = 0) {
    TessaroFrame f{};
    f.pPayload = kPayload;
    f.nPayloadLen = sizeof kPayload;
    f.nFrameType = TESSARO_FRAME_VIDEO;
    f.nFrameKind = bKey ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY;
    f.nCodec = TESSARO_CODEC_H264;
    f.nFlags = nFlags;
    f.nPts = f.nDts = nTime;
    f.nRateNum = 25;
    f.nRateDen = 1;
    f.nFrameRate = 25;
    f.nWidth = 160;
    f.nHeight = 96;
    return f;
}

TessaroFrame Sound(int64_t nTime) {
    TessaroFrame f{};
    f.pPayload = kPayload;
    f.nPayloadLen = sizeof kPayload;
    f.nFrameType = TESSARO_FRAME_AUDIO;
    f.nCodec = TESSARO_AUDIO_ALAW;
    f.nPts = f.nDts = nTime;
    return f;
}

// One input of nPictures pictures from nStart on, a key frame every second;
// returns the joined times of its pictures.
std::vector<int64_t> Input(feed::CTimelineJoiner& joiner, int64_t nStart, int nPictures, uint32_t nFlags = 0) {
    joiner.BeginInput();
    std::vector<int64_t> times;
    for (int i = 0; i < nPictures; ++i) {
        TessaroFrame f = Picture(nStart + i * kFrame, i % 25 == 0, nFlags);
        joiner.Anchor(f.nDts, (nFlags & TESSARO_FLAG_TIME_DERIVED) != 0);
        joiner.Shift(f);
        times.push_back(f.nPts);
    }
    return times;
}

TEST(JoinedTest, GapsAreKeptRestartsGoOnFromTheLastPicture) {
    feed::CTimelineJoiner joiner{feed::STimeline{}};
    const int64_t nStart = 10 * kSecond;
    EXPECT_EQ(Input(joiner, nStart, 25).front(), nStart);  // the first input keeps its times
    // 3 s after the first ended: the gap stays.
    EXPECT_EQ(Input(joiner, nStart + 4 * kSecond, 25).front(), nStart + 4 * kSecond);
    // The clock starts again: one picture after the last.
    EXPECT_EQ(Input(joiner, nStart, 25).front(), nStart + 5 * kSecond);
    // Worked-out times from 0 (a bare stream) can say nothing of a gap.
    EXPECT_EQ(Input(joiner, 0, 25, TESSARO_FLAG_TIME_DERIVED).front(), nStart + 6 * kSecond);
    // Nor can a recorder clock that follows them.
    EXPECT_EQ(Input(joiner, nStart + 100 * kSecond, 25).front(), nStart + 7 * kSecond);
    EXPECT_EQ(joiner.Timeline().nEnd, nStart + 8 * kSecond);

    // Across the 33-bit wrap: ends 1 s before it, next starts 2 s after it.
    feed::CTimelineJoiner wrap{feed::STimeline{}};
    const int64_t nWrap = int64_t{1} << 33;
    Input(wrap, nWrap - 2 * kSecond, 25);
    EXPECT_EQ(Input(wrap, 2 * kSecond, 1).front(), nWrap + 2 * kSecond);
    // A start just before the end is a restart, not a gap of a day.
    feed::CTimelineJoiner back{feed::STimeline{}};
    Input(back, 50 * kSecond, 25);
    EXPECT_EQ(Input(back, 50 * kSecond + 10 * kFrame, 1).front(), 51 * kSecond);
}

// Records of a 10 s recording with a key frame every 2 s and a sound record
// every 40 ms, each just before its picture in stream order.
std::vector<TessaroFrame> Recording(int64_t nStart) {
    std::vector<TessaroFrame> records;
    for (int i = 0; i < 250; ++i) {
        records.push_back(Sound(nStart + i * kFrame));
        records.push_back(Picture(nStart + i * kFrame, i % 50 == 0));
    }
    return records;
}

struct SCutOut {
    std::vector<int64_t> pictures;
    std::vector<int64_t> sounds;
    int64_t nStartPts = 0;
    bool bDone = false;
};

SCutOut Cut(feed::CCut& cut, const std::vector<TessaroFrame>& records) {
    SCutOut out;
    const feed::CCut::EmitFn emit = [&](const TessaroFrame& f) {
        (f.nFrameType == TESSARO_FRAME_VIDEO ? out.pictures : out.sounds).push_back(f.nPts);
        return true;
    };
    for (const TessaroFrame& f : records) {
        EXPECT_TRUE(cut.Take(f, emit));
        if (cut.Done()) break;
    }
    EXPECT_TRUE(cut.Flush(emit));
    out.nStartPts = cut.StartPts();
    out.bDone = cut.Done();
    return out;
}

TEST(JoinedTest, ACutStartsAtTheKeyFrameAtOrBeforeItsStart) {
    const int64_t nStart = 7 * kSecond;
    feed::CCut cut(5 * kSecond, 9 * kSecond);
    const SCutOut out = Cut(cut, Recording(nStart));
    ASSERT_FALSE(out.pictures.empty());
    EXPECT_EQ(out.pictures.front(), nStart + 4 * kSecond);          // the key frame at 4 s
    EXPECT_EQ(out.pictures.back(), nStart + 9 * kSecond - kFrame);  // the last before 9 s
    EXPECT_EQ(out.pictures.size(), 125u);
    EXPECT_EQ(out.nStartPts, nStart + 4 * kSecond);
    EXPECT_EQ(cut.StartsBefore(), kSecond);
    EXPECT_TRUE(out.bDone);
    // The sound of the second before the key frame waits with it (the writer
    // trims it to the picture); none from 9 s on.
    EXPECT_EQ(out.sounds.front(), nStart + 3 * kSecond);
    EXPECT_LT(out.sounds.back(), nStart + 9 * kSecond);

    // A start exactly on a key frame starts there; no start: the first one.
    feed::CCut onKey(6 * kSecond, feed::CCut::kOpen);
    EXPECT_EQ(Cut(onKey, Recording(nStart)).pictures.front(), nStart + 6 * kSecond);
    feed::CCut whole(feed::CCut::kOpen, feed::CCut::kOpen);
    const SCutOut all = Cut(whole, Recording(nStart));
    EXPECT_EQ(all.pictures.size(), 250u);
    EXPECT_EQ(all.sounds.size(), 250u);

    // A second output of a join keeps the first's origin: a part that ended
    // before it keeps nothing, one that goes on starts at its first key frame.
    feed::CCut ended(0, 3 * kSecond);
    ended.SetOrigin(nStart - 20 * kSecond);
    EXPECT_TRUE(Cut(ended, Recording(nStart)).pictures.empty());
    feed::CCut goesOn(kSecond, 25 * kSecond);
    goesOn.SetOrigin(nStart - 20 * kSecond);
    const SCutOut rest = Cut(goesOn, Recording(nStart));
    ASSERT_FALSE(rest.pictures.empty());
    EXPECT_EQ(rest.pictures.front(), nStart);
    EXPECT_EQ(rest.pictures.back(), nStart + 5 * kSecond - kFrame);
}

TEST(JoinedTest, ShapesThatCannotShareAFile) {
    feed::SStreamShape a;
    a.bVideo = true;
    a.nCodec = TESSARO_CODEC_H264;
    a.nWidth = 160;
    a.nHeight = 96;
    a.bAudio = true;
    a.nAudioCodec = TESSARO_AUDIO_ALAW;
    a.nSampleRate = 8000;
    a.nChannels = 1;
    feed::SStreamShape b = a;
    EXPECT_EQ(feed::ShapeChange(a, b), "");
    b.bAudio = false;  // no sound near the start: nothing to disagree with
    EXPECT_EQ(feed::ShapeChange(a, b), "");
    EXPECT_EQ(feed::ShapeChange(b, a), "the sound");
    b = a;
    b.nWidth = 320;
    EXPECT_EQ(feed::ShapeChange(a, b), "the picture size");
    b = a;
    b.nCodec = TESSARO_CODEC_H265;
    EXPECT_EQ(feed::ShapeChange(a, b), "the video codec");
    b = a;
    b.nAudioCodec = TESSARO_AUDIO_MULAW;
    EXPECT_EQ(feed::ShapeChange(a, b), "the sound");
    // Another picture rate only matters to a format of one fixed rate.
    a.nRateNum = 25;
    b = a;
    b.nRateNum = 30000;
    b.nRateDen = 1001;
    EXPECT_EQ(feed::ShapeChange(a, b), "");
    EXPECT_EQ(feed::ShapeChange(a, b, true), "the picture rate");
    b.nRateNum = 50;
    b.nRateDen = 2;
    EXPECT_EQ(feed::ShapeChange(a, b, true), "");
}

}  // namespace

#include "libs/tessaro/tessaro.h"
#include "mp4/VideoClock.h"

#include <gtest/gtest.h>

namespace {

constexpr int64_t kBase = 5000000;  // a recorder's clock does not start at zero
constexpr int64_t kFrame = 3600;    // 25 fps in 90 kHz ticks

TessaroFrame Rec(int64_t nPts, int64_t nDts, bool bKey = false) {
    TessaroFrame f{};
    f.nFrameType = TESSARO_FRAME_VIDEO;
    f.nFrameKind = bKey ? TESSARO_KIND_KEY : TESSARO_KIND_NONKEY;
    f.nPts = nPts;
    f.nDts = nDts;
    f.nFrameRate = 25;
    return f;
}

TessaroFrame Untimed(bool bKey = false) {
    return Rec(TESSARO_NO_TIME, TESSARO_NO_TIME, bKey);
}

CVideoClock::SStamp Stamp(CVideoClock& clock, const TessaroFrame& f) {
    CVideoClock::SStamp s;
    EXPECT_TRUE(clock.Stamp(f, &s));
    return s;
}

TEST(VideoClock, LeadingPicturesOfAnOpenGopAreDropped) {
    // Shown before the key frame they follow, they need the pictures before it.
    CVideoClock clock(CVideoClock::INPUT_TICKS);
    Stamp(clock, Rec(kBase + 3 * kFrame, kBase, true));
    CVideoClock::SStamp lead;
    EXPECT_FALSE(clock.Stamp(Rec(kBase + kFrame, kBase + kFrame), &lead));
    const CVideoClock::SStamp s = Stamp(clock, Rec(kBase + 4 * kFrame, kBase + 2 * kFrame));
    EXPECT_EQ(s.nPts, kFrame);
    EXPECT_EQ(s.nDts, -kFrame);
    EXPECT_EQ(clock.Zero(), kBase + 3 * kFrame);
}

TEST(VideoClock, BrokenTimesStillGiveAValidTrack) {
    CVideoClock clock(CVideoClock::INPUT_TICKS);
    Stamp(clock, Rec(kBase, kBase, true));
    Stamp(clock, Rec(kBase + kFrame, kBase + kFrame));
    // A time ten seconds back is a stray: the counter goes on. So is a
    // presentation time a minute after its decode time.
    CVideoClock::SStamp s = Stamp(clock, Rec(kBase - 900000, kBase - 900000));
    EXPECT_EQ(s.nDts, 2 * kFrame);
    EXPECT_EQ(s.nPts, 2 * kFrame);
    s = Stamp(clock, Rec(kBase + 60 * 90000, kBase + 3 * kFrame));
    EXPECT_EQ(s.nDts, 3 * kFrame);
    EXPECT_EQ(s.nPts, 3 * kFrame);
    // A decode time that does not increase is nudged up by one tick; a
    // presentation time before it is raised to it.
    s = Stamp(clock, Rec(kBase + kFrame, kBase + 3 * kFrame));
    EXPECT_EQ(s.nDts, 3 * kFrame + 1);
    EXPECT_EQ(s.nPts, 3 * kFrame + 1);
    EXPECT_EQ(Stamp(clock, Rec(kBase + 5 * kFrame, kBase + 5 * kFrame)).nDts, 5 * kFrame);

    // Two records agreeing on a jump back, or on one ahead by more than a
    // step can hold: the recorder's clock moved, and the times go on from
    // the first of them.
    int64_t nAt = kBase + 5 * kFrame;
    for (const int64_t nJump : {int64_t{-9000000}, int64_t{90000} * 3600 * 24}) {
        nAt += nJump;
        const int64_t nDts = Stamp(clock, Untimed()).nDts;
        EXPECT_EQ(Stamp(clock, Rec(nAt, nAt)).nDts, nDts + kFrame);
        EXPECT_EQ(Stamp(clock, Rec(nAt + kFrame, nAt + kFrame)).nDts, nDts + 2 * kFrame);
        EXPECT_EQ(Stamp(clock, Rec(nAt + 3 * kFrame, nAt + 3 * kFrame)).nDts, nDts + 4 * kFrame);
        nAt += 3 * kFrame;
    }

    // Times beyond any recording never overflow.
    const int64_t nDts = Stamp(clock, Untimed()).nDts;
    s = Stamp(clock, Rec(INT64_MAX - 1, INT64_MIN + 1));
    EXPECT_EQ(s.nDts, nDts + kFrame);
}

TEST(VideoClock, CounterRunsAtTheExactRateAndJoinsTheTimes) {
    // 24000/1001 does not fit 90 kHz: the track counts at 360 kHz.
    const auto AtRate = [](TessaroFrame f) {
        f.nRateNum = 24000;
        f.nRateDen = 1001;
        return f;
    };
    const TessaroFrame key = AtRate(Untimed(true));
    const int64_t nScale = CVideoClock::ChooseTimescale(key);
    EXPECT_EQ(nScale, 360000);
    CVideoClock clock(nScale);
    for (int64_t i = 0; i < 10; ++i) EXPECT_EQ(Stamp(clock, i == 0 ? key : AtRate(Untimed())).nDts, i * 15015);
    EXPECT_FALSE(clock.ZeroKnown());
    // Times that begin now go on from the counter, at their own steps.
    EXPECT_EQ(Stamp(clock, AtRate(Rec(kBase, kBase))).nDts, 10 * 15015);
    EXPECT_EQ(Stamp(clock, AtRate(Rec(kBase + 7200, kBase + 7200))).nDts, 10 * 15015 + 4 * 7200);
    // Back to the counter: one picture of the old rate, then the new one.
    EXPECT_EQ(Stamp(clock, Untimed()).nDts, 11 * 15015 + 4 * 7200);
    EXPECT_EQ(Stamp(clock, Untimed()).nDts, 11 * 15015 + 4 * 7200 + 4 * kFrame);

    TessaroFrame other = key;
    other.nPts = other.nDts = 0;
    EXPECT_EQ(CVideoClock::ChooseTimescale(other), 90000);  // times of its own
    other = key;
    other.nRateNum = 30000;
    EXPECT_EQ(CVideoClock::ChooseTimescale(other), 90000);
    other.nRateNum = 1000003;  // would need a timescale no player takes
    EXPECT_EQ(CVideoClock::ChooseTimescale(other), 90000);
}

}  // namespace

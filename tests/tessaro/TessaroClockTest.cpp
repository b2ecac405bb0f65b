// The clock and the exact rates on their own: wraps, restarts, rates from
// stamp spacings and tick sums that never drift.
#include "libs/tessaro/Clock.h"
#include "libs/tessaro/FrameRate.h"

#include <gtest/gtest.h>

using namespace tessaro;

TEST(TessaroRate, ExactTicksAndRatesFromSpacing) {
    const FrameRate ntsc{30000, 1001};
    // Summing one frame at a time is the same as multiplying: no drift.
    for (int64_t n : {int64_t{0}, int64_t{1}, int64_t{1000}, int64_t{30000}, int64_t{123456789}})
        EXPECT_EQ(framesToTicks(ntsc, n), (n * 90000 * 1001 + 15000) / 30000) << n;
    EXPECT_EQ(framesToTicks(ntsc, 1), 3003);
    EXPECT_EQ(framesToTicks({25, 2}, 3), 21600);
    EXPECT_EQ(framesToTicks({24000, 1001}, 1), 3754);  // 3753.75
    EXPECT_EQ(framesToTicks({24000, 1001}, 4), 15015);

    EXPECT_EQ(makeRate(60000, 2 * 1001), (FrameRate{30000, 1001}));
    EXPECT_EQ(makeRate(180000, 1), FrameRate{});  // a 90 kHz tick is no frame rate
    EXPECT_EQ(makeRate(1, 0), FrameRate{});
    EXPECT_EQ(makeRate(90000, 90001), (FrameRate{1, 1}));  // odd denominators are approximated
    EXPECT_EQ(rateFromSpacing(90001), (FrameRate{1, 1}));
    EXPECT_EQ(makeRate(2997002, 100003), (FrameRate{29969, 1000}));
    EXPECT_EQ(roundedRate({30000, 1001}), 30u);
    EXPECT_EQ(roundedRate({25, 2}), 13u);

    EXPECT_EQ(rateFromSpacing(3003), (FrameRate{30000, 1001}));
    EXPECT_EQ(rateFromSpacing(3600), (FrameRate{25, 1}));
    EXPECT_EQ(rateFromSpacing(7200), (FrameRate{25, 2}));
    EXPECT_EQ(rateFromSpacing(3753.75), (FrameRate{24000, 1001}));
    EXPECT_EQ(rateFromSpacing(3001), (FrameRate{30, 1}));  // half a percent off
    EXPECT_EQ(rateFromSpacing(4500), (FrameRate{20, 1}));

    // Stamps rounded to milliseconds (33, 33, 34 ms), with B-frame steps and a
    // stray stamp among them, still say 30 fps.
    SpacingRate spacing;
    const int64_t ms[] = {33, 33, 34, 67, 33, 33, 34, 1, 33, 33, 34, 33, 33, 34};
    int64_t t = 0;
    for (int64_t step : ms) {
        spacing.note(t);
        t += step * 90;
    }
    EXPECT_EQ(spacing.rate(), (FrameRate{30, 1}));
}

TEST(TessaroClock, WrapsGoOnAndRestartsAreBridgedForBothStreams) {
    Clock clock;
    const uint64_t wrap = uint64_t{1} << 33;
    // Near the top of the counter, then past it: the count goes on upward,
    // whichever stream reads it, in either direction.
    EXPECT_EQ(clock.unwrap(wrap - 3000), static_cast<int64_t>(wrap - 3000));
    EXPECT_EQ(clock.unwrap(600), static_cast<int64_t>(wrap + 600));
    EXPECT_EQ(clock.unwrap(wrap - 100), static_cast<int64_t>(wrap - 100));
    EXPECT_EQ(clock.unwrap(4200), static_cast<int64_t>(wrap + 4200));

    // Video at 3600 a frame; a restart to 5000 at 1000000.
    bool jumped = false;
    int64_t video = 1000000, off = 0;
    EXPECT_EQ(clock.offsetFor(video, true, video - 3600, 7200, video, jumped), 0);
    EXPECT_FALSE(jumped);
    clock.note(video);
    // Small steps stay, forward (dropped frames) and back (within the bound).
    EXPECT_EQ(clock.offsetFor(video + 400000, true, video, 7200, video + 3600, jumped), 0);
    EXPECT_EQ(clock.offsetFor(video - 7000, true, video, 7200, video + 3600, jumped), 0);
    EXPECT_FALSE(jumped);
    off = clock.offsetFor(5000, true, video, 7200, video + 3600, jumped);
    EXPECT_TRUE(jumped);
    EXPECT_EQ(5000 + off, video + 3600);
    EXPECT_EQ(clock.offsetFor(8600, true, video + 3600, 7200, video + 7200, jumped), off);
    EXPECT_FALSE(jumped);
    // Audio still before the restart keeps the old correction; once it has
    // crossed, it takes the new one without a jump of its own.
    int64_t audio = video + 1000;
    EXPECT_EQ(clock.offsetFor(audio, true, audio - 3600, kMaxStepBack, audio, jumped), 0);
    EXPECT_FALSE(jumped);
    EXPECT_EQ(clock.offsetFor(5500, true, audio, kMaxStepBack, audio, jumped), off);
    EXPECT_FALSE(jumped);
    // A forward step of more than 5 s is a restart too.
    int64_t later = clock.offsetFor(5500 + 10 * 90000, true, 5500 + off, kMaxStepBack, 5500 + off + 2880, jumped);
    EXPECT_TRUE(jumped);
    EXPECT_EQ(5500 + 10 * 90000 + later, 5500 + off + 2880);
}

// Times in the records: from the program stream's packets, on one clock for
// audio and video, and the exact rate.
#include "TessaroTestUtil.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace tessaro_test;

namespace {

struct Times {
    int64_t pts, dts;
};

// The fixture's "pts dts" lines, moved so the first decoding time (or the
// first presentation time, when the stream was written without decoding
// times) is at 1 s as the writer puts it.
std::vector<Times> readTimes(const std::string& name, bool ptsOnly = false) {
    std::ifstream f(dataPath(name));
    std::vector<Times> out;
    std::string pts, dts;
    while (f >> pts >> dts) out.push_back({std::stoll(pts), dts == "N/A" ? std::stoll(pts) : std::stoll(dts)});
    if (!out.empty()) {
        int64_t zero = ptsOnly ? out[0].pts : out[0].dts;
        for (Times& t : out) {
            t.pts += 90000 - zero;
            t.dts += 90000 - zero;
        }
    }
    return out;
}

int64_t g711Ticks(size_t bytes) {
    return static_cast<int64_t>((bytes * 90000 * 2 + 8000) / 16000);
}

}  // namespace

TEST(TessaroTimes, FromThePacketsOfAProgramStream) {
    // Presentation and decoding times as the muxer wrote them (a decoding
    // time left out means it equals the presentation time).
    std::vector<Times> times = readTimes("h264_bframes.times");
    std::vector<Record> records = parse(readFile(dataPath("ps_h264_bframes.ps")), 7);
    std::vector<Record> video = videoOf(records);
    ASSERT_EQ(video.size(), times.size());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts, times[i].pts) << i;
        EXPECT_EQ(video[i].dts, times[i].dts) << i;
        EXPECT_EQ(video[i].flags, 0u) << i;
    }
    // Audio: each record at its first sample, the stream's first at 1 s.
    size_t bytes = 0;
    for (const Record& a : audioOf(records)) {
        EXPECT_EQ(a.pts, 90000 + g711Ticks(bytes)) << bytes;
        EXPECT_EQ(a.dts, a.pts);
        EXPECT_EQ(a.flags, 0u);
        bytes += a.payload.size();
    }
    EXPECT_EQ(bytes, 16000u);

    // Presentation times only: decoding times are worked out so that they
    // rise and never pass the presentation time.
    times = readTimes("h265_bframes.times", true);
    video = videoOf(parse(readFile(dataPath("ps_h265_bframes_ptsonly.ps"))));
    ASSERT_EQ(video.size(), times.size());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts, times[i].pts) << i;
        EXPECT_LE(video[i].dts, video[i].pts) << i;
        if (i > 0) {
            EXPECT_GT(video[i].dts, video[i - 1].dts) << i;
        }
    }
    // ... as far behind as the muxer's, which knew the reordering.
    EXPECT_EQ(video.back().pts - video.back().dts, times.back().pts - times.back().dts);
}

TEST(TessaroTimes, OneClockThroughAWrapAndARestart) {
    // 29.97 fps; the counter wraps at picture 15 and the recorder's clock
    // starts again at picture 40: the timeline goes on, the restart flagged.
    std::vector<Record> records = parse(readFile(dataPath("ps_h264_2997_wrap_jump.ps")), 4096);
    std::vector<Record> video = videoOf(records);
    ASSERT_EQ(video.size(), 50u);
    const int64_t start = (int64_t{1} << 33) - 15 * 3003;
    EXPECT_EQ(video[0].pts, start);
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts - video[i - 1].pts, 3003) << i;
        EXPECT_EQ(video[i].dts - video[i - 1].dts, 3003) << i;
        EXPECT_EQ(video[i].flags, i == 40 ? unsigned{TESSARO_FLAG_DISCONTINUITY} : 0u) << i;
    }
    // Audio keeps its own pace across both and stays with the pictures (the
    // last 0.3 s of it follows the last picture).
    int64_t lastVideo = 0, audioEnd = 0;
    bool first = true;
    for (const Record& r : records) {
        if (r.type == TESSARO_FRAME_VIDEO) {
            lastVideo = r.pts;
            continue;
        }
        if (!first) {
            EXPECT_EQ(r.pts, audioEnd);
        }
        if (lastVideo != video.back().pts) {
            EXPECT_LT(std::abs(r.pts - lastVideo), 2 * 3003) << r.pts;
        }
        audioEnd = r.pts + g711Ticks(r.payload.size());
        first = false;
    }
}

TEST(TessaroTimes, UnevenStepsAreTheRecordersAndStay) {
    std::vector<Record> video = videoOf(parse(readFile(dataPath("ps_h264_steps.ps"))));
    ASSERT_EQ(video.size(), 50u);
    const int64_t steps[3] = {3600, 7200, 3600};
    for (size_t i = 1; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts - video[i - 1].pts, steps[(i - 1) % 3]) << i;
        EXPECT_LE(video[i].dts, video[i].pts);
        EXPECT_GT(video[i].dts, video[i - 1].dts);
        EXPECT_EQ(video[i].rateNum, 25u);
        EXPECT_EQ(video[i].rateDen, 1u);
    }
}

TEST(TessaroTimes, WithoutStampsTimesComeFromTheRate) {
    // No time stamps in the packets: one frame apart at the sequence's 25 fps.
    std::vector<Record> video = videoOf(parse(readFile(dataPath("ps_h264_damaged.ps"))));
    ASSERT_FALSE(video.empty());
    for (size_t i = 0; i < video.size(); ++i) {
        EXPECT_EQ(video[i].pts, static_cast<int64_t>(i) * 3600) << i;
        EXPECT_EQ(video[i].flags, unsigned{TESSARO_FLAG_TIME_DERIVED}) << i;
    }
}

TEST(TessaroTimes, ExactRateOnEveryPicture) {
    struct Case {
        const char* name;
        uint32_t num, den;
    } cases[] = {
        {"h264_2997.h264", 30000, 1001},  // timing information
        {"h265_2997.h265", 30000, 1001},
        {"h264_320x180_25fps.h264", 25, 1},
        {"h264_320x180_notiming.h264", 25, 1},       // nothing says: 25
        {"ps_h264_2997_wrap_jump.ps", 30000, 1001},  // from the stamps alone
        {"ps_h264_nomap_30fps.ps", 30, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Record> video = videoOf(parse(readFile(dataPath(c.name))));
        ASSERT_GE(video.size(), 20u);
        std::vector<int64_t> pts;
        for (const Record& r : video) {
            EXPECT_EQ(r.rateNum, c.num);
            EXPECT_EQ(r.rateDen, c.den);
            EXPECT_EQ(r.rate, (c.num + c.den / 2) / c.den);
            pts.push_back(r.pts);
        }
        // One frame apart in display order, exactly.
        std::sort(pts.begin(), pts.end());
        const int64_t frame = (90000 * int64_t{c.den} + c.num / 2) / c.num;
        for (size_t i = 1; i < pts.size(); ++i) EXPECT_EQ(pts[i] - pts[i - 1], frame) << i;
    }
}

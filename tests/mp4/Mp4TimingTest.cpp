// Video times read back from the file: B-frame order, the recorder's steps,
// the exact rate when there are no times.
#include "Mp4TestUtil.h"
#include "OutputTest.h"
#include "mp4/Mp4Writer.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace fs = std::filesystem;
using namespace mp4test;

namespace {

using Mp4Timing = COutputTest;

// Pictures shown at exactly these times (seconds), and lasting to dEnd.
void ExpectShownAt(const SStreamInfo& v, const std::vector<double>& times, double dEnd) {
    ASSERT_EQ(v.vFrameTimes.size(), times.size());
    for (size_t i = 0; i < times.size(); ++i) ASSERT_NEAR(v.vFrameTimes[i], times[i], 1e-9) << i;
    EXPECT_NEAR(v.dDuration, dEnd, 1e-9);
    EXPECT_EQ(v.nDecodeErrors, 0);
}

TEST_F(Mp4Timing, BFramesKeepEveryPictureInDisplayOrder) {
    for (const auto& [name, dStep] :
         {std::pair{"mp4_h264_bframes_2997.ts", 1001.0 / 30000}, std::pair{"mp4_h265_bframes.ts", 0.04}}) {
        SCOPED_TRACE(name);
        const std::vector<SRecord> records = DemuxRecords(DataPath(name));
        ASSERT_GE(records.size(), 50u);
        const fs::path out = m_dir / "bframes.mp4";
        CMp4Writer w(out.string());
        for (const SRecord& r : records) {
            const TessaroFrame f = r.Frame();
            ASSERT_EQ(w.InputFrame(&f), 1);
        }
        EXPECT_EQ(w.Finish(), 1);

        const SProbe source = Probe(DataPath(name));
        const SProbe p = Probe(out);
        ASSERT_EQ(source.video.vPictureSums.size(), records.size());
        EXPECT_EQ(p.video.nPackets, static_cast<int64_t>(records.size()));
        // The same pictures in the same order, at the recorder's steps from
        // zero: a 29.97 fps recording lasts N x 1001/30000 s exactly.
        EXPECT_EQ(p.video.vPictureSums, source.video.vPictureSums);
        std::vector<double> times;
        for (size_t i = 0; i < records.size(); ++i) times.push_back(static_cast<double>(i) * dStep);
        ExpectShownAt(p.video, times, static_cast<double>(records.size()) * dStep);
    }
}

TEST_F(Mp4Timing, PicturesLastAsLongAsTheRecorderSays) {
    const std::vector<SPicture> v = CutPictures(ReadFile(DataPath("h264_320x180_25fps.h264")), false);
    ASSERT_EQ(v.size(), 50u);
    struct SCase {
        const char* pszName;
        uint32_t nRateNum, nRateDen;
        bool bTimed;
    };
    for (const SCase& c :
         {SCase{"steps", 0, 0, true}, SCase{"29.97", 30000, 1001, false}, SCase{"23.976", 24000, 1001, false}}) {
        SCOPED_TRACE(c.pszName);
        const fs::path out = m_dir / "clock.mp4";
        CMp4Writer w(out.string());
        // Steps of 40, 80, 40 ms (a camera dropping pictures), or none at all.
        const int64_t steps[] = {3600, 7200, 3600};
        int64_t nTime = 123456789;
        std::vector<double> times;
        for (size_t k = 0; k < v.size(); ++k) {
            TessaroFrame f = VideoRecord(v[k], TESSARO_CODEC_H264, 25, 320, 180);
            f.nRateNum = c.nRateNum;
            f.nRateDen = c.nRateDen;
            if (c.bTimed) {
                f.nPts = f.nDts = nTime;
                times.push_back(static_cast<double>(nTime - 123456789) / 90000);
                nTime += steps[k % 3];
            } else {
                times.push_back(static_cast<double>(k) * c.nRateDen / c.nRateNum);
            }
            ASSERT_EQ(w.InputFrame(&f), 1);
        }
        EXPECT_EQ(w.Finish(), 1);
        // The last picture lasts as long as the one before it.
        const double dLast = times[49] - times[48];
        ExpectShownAt(Probe(out).video, times, times[49] + dLast);
    }
}

}  // namespace

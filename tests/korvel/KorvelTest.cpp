#include "TempDir.h"
#include "libs/korvel/korvel.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "../cli/ProcessUtil.h"
#include "libs/korvel/KorvelProgress.h"

namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";
const std::string kSample = std::string(TRELVO_SOURCE_DIR) + "/samples/cam_sample.ps";

struct SReport {
    uint32_t nPosition;
    uint32_t nTotal;
    int32_t nUser;
};
std::vector<SReport> g_reports;
int g_nCancelAfter = -1;  // cancel on this many-th question; -1 never
int g_nCancelAsks = 0;

void Record(uint32_t nPosition, uint32_t nTotal, int32_t nUser) {
    g_reports.push_back({nPosition, nTotal, nUser});
}
int32_t Cancel(int32_t) {
    return g_nCancelAfter >= 0 && ++g_nCancelAsks > g_nCancelAfter ? 1 : 0;
}

class KorvelTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = m_tmp.Root();
        g_reports.clear();
        g_nCancelAfter = -1;
        g_nCancelAsks = 0;
    }
    void TearDown() override {
        if (::getuid() != 0) fs::permissions(m_dir, fs::perms::owner_all, fs::perm_options::add);
    }
    std::string Path(const std::string& strName) const { return (m_dir / strName).string(); }

    TempDir m_tmp;
    fs::path m_dir;
};

TEST_F(KorvelTest, H264StreamBecomesAPlayableAvi) {
    const std::string in = kData + "h264_320x180_25fps.h264";
    const std::string out = Path("a.avi");
    ASSERT_GE(KorvelConvertToAvi(in.c_str(), out.c_str(), 2, Record, 42), 0);
    EXPECT_EQ(ProbeStreams(out, "codec_name,codec_type,codec_tag_string,width,height,avg_frame_rate"),
              "h264|video|H264|320|180|25/1\n");
    // Every picture, the last one too: it ends with the input.
    EXPECT_EQ(CountVideoFrames(out), 50);
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(out, &strErrors)) << strErrors;

    // Progress in bytes of input, rising, ending at the whole file.
    ASSERT_FALSE(g_reports.empty());
    const uint32_t nSize = static_cast<uint32_t>(fs::file_size(in));
    for (size_t i = 0; i < g_reports.size(); ++i) {
        EXPECT_EQ(g_reports[i].nTotal, nSize);
        EXPECT_EQ(g_reports[i].nUser, 42);
        if (i > 0) {
            EXPECT_GT(g_reports[i].nPosition, g_reports[i - 1].nPosition);
        }
    }
    EXPECT_EQ(g_reports.back().nPosition, nSize);
}

TEST_F(KorvelTest, H265StreamKeepsItsCodecAndRate) {
    const std::string out = Path("b.avi");
    ASSERT_GE(KorvelConvertToAviEx((kData + "h265_352x288_30fps.h265").c_str(), out.c_str(), 2, nullptr, nullptr, 0),
              0);
    EXPECT_EQ(ProbeStreams(out, "codec_name,codec_type,codec_tag_string,width,height,avg_frame_rate"),
              "hevc|video|HEVC|352|288|30/1\n");
    EXPECT_EQ(CountVideoFrames(out), 45);
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(out, &strErrors)) << strErrors;
}

TEST_F(KorvelTest, G711AudioStaysG711) {
    if (!fs::exists(kSample)) GTEST_SKIP() << "no sample recording";
    const std::string out = Path("s.avi");
    ASSERT_GE(KorvelConvertToAvi(kSample.c_str(), out.c_str(), 2, nullptr, 0), 0);
    const std::string strStreams = ProbeStreams(out, "codec_name,codec_type,codec_tag_string,sample_rate,channels");
    EXPECT_NE(strStreams.find("h264|video|H264"), std::string::npos) << strStreams;
    EXPECT_TRUE(strStreams.find("pcm_alaw|audio|[6][0][0][0]|8000|1") != std::string::npos ||
                strStreams.find("pcm_mulaw|audio|[7][0][0][0]|8000|1") != std::string::npos)
        << strStreams;
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(out, &strErrors)) << strErrors;

    // Audio and video run about as long as each other: pictures at 25 per
    // second against samples at 8000 per second, as the header counts them.
    const std::string strCounts =
        RunProcess({"ffprobe", "-v", "error", "-show_entries", "stream=nb_frames", "-of", "csv=p=0", out}).strOut;
    double dVideo = 0, dAudio = 0;
    ASSERT_EQ(std::sscanf(strCounts.c_str(), "%lf\n%lf", &dVideo, &dAudio), 2) << strCounts;
    dVideo /= 25;
    dAudio /= 8000;
    EXPECT_GT(dVideo, 7.5);
    EXPECT_NEAR(dVideo, dAudio, 0.5);
}

TEST_F(KorvelTest, FailuresLeaveNoOutput) {
    std::mt19937 rng(3);
    std::string noise(100000, '\0');
    for (char& c : noise) c = static_cast<char>(rng());
    std::ofstream(Path("noise.h264"), std::ios::binary) << noise;
    std::ofstream empty(Path("empty.h264"), std::ios::binary);
    empty.close();
    const std::string good = kData + "h264_320x180_25fps.h264";
    const std::string out = Path("out.avi");

    EXPECT_LT(KorvelConvertToAvi(Path("missing.h264").c_str(), out.c_str(), 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(Path("noise.h264").c_str(), out.c_str(), 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(Path("empty.h264").c_str(), out.c_str(), 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi((kData + "realworld/lal_cam.ps").c_str(), out.c_str(), 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(m_dir.c_str(), out.c_str(), 2, Record, 0), 0);  // a directory
    EXPECT_LT(KorvelConvertToAvi(good.c_str(), out.c_str(), 1, Record, 0), 0);   // unknown mode
    EXPECT_LT(KorvelConvertToAvi(nullptr, out.c_str(), 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(good.c_str(), nullptr, 2, Record, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(good.c_str(), Path("no/such/dir/x.avi").c_str(), 2, Record, 0), 0);
    EXPECT_FALSE(fs::exists(out));

    // Stopped part way through writing (a bare stream is read once, asking
    // after each of this file's two chunks): the file it had begun is gone.
    g_nCancelAfter = 1;
    EXPECT_LT(KorvelConvertToAviEx((kData + "h265_352x288_30fps.h265").c_str(), out.c_str(), 2, Record, Cancel, 0), 0);
    EXPECT_EQ(g_nCancelAsks, 2);
    EXPECT_FALSE(fs::exists(out));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir), fs::directory_iterator()), 2);
}

TEST_F(KorvelTest, NeverWritesOverItsInput) {
    fs::copy_file(kData + "h264_320x180_25fps.h264", Path("cam.avi"));
    fs::create_symlink(Path("cam.avi"), Path("link.avi"));
    fs::create_hard_link(Path("cam.avi"), Path("hard.avi"));
    const std::string strBefore = ReadWholeFile(Path("cam.avi"));
    EXPECT_LT(KorvelConvertToAvi(Path("cam.avi").c_str(), Path("cam.avi").c_str(), 2, nullptr, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(Path("cam.avi").c_str(), Path("link.avi").c_str(), 2, nullptr, 0), 0);
    EXPECT_LT(KorvelConvertToAvi(Path("link.avi").c_str(), Path("hard.avi").c_str(), 2, nullptr, 0), 0);
    EXPECT_EQ(ReadWholeFile(Path("cam.avi")), strBefore);
    EXPECT_TRUE(fs::exists(Path("link.avi")));
    EXPECT_TRUE(fs::exists(Path("hard.avi")));
}

TEST(KorvelProgressTest, LargeInputsFitThirtyTwoBitsWithTheirRatio) {
    uint32_t p = 0, t = 0;
    korvel::ScaleProgress(1000, 4000, p, t);
    EXPECT_EQ(p, 1000u);
    EXPECT_EQ(t, 4000u);
    korvel::ScaleProgress(2500000000ULL, 5000000000ULL, p, t);
    EXPECT_EQ(static_cast<int>(static_cast<double>(p) / t * 100), 50);
    korvel::ScaleProgress(5000000000ULL, 5000000000ULL, p, t);
    EXPECT_EQ(p, t);
    EXPECT_GT(t, 1u << 31);
    korvel::ScaleProgress(UINT64_MAX, UINT64_MAX, p, t);
    EXPECT_EQ(p, t);
    EXPECT_GT(t, 0u);
}

}  // namespace

namespace {

// The entry for joined inputs and parts: its checks, and a second call that
// goes on from where the first left the timeline.
TEST_F(KorvelTest, PartsGoOnFromWhereTheTimelineStood) {
    const std::string strOut = (m_dir / "part.avi").string();
    const std::string strSlice1 = kData + "join_slice1.ps";
    const std::string strSlice2 = kData + "join_slice2.ps";
    const char* inputs[] = {strSlice1.c_str(), strSlice2.c_str()};
    KorvelPart part{};
    KorvelResult r{};
    EXPECT_EQ(KorvelConvertPart(inputs, 2, strOut.c_str(), &part, nullptr, nullptr, nullptr, &r), KORVEL_ERR_ARGS);
    part.nSize = sizeof part;
    EXPECT_EQ(KorvelConvertPart(inputs, 0, strOut.c_str(), &part, nullptr, nullptr, nullptr, &r), KORVEL_ERR_ARGS);
    const char* own[] = {strSlice1.c_str()};
    EXPECT_EQ(KorvelConvertPart(own, 1, strSlice1.c_str(), &part, nullptr, nullptr, nullptr, &r), KORVEL_ERR_SAME_FILE);
    EXPECT_TRUE(fs::exists(strSlice1));

    // The first slice alone, the second as a part that goes on: 3 s later.
    part = KorvelPart{};
    part.nSize = sizeof part;
    part.nFrom = part.nTo = -1;
    part.nRecordedUs = int64_t{1714550400} * 1000000;  // 2024-05-01T08:00:00Z
    ASSERT_EQ(KorvelConvertPart(inputs, 1, strOut.c_str(), &part, nullptr, nullptr, nullptr, &r), 0) << r.szText;
    EXPECT_EQ(r.nPictures, 25u);
    EXPECT_EQ(part.bContinued, 1);
    EXPECT_EQ(part.nEnd - part.nOrigin, 90000);
    EXPECT_STREQ(part.szCreationTime, "2024-05-01T08:00:00.000000Z");
    const std::string strNext = (m_dir / "part-2.avi").string();
    ASSERT_EQ(KorvelConvertPart(inputs + 1, 1, strNext.c_str(), &part, nullptr, nullptr, nullptr, &r), 0);
    EXPECT_STREQ(part.szCreationTime, "2024-05-01T08:00:04.000000Z");
    EXPECT_EQ(part.nEnd - part.nOrigin, 5 * 90000);
    EXPECT_EQ(CountVideoFrames(strNext), 25);

    // A missing input fails the call and names the input.
    const std::string strMissing = (m_dir / "missing.ps").string();
    const char* broken[] = {strSlice1.c_str(), strMissing.c_str()};
    part = KorvelPart{};
    part.nSize = sizeof part;
    part.nFrom = part.nTo = -1;
    EXPECT_EQ(KorvelConvertPart(broken, 2, (m_dir / "broken.avi").c_str(), &part, nullptr, nullptr, nullptr, &r),
              KORVEL_ERR_INPUT);
    EXPECT_NE(std::string(r.szText).find("missing.ps"), std::string::npos) << r.szText;
    EXPECT_FALSE(fs::exists(m_dir / "broken.avi"));
}

}  // namespace

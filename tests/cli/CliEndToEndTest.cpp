// Runs the built trelvo-convert on the fixtures and checks its outputs with
// the FFmpeg tools.
#include <gtest/gtest.h>
#include <unistd.h>
#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";
const std::string kSample = std::string(TRELVO_SOURCE_DIR) + "/samples/cam_sample.ps";

class CliEndToEndTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = m_tmp.Root(); }

    std::string Dir() const { return m_dir.string() + "/"; }
    std::string Copy(const std::string& strFrom, const std::string& strName) const {
        fs::create_directories((m_dir / strName).parent_path());
        fs::copy_file(strFrom, m_dir / strName, fs::copy_options::overwrite_existing);
        return (m_dir / strName).string();
    }
    std::string Garbage(const std::string& strName, size_t nBytes) const {
        std::mt19937 rng(7);
        std::string bytes(nBytes, '\0');
        for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
        std::ofstream(m_dir / strName, std::ios::binary) << bytes;
        return (m_dir / strName).string();
    }
    static SProcessResult Convert(std::vector<std::string> args, const std::string& strCwd = {}) {
        args.insert(args.begin(), kProgram);
        SProcessResult r = RunProcess(args, strCwd);
        // Under the sanitizers a report may hide behind an expected failure.
        EXPECT_EQ(r.strErr.find("Sanitizer"), std::string::npos) << r.strErr;
        EXPECT_EQ(r.strErr.find("runtime error"), std::string::npos) << r.strErr;
        return r;
    }
    // The result lines on stdout, one per file: "<input>  <word>  <output>",
    // or "<input>  <word>  <reason>" for a failed one (the words depend on
    // the language file).
    static std::vector<std::string> ResultLines(const std::string& strOut) {
        std::vector<std::string> lines;
        std::istringstream in(strOut);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }
    static bool EndsWith(const std::string& s, const std::string& strEnd) {
        return s.size() >= strEnd.size() && s.compare(s.size() - strEnd.size(), strEnd.size(), strEnd) == 0;
    }
    static bool Failed(const std::string& strLine) { return strLine.find("  Failed  ") != std::string::npos; }

    TempDir m_tmp;
    fs::path m_dir;
};

TEST_F(CliEndToEndTest, ElementaryStreamsToMp4) {
    const std::string a = Copy(kData + "h264_320x180_25fps.h264", "a.h264");
    const std::string b = Copy(kData + "h265_352x288_30fps.h265", "b.h265");
    const SProcessResult r = Convert({"--quiet", "--output-dir", Dir() + "out/deep", a, b});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;

    const std::string outA = Dir() + "out/deep/a.mp4";
    const std::string outB = Dir() + "out/deep/b.mp4";
    EXPECT_EQ(ProbeStreams(outA, "codec_name,codec_type,width,height"), "h264|video|320|180\n");
    EXPECT_EQ(ProbeStreams(outB, "codec_name,codec_type,width,height"), "hevc|video|352|288\n");
    // Every picture, the last one too: it ends with the input.
    EXPECT_EQ(CountVideoFrames(outA), 50);
    EXPECT_EQ(CountVideoFrames(outB), 45);
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(outA, &strErrors)) << strErrors;
    EXPECT_TRUE(DecodesCleanly(outB, &strErrors)) << strErrors;

    const std::vector<std::string> lines = ResultLines(r.strOut);
    ASSERT_EQ(lines.size(), 2u) << r.strErr;
    EXPECT_EQ(lines[0].rfind(a + "  ", 0), 0u);
    EXPECT_TRUE(EndsWith(lines[0], "  " + outA));
    EXPECT_EQ(lines[1].rfind(b + "  ", 0), 0u);
    EXPECT_TRUE(EndsWith(lines[1], "  " + outB));
}

TEST_F(CliEndToEndTest, ElementaryStreamsToAvi) {
    const std::string a = Copy(kData + "h264_320x180_25fps.h264", "a.h264");
    const std::string b = Copy(kData + "h265_352x288_30fps.h265", "b.h265");
    const SProcessResult r = Convert({"--format", "avi", "--quiet", a, b});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    // Beside the inputs by default.
    EXPECT_EQ(ProbeStreams(Dir() + "a.avi", "codec_name,codec_type,codec_tag_string,width,height"),
              "h264|video|H264|320|180\n");
    EXPECT_EQ(ProbeStreams(Dir() + "b.avi", "codec_name,codec_type,codec_tag_string,width,height"),
              "hevc|video|HEVC|352|288\n");
    EXPECT_EQ(CountVideoFrames(Dir() + "a.avi"), 50);
    EXPECT_EQ(CountVideoFrames(Dir() + "b.avi"), 45);
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(Dir() + "a.avi", &strErrors)) << strErrors;
    EXPECT_TRUE(DecodesCleanly(Dir() + "b.avi", &strErrors)) << strErrors;
}

TEST_F(CliEndToEndTest, ProgramStreamWithG711Audio) {
    if (!fs::exists(kSample)) GTEST_SKIP() << "no sample recording";
    const std::string s = Copy(kSample, "cam.ps");
    SProcessResult r = Convert({"--quiet", s});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_EQ(ProbeStreams(Dir() + "cam.mp4", "codec_name,codec_type"), "h264|video\naac|audio\n");
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(Dir() + "cam.mp4", &strErrors)) << strErrors;

    r = Convert({"--quiet", "--format", "avi", s});
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    const std::string strStreams = ProbeStreams(Dir() + "cam.avi", "codec_name,codec_type,codec_tag_string");
    EXPECT_TRUE(strStreams == "h264|video|H264\npcm_alaw|audio|[6][0][0][0]\n" ||
                strStreams == "h264|video|H264\npcm_mulaw|audio|[7][0][0][0]\n")
        << strStreams;
    EXPECT_TRUE(DecodesCleanly(Dir() + "cam.avi", &strErrors)) << strErrors;
}

TEST_F(CliEndToEndTest, ProgramStreamFixturesInOneBatch) {
    struct SCase {
        const char* pszName;
        const char* pszMp4;  // streams as ffprobe names them
        const char* pszAvi;
    };
    const SCase cases[] = {
        {"ps_h264_alaw", "h264|video\naac|audio\n", "h264|video\npcm_alaw|audio\n"},
        {"ps_h265_ulaw", "hevc|video\naac|audio\n", "hevc|video\npcm_mulaw|audio\n"},
        {"ps_h264_nomap_30fps", "h264|video\naac|audio\n", "h264|video\npcm_alaw|audio\n"},
        {"ps_h264_damaged", "h264|video\n", "h264|video\n"},
    };
    std::vector<std::string> inputs;
    for (const SCase& c : cases) {
        if (!fs::exists(kData + c.pszName + ".ps")) GTEST_SKIP() << c.pszName;
        inputs.push_back(Copy(kData + c.pszName + ".ps", std::string(c.pszName) + ".ps"));
    }
    for (const char* pszFormat : {"mp4", "avi"}) {
        std::vector<std::string> args = {"-q", "-f", pszFormat};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const SProcessResult r = Convert(args);
        ASSERT_EQ(r.nStatus, 0) << r.strErr;
        const bool bMp4 = std::string(pszFormat) == "mp4";
        for (const SCase& c : cases) {
            const std::string out = Dir() + c.pszName + "." + pszFormat;
            EXPECT_EQ(ProbeStreams(out, "codec_name,codec_type"), bMp4 ? c.pszMp4 : c.pszAvi) << out;
            std::string strErrors;
            EXPECT_TRUE(DecodesCleanly(out, &strErrors)) << out << ": " << strErrors;
        }
    }
}

TEST_F(CliEndToEndTest, BatchGoesOnPastBadFilesAndLeavesNothingOfThem) {
    const std::string good1 = Copy(kData + "h264_320x180_25fps.h264", "good1.h264");
    const std::string noise = Garbage("noise.h264", 50000);
    const std::string empty = Garbage("empty.h264", 0);
    const std::string cut = Copy(kData + "realworld/lal_cam.ps", "cut.ps");  // ends inside its key frame
    const std::string good2 = Copy(kData + "h265_352x288_30fps.h265", "good2.h265");
    for (const char* pszFormat : {"mp4", "avi"}) {
        const std::string ext = std::string(".") + pszFormat;
        const SProcessResult r =
            Convert({"-q", "--format", pszFormat, good1, noise, Dir() + "missing.h264", empty, cut, Dir(), good2});
        EXPECT_EQ(r.nStatus, 1) << r.strErr;
        EXPECT_TRUE(fs::exists(Dir() + "good1" + ext)) << pszFormat;
        EXPECT_TRUE(fs::exists(Dir() + "good2" + ext)) << pszFormat;
        for (const char* pszBad : {"noise", "missing", "empty", "cut"}) {
            EXPECT_FALSE(fs::exists(Dir() + pszBad + ext)) << pszBad << ext;
        }
        const std::vector<std::string> lines = ResultLines(r.strOut);
        ASSERT_EQ(lines.size(), 7u) << r.strErr;
        EXPECT_FALSE(Failed(lines[0]));
        for (size_t i = 1; i < 6; ++i) EXPECT_TRUE(Failed(lines[i])) << lines[i];
        EXPECT_FALSE(Failed(lines[6]));
        std::string strErrors;
        EXPECT_TRUE(DecodesCleanly(Dir() + "good2" + ext, &strErrors)) << strErrors;
    }
}

TEST_F(CliEndToEndTest, InputIsNeverItsOwnOutput) {
    // An MP4-named input converted to MP4 beside itself.
    const std::string in = Copy(kData + "h264_320x180_25fps.h264", "cam1.mp4");
    const std::string strBefore = ReadWholeFile(in);
    SProcessResult r = Convert({"-q", in});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_EQ(ReadWholeFile(in), strBefore);

    const std::string avi = Copy(kData + "h264_320x180_25fps.h264", "cam2.avi");
    r = Convert({"-q", "--format", "avi", avi});
    EXPECT_EQ(r.nStatus, 1);
    EXPECT_EQ(ReadWholeFile(avi), strBefore);
}

TEST_F(CliEndToEndTest, RelativePathsKeepTheirOwnDirectories) {
    Copy(kData + "h264_320x180_25fps.h264", "one/a.h264");
    Copy(kData + "h264_320x180_25fps.h264", "two/b.h264");
    const SProcessResult r = Convert({"-q", "one/a.h264", "./two/b.h264"}, Dir());
    ASSERT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(fs::exists(Dir() + "one/a.mp4"));
    EXPECT_TRUE(fs::exists(Dir() + "two/b.mp4"));

    const SProcessResult r2 = Convert({"-q", "-o", "outs", "one/a.h264"}, Dir());
    ASSERT_EQ(r2.nStatus, 0) << r2.strErr;
    EXPECT_TRUE(fs::exists(Dir() + "outs/a.mp4"));
}

TEST_F(CliEndToEndTest, ProgressLinesOnlyWhenTheNumberChanges) {
    const std::string a = Copy(kData + "h265_352x288_30fps.h265", "a.h265");  // two chunks
    for (const char* pszFormat : {"mp4", "avi"}) {
        const SProcessResult r = Convert({"--format", pszFormat, a});
        ASSERT_EQ(r.nStatus, 0) << r.strErr;
        std::istringstream in(r.strErr);
        std::vector<int> percents;
        for (std::string line; std::getline(in, line);) {
            const std::string prefix = a + ": ";
            if (line.compare(0, prefix.size(), prefix) == 0 && line.back() == '%') {
                percents.push_back(std::stoi(line.substr(prefix.size())));
            }
        }
        ASSERT_FALSE(percents.empty()) << r.strErr;
        for (size_t i = 1; i < percents.size(); ++i) EXPECT_GT(percents[i], percents[i - 1]) << pszFormat;
        EXPECT_EQ(percents.back(), 100) << pszFormat;
        EXPECT_EQ(ResultLines(r.strOut).size(), 1u);

        const SProcessResult q = Convert({"--quiet", "--format", pszFormat, a});
        EXPECT_EQ(q.strErr.find('%'), std::string::npos) << q.strErr;
        EXPECT_EQ(ResultLines(q.strOut).size(), 1u);
    }
}

TEST_F(CliEndToEndTest, UsageErrorsAndInformation) {
    EXPECT_EQ(Convert({}).nStatus, 2);
    EXPECT_EQ(Convert({"--bogus", "a.h264"}).nStatus, 2);
    EXPECT_EQ(Convert({"--format", "mkv", "a.h264"}).nStatus, 2);
    EXPECT_EQ(Convert({"--quiet"}).nStatus, 2);
    const SProcessResult help = Convert({"--help"});
    EXPECT_EQ(help.nStatus, 0);
    EXPECT_NE(help.strOut.find("Usage: trelvo-convert"), std::string::npos);
    const SProcessResult version = Convert({"--version"});
    EXPECT_EQ(version.nStatus, 0);
    EXPECT_EQ(version.strOut.rfind("trelvo-convert ", 0), 0u);

    // An output directory that cannot be made is a failure, not a usage error.
    std::ofstream(m_dir / "file") << "x";
    EXPECT_EQ(Convert({"-o", Dir() + "file/sub", Dir() + "file"}).nStatus, 1);
}

}  // namespace

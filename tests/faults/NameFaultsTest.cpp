// Inputs that are no regular file, names that are hard to keep apart or to
// fit, outputs that are links or wanted twice, and converters side by side.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <map>

#include "FaultFixture.h"
#include "platform/Platform.h"

namespace faults {
namespace {

using NameFaultsTest = FaultTest;

const char* const kFormats[] = {"mp4", "avi"};

TEST_F(NameFaultsTest, FifoAndDeviceFailPromptlyAndTheBatchGoesOn) {
    ASSERT_EQ(::mkfifo(Path("live.ps").c_str(), 0600), 0);
    const std::string good = Copy("ps_h264_alaw.ps", "good.ps");
    const std::string strSum = Checksum(good);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        // Nobody writes to the FIFO: a blocking open would wait for ever.
        const SChildEnd end = Finish(*Start({"-q", "--json", "-f", pszFormat, Path("live.ps"), "/dev/zero", good}),
                                     std::chrono::seconds(30));
        EXPECT_EQ(end.nStatus, 1) << end.strErr;
        const std::vector<std::string> lines = Lines(end.strOut);
        ASSERT_EQ(lines.size(), 3u) << end.strOut << end.strErr;
        EXPECT_EQ(Field(lines[0], "reason"), "not-regular-file") << lines[0];
        EXPECT_EQ(Field(lines[1], "reason"), "not-regular-file") << lines[1];
        EXPECT_EQ(Field(lines[2], "result"), "success") << lines[2];
        EXPECT_FALSE(fs::exists(Path(std::string("live.") + pszFormat)));
        EXPECT_FALSE(fs::exists(std::string("/dev/zero.") + pszFormat));
    }
    EXPECT_TRUE(fs::is_fifo(Path("live.ps")));
    EXPECT_EQ(Checksum(good), strSum);
    EXPECT_TRUE(NoTemporaries());
}

// A name that is not UTF-8 and the name it reads as when decoded loosely:
// two files that must not be taken for one another.
TEST_F(NameFaultsTest, LatinOneNameAndItsReplacementTwinStayApart) {
    const std::string strLatin = "lat\xe9in1";
    const std::string strTwin = "lat\xef\xbf\xbdin1";
    if (platform::WideToNarrow(platform::NarrowToWide(strLatin)) != strLatin)
        GTEST_SKIP() << "platform::NarrowToWide/WideToNarrow do not give a name that is not UTF-8 back byte for "
                        "byte yet (being fixed in platform/Platform.cpp); the converter would read and write the "
                        "twin's file for it";
    const std::string latin = Copy("ps_h264_alaw.ps", strLatin + ".ps");
    const std::string twin = Copy("ps_h265_ulaw.ps", strTwin + ".ps");
    const std::string strSums = Checksum({latin, twin});
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const SChildEnd end = Convert({"-q", "--json", "-f", pszFormat, latin, twin});
        EXPECT_EQ(end.nStatus, 0) << end.strOut << end.strErr;
        const std::vector<std::string> lines = Lines(end.strOut);
        ASSERT_EQ(lines.size(), 2u) << end.strOut;
        EXPECT_EQ(Field(lines[0], "output"), Dir() + "lat\\udce9in1." + pszFormat) << lines[0];
        EXPECT_EQ(Field(lines[1], "output"), Dir() + strTwin + "." + pszFormat) << lines[1];
        const std::string strCodecs = ProbeStreams(Path(strLatin + "." + pszFormat), "codec_name") +
                                      ProbeStreams(Path(strTwin + "." + pszFormat), "codec_name");
        EXPECT_EQ(strCodecs.substr(0, 5), "h264\n") << strCodecs;
        EXPECT_NE(strCodecs.find("hevc"), std::string::npos) << strCodecs;
    }
    EXPECT_EQ(Checksum({latin, twin}), strSums);
    EXPECT_TRUE(NoTemporaries());
}

// The output's name is a link: the output replaces the link and never
// writes through it, whether it points at a file or at nothing.
TEST_F(NameFaultsTest, LinkAtTheOutputNameIsReplacedNotFollowed) {
    const std::string in = Copy("ps_h264_alaw.ps", "cam.ps");
    const std::string dangling = Copy("h264_320x180_25fps.h264", "dangling.h264");
    Write("unrelated.txt", "somebody else's file");
    const std::string strSums = Checksum({in, dangling});
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const std::string strOut = Path(std::string("cam.") + pszFormat);
        const std::string strDangling = Path(std::string("dangling.") + pszFormat);
        fs::create_symlink("unrelated.txt", strOut);
        fs::create_symlink("nowhere.txt", strDangling);
        const SChildEnd end = Convert({"-q", "-f", pszFormat, in, dangling});
        EXPECT_EQ(end.nStatus, 0) << end.strOut << end.strErr;
        for (const std::string& strFile : {strOut, strDangling}) {
            EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(strFile))) << strFile;
            EXPECT_EQ(CountVideoFrames(strFile), kH264Pictures) << strFile;
        }
    }
    EXPECT_EQ(ReadWholeFile(Path("unrelated.txt")), "somebody else's file");
    EXPECT_FALSE(fs::exists(Path("nowhere.txt")));
    EXPECT_EQ(Checksum({in, dangling}), strSums);
    EXPECT_TRUE(NoTemporaries());
}

// Names of 255 bytes, the most a directory entry holds, for the input and
// the output alike; in the second the temporary's shortened name ends inside
// a two-byte character.
TEST_F(NameFaultsTest, LongestNamesConvert) {
    std::string strAccents;
    for (int i = 0; i < 125; ++i) strAccents += "\xc3\xa9";
    const std::string names[] = {std::string(251, 'n'), "n" + strAccents};
    std::vector<std::string> inputs;
    for (const std::string& strName : names) inputs.push_back(Copy("h264_320x180_25fps.h264", strName + ".264"));
    const std::string strSums = Checksum(inputs);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const SChildEnd end = Convert({"-q", "-f", pszFormat, inputs[0], inputs[1]});
        EXPECT_EQ(end.nStatus, 0) << end.strOut << end.strErr;
        for (const std::string& strName : names) {
            ASSERT_EQ((strName + "." + pszFormat).size(), 255u);
            EXPECT_EQ(CountVideoFrames(Path(strName + "." + pszFormat)), kH264Pictures) << strName;
        }
    }
    EXPECT_EQ(Checksum(inputs), strSums);
    EXPECT_TRUE(NoTemporaries());
}

TEST_F(NameFaultsTest, SecondInputWithAnEarlierOutputNameFails) {
    const std::string first = Copy("ps_h264_alaw.ps", "cam1.ps");  // with sound: its output is told apart
    const std::string second = Copy("h264_320x180_25fps.h264", "cam1.h264");
    const std::string strSums = Checksum({first, second});
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const SChildEnd end = Convert({"-q", "--json", "-f", pszFormat, first, second});
        EXPECT_EQ(end.nStatus, 1) << end.strErr;
        const std::vector<std::string> lines = Lines(end.strOut);
        ASSERT_EQ(lines.size(), 2u) << end.strOut;
        EXPECT_EQ(Field(lines[0], "result"), "success") << lines[0];
        EXPECT_EQ(Field(lines[1], "reason"), "name-used") << lines[1];
        EXPECT_EQ(Field(lines[1], "output"), "null") << lines[1];
        const std::string strOut = Path(std::string("cam1.") + pszFormat);
        EXPECT_EQ(ProbeStreams(strOut, "codec_type"), "video\naudio\n");
        EXPECT_EQ(CountVideoFrames(strOut), kH264Pictures);
    }
    EXPECT_EQ(Checksum({first, second}), strSums);
    EXPECT_TRUE(NoTemporaries());
}

// With several files at once the earlier input still has the name, however
// the workers happen to reach their rows.
TEST_F(NameFaultsTest, EarlierInputHasTheNameUnderParallelJobs) {
    std::vector<std::string> args = {"-q", "--json", "-j", "4", "-f", "mp4"};
    for (int i = 0; i < 150; ++i) {
        args.push_back(Write("p" + std::to_string(i) + ".ps", "x"));  // not a recording: done at once
        args.push_back(Write("p" + std::to_string(i) + ".h264", "y"));
    }
    for (const char* pszFormat : kFormats) {
        args[5] = pszFormat;
        for (int nRun = 0; nRun < 10 && !HasFailure(); ++nRun) {
            const std::vector<std::string> lines = Lines(Convert(args).strOut);
            ASSERT_EQ(lines.size(), 300u);
            for (size_t i = 0; i < lines.size(); ++i)
                EXPECT_EQ(Field(lines[i], "reason") == "name-used", i % 2 == 1) << pszFormat << ": " << lines[i];
        }
    }
}

// Four converters write into one directory at once, two of them to the same
// names: each output is one whole conversion, and nobody fails for another.
TEST_F(NameFaultsTest, FourConvertersIntoOneDirectory) {
    struct SJob {
        const char* pszFormat;
        std::vector<std::pair<const char*, std::string>> inputs;  // fixture, name
    };
    const SJob jobs[] = {
        {"mp4", {{"ps_h264_alaw.ps", "a/cam.ps"}, {"h264_320x180_25fps.h264", "a/one.h264"}}},
        {"mp4", {{"h265_352x288_30fps.h265", "b/cam.h265"}}},
        {"avi", {{"h264_320x180_25fps.h264", "c/cam.h264"}}},
        {"avi", {{"ps_h265_ulaw.ps", "d/cam.ps"}, {"h265_352x288_30fps.h265", "d/four.h265"}}},
    };
    // Each alone first, for what its outputs must be.
    std::map<std::string, std::vector<std::string>> expected;  // output name: the outputs allowed
    std::vector<std::string> inputs;
    for (const SJob& job : jobs) {
        for (const auto& [pszFixture, strName] : job.inputs) {
            const std::string in = inputs.emplace_back(Copy(pszFixture, strName));
            const fs::path out = fs::path(strName).replace_extension(job.pszFormat);
            ASSERT_EQ(Convert({"-q", "-f", job.pszFormat, "-o", Path("alone"), in}).nStatus, 0) << strName;
            expected[out.filename()].push_back(ReadWholeFile(Path("alone/" + out.filename().string())));
        }
    }
    const std::string strSums = Checksum(inputs);
    std::vector<std::unique_ptr<CChildProcess>> children;
    for (const SJob& job : jobs) {
        std::vector<std::string> args = {"-q", "-f", job.pszFormat, "-o", Path("out")};
        for (const auto& input : job.inputs) args.push_back(Path(input.second));
        // A slow first file keeps the four at work at the same time.
        children.push_back(Start(args, ShimEnv(Path(job.inputs[0].second), 50000)));
    }
    for (auto& child : children) {
        const SChildEnd end = Finish(*child);
        EXPECT_EQ(end.nStatus, 0) << end.strOut << end.strErr;
    }
    ASSERT_EQ(Names("out"), (std::vector<std::string>{"cam.avi", "cam.mp4", "four.avi", "one.mp4"}));
    for (const auto& [strName, allowed] : expected) {
        const std::string strOut = ReadWholeFile(Path("out/" + strName));
        EXPECT_NE(std::find(allowed.begin(), allowed.end(), strOut), allowed.end()) << strName;
        std::string strErrors;
        EXPECT_TRUE(DecodesCleanly(Path("out/" + strName), &strErrors)) << strName << ": " << strErrors;
    }
    EXPECT_EQ(Checksum(inputs), strSums);
    EXPECT_TRUE(NoTemporaries("out"));
}

}  // namespace
}  // namespace faults

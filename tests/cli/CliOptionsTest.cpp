#include <gtest/gtest.h>
#include <unistd.h>

#include "cli/CliOptions.h"

using namespace cli;

namespace {

bool Parse(const std::vector<std::string>& args, SOptions& options, std::string& strError) {
    options = SOptions{};
    strError.clear();
    return ParseOptions(args, options, strError);
}

TEST(CliOptionsTest, DefaultsAndEveryOptionForm) {
    SOptions o;
    std::string e;
    ASSERT_TRUE(Parse({"a.h264"}, o, e));
    EXPECT_EQ(o.format, EFormat::Mp4);
    EXPECT_TRUE(o.strOutputDir.empty());
    EXPECT_FALSE(o.bQuiet);
    EXPECT_EQ(o.files, std::vector<std::string>{"a.h264"});

    ASSERT_TRUE(Parse({"--format", "avi", "--output-dir", "out", "--quiet", "a", "b"}, o, e));
    EXPECT_EQ(o.format, EFormat::Avi);
    EXPECT_EQ(o.strOutputDir, "out");
    EXPECT_TRUE(o.bQuiet);
    EXPECT_EQ(o.files, (std::vector<std::string>{"a", "b"}));

    ASSERT_TRUE(Parse({"a", "--format=mp4", "-o", "d", "-q", "-v", "b"}, o, e));
    EXPECT_EQ(o.format, EFormat::Mp4);
    EXPECT_EQ(o.strOutputDir, "d");
    EXPECT_TRUE(o.bVerbose);
    EXPECT_EQ(o.files, (std::vector<std::string>{"a", "b"}));

    // After "--" everything is a file, also names that look like options.
    ASSERT_TRUE(Parse({"--", "--quiet", "-x"}, o, e));
    EXPECT_FALSE(o.bQuiet);
    EXPECT_EQ(o.files, (std::vector<std::string>{"--quiet", "-x"}));

    ASSERT_TRUE(Parse({"--help"}, o, e));
    EXPECT_TRUE(o.bHelp);
    ASSERT_TRUE(Parse({"--version"}, o, e));
    EXPECT_TRUE(o.bVersion);
}

TEST(CliOptionsTest, UsageErrors) {
    SOptions o;
    std::string e;
    EXPECT_FALSE(Parse({}, o, e));
    EXPECT_NE(e.find("no input"), std::string::npos);
    EXPECT_FALSE(Parse({"--quiet"}, o, e));
    EXPECT_FALSE(Parse({"--bogus", "a"}, o, e));
    EXPECT_NE(e.find("--bogus"), std::string::npos);
    EXPECT_FALSE(Parse({"--format", "mkv", "a"}, o, e));
    EXPECT_NE(e.find("mkv"), std::string::npos);
    EXPECT_FALSE(Parse({"a", "--format"}, o, e));
    EXPECT_FALSE(Parse({"a", "--output-dir"}, o, e));
    EXPECT_FALSE(Parse({"a", "--output-dir="}, o, e));
    EXPECT_FALSE(Parse({"--format=", "a"}, o, e));
}

TEST(CliOptionsTest, RelativePathsResolveAgainstTheCurrentDirectory) {
    char szCwd[4096];
    ASSERT_NE(::getcwd(szCwd, sizeof szCwd), nullptr);
    const std::string strCwd = std::string(szCwd) == "/" ? "/" : std::string(szCwd) + "/";
    EXPECT_EQ(AbsolutePath("/abs/x.h264"), "/abs/x.h264");
    EXPECT_EQ(AbsolutePath("x.h264"), strCwd + "x.h264");
    EXPECT_EQ(AbsolutePath("./sub/x.h264"), strCwd + "sub/x.h264");
    EXPECT_EQ(AbsolutePath("../x.h264"), strCwd + "../x.h264");
}

}  // namespace

namespace {

TEST(CliOptionsTest, OptionsOfTheRecording) {
    using cli::ParseClockTime;
    int64_t n = 0;
    EXPECT_TRUE(ParseClockTime("5", n));
    EXPECT_EQ(n, 450000);
    EXPECT_TRUE(ParseClockTime("1:02:03.250", n));
    EXPECT_EQ(n, (3723 * 1000 + 250) * 90);
    EXPECT_TRUE(ParseClockTime("01:30", n));
    EXPECT_EQ(n, 90 * 90000);
    for (const char* pszBad : {"", "x", "-1", "1:60", "1.5:00", "1:2:3:4", "5s", ":5", "1..2"})
        EXPECT_FALSE(ParseClockTime(pszBad, n)) << pszBad;

    cli::SOptions o;
    std::string e;
    ASSERT_TRUE(cli::ParseOptions(
        {"--join", "all.avi", "--from=00:00:05", "--to", "9", "--time", "2024-05-01T08:00:00Z", "a", "b"}, o, e))
        << e;
    EXPECT_EQ(o.format, cli::EFormat::Avi);  // the join's name asks for AVI
    EXPECT_EQ(o.convert.strJoinOutput, "all.avi");
    EXPECT_EQ(o.convert.nFrom, 450000);
    EXPECT_EQ(o.convert.nTo, 810000);
    EXPECT_TRUE(o.convert.bTime);
    EXPECT_EQ(o.convert.nTimeUs, int64_t{1714550400} * 1000000);

    const std::vector<std::vector<std::string>> bad = {{"--faststart", "--fragmented", "a"},
                                                       {"-f", "avi", "--fragmented", "a"},
                                                       {"--from", "9", "--to", "5", "a"},
                                                       {"--time", "2024-05-01 08:00", "a"},
                                                       {"--time", "2024-05-01T08:00:00", "--time-from-name", "%Y", "a"},
                                                       {"--time-from-name", "no-conversion", "a"},
                                                       {"--join", "", "a"}};
    for (const auto& args : bad) {
        cli::SOptions bo;
        EXPECT_FALSE(cli::ParseOptions(args, bo, e)) << args[0] << " " << args[1];
    }
}

}  // namespace

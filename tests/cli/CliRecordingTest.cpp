// The options of the recording through the program, each output read back by
// FFmpeg: the index first, fragments that survive a cut-off file, inputs
// joined on one timeline, a part of a recording, and its recording time.
#include <gtest/gtest.h>
#include "TempDir.h"

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <sstream>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";
const std::string kGop2 = kData + "gop2_flash_at_6s.ps";  // 10 s, key frames every 2 s, flash and tone at 6 s

std::vector<double> Numbers(const std::string& s) {
    std::vector<double> out;
    for (const std::string& line : NonEmptyLines(s)) {
        if (std::isdigit(static_cast<unsigned char>(line[0])) || line[0] == '-') out.push_back(std::stod(line));
    }
    return out;
}

// When each picture shows: MP4's presentation times; AVI's ticks of the
// chunks that hold a picture (empty ones hold the one before).
std::vector<double> PictureTimes(const std::string& strFile) {
    if (fs::path(strFile).extension() == ".avi") {
        const SProcessResult r = RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                             "packet=dts_time,size", "-of", "csv=p=0", strFile});
        std::vector<double> times;
        for (const std::string& line : NonEmptyLines(r.strOut)) {
            if (std::stoi(line.substr(line.find(',') + 1)) > 0) times.push_back(std::stod(line));
        }
        return times;
    }
    return Numbers(RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                               "frame=best_effort_timestamp_time", "-of", "csv=p=0", strFile})
                       .strOut);
}

std::string Tag(const std::string& strFile, const std::string& strTag) {
    const std::string s =
        RunProcess({"ffprobe", "-v", "error", "-show_entries", "format_tags=" + strTag, "-of", "csv=p=0", strFile})
            .strOut;
    return s.empty() ? s : s.substr(0, s.find('\n'));
}

std::vector<double> Silence(const std::string& strFile, const char* pszEdge) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-copyts", "-i", strFile,
                                         "-map", "0:a:0", "-af", "silencedetect=n=-30dB:d=0.05", "-f", "null", "-"});
    std::vector<double> out;
    const std::string strKey = std::string(pszEdge) + ": ";
    for (size_t p = r.strErr.find(strKey); p != std::string::npos; p = r.strErr.find(strKey, p + 1))
        out.push_back(std::stod(r.strErr.substr(p + strKey.size())));
    return out;
}

class CliRecordingTest : public ::testing::Test {
protected:
    SProcessResult Run(std::vector<std::string> args) {
        args.insert(args.begin(), {kProgram, "-q", "--json"});
        return RunProcess(args);
    }
    std::string Path(const std::string& strName) const { return m_tmp.Path(strName); }
    TempDir m_tmp;
};

TEST_F(CliRecordingTest, FastStartPutsTheIndexFirstAndKeepsEveryPicture) {
    ASSERT_EQ(Run({"-o", Path("plain"), kGop2}).nStatus, 0);
    const SProcessResult r = Run({"--faststart", "-o", Path("fast"), kGop2});
    ASSERT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
    const std::string strPlain = ReadWholeFile(Path("plain/gop2_flash_at_6s.mp4"));
    const std::string strFast = ReadWholeFile(Path("fast/gop2_flash_at_6s.mp4"));
    EXPECT_GT(strPlain.find("moov"), strPlain.find("mdat"));
    EXPECT_LT(strFast.find("moov"), strFast.find("mdat"));
    // Moved by re-reading its temporary: only the finished file is left.
    EXPECT_EQ(std::distance(fs::directory_iterator(Path("fast")), fs::directory_iterator()), 1);
    const std::vector<std::string> sums = PictureChecksums(Path("fast/gop2_flash_at_6s.mp4"));
    EXPECT_EQ(sums.size(), 250u);
    EXPECT_EQ(sums, PictureChecksums(Path("plain/gop2_flash_at_6s.mp4")));
    std::string strErrors;
    EXPECT_TRUE(DecodesCleanly(Path("fast/gop2_flash_at_6s.mp4"), &strErrors)) << strErrors;
    EXPECT_EQ(Run({"--faststart", "-f", "avi", kGop2}).nStatus, 2);  // MP4 only
}

// When the sound track stops playing, seconds: its start (the edit applied
// where the reader applies it) plus its duration; AVI's from its samples.
double SoundEnd(const std::string& strFile) {
    const auto Field = [&](const char* pszName) {
        const std::vector<double> v =
            Numbers(RunProcess({"ffprobe", "-v", "error", "-select_streams", "a:0", "-show_entries",
                                std::string("stream=") + pszName, "-of", "csv=p=0", strFile})
                        .strOut);
        return v.empty() ? -1e9 : v.front();
    };
    const double dStart = Field("start_time");
    if (fs::path(strFile).extension() == ".avi") return dStart + Field("nb_frames") / Field("sample_rate");
    return dStart + Field("duration");
}

// The AAC track ends with the sound it encodes, as the AVI that copies the
// sound shows it: the last frame's padding is not played, in every layout
// and across a join.
TEST_F(CliRecordingTest, TheSoundEndsWhereTheRecordingsSoundEnds) {
    const std::vector<std::string> slices = {kData + "join_slice1.ps", kData + "join_slice2.ps",
                                             kData + "join_slice3.ps"};
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{kGop2}, ""}, {{"--faststart", kGop2}, ""}, {{"--fragmented", kGop2}, ""}, {{"--join", "@"}, "join"}};
    for (const auto& [options, strJoin] : cases) {
        SCOPED_TRACE(options.front());
        std::string strEnds[2];
        double dEnds[2] = {};
        for (int i = 0; i < 2; ++i) {
            const std::string strExt = i == 0 ? ".mp4" : ".avi";
            std::vector<std::string> args = options;
            if (strJoin.empty()) {
                args.insert(args.begin(), {"-f", strExt.substr(1), "-o", Path(strExt.substr(1))});
                if (i == 1 && args[4] != kGop2) args.erase(args.begin() + 4);  // layouts are MP4's
                strEnds[i] = Path(strExt.substr(1) + "/gop2_flash_at_6s" + strExt);
            } else {
                strEnds[i] = Path("day" + strExt);
                args = {"--join", strEnds[i]};
                args.insert(args.end(), slices.begin(), slices.end());
            }
            const SProcessResult r = Run(args);
            ASSERT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
            dEnds[i] = SoundEnd(strEnds[i]);
        }
        EXPECT_GT(dEnds[1], 1.0);
        EXPECT_NEAR(dEnds[0], dEnds[1], 1e-3);
    }
}

// A fragmented file cut off anywhere (a kill, a power loss) plays up to
// within 2 s of the pictures written before the cut.
TEST_F(CliRecordingTest, AFragmentedFileCutOffAnywherePlaysToWithinTwoSeconds) {
    const SProcessResult r = Run({"--fragmented", "-o", Path("frag"), kGop2});
    ASSERT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
    const std::string strFile = Path("frag/gop2_flash_at_6s.mp4");
    EXPECT_EQ(CountVideoFrames(strFile), 250);
    // Where each picture's data ends in the file, and when it shows.
    const SProcessResult packets = RunProcess({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                                               "packet=pts_time,pos,size", "-of", "csv=p=0", strFile});
    std::vector<std::pair<uint64_t, double>> ends;
    for (const std::string& line : NonEmptyLines(packets.strOut)) {
        double dPts = 0;
        unsigned long long nSize = 0, nPos = 0;
        ASSERT_EQ(std::sscanf(line.c_str(), "%lf,%llu,%llu", &dPts, &nSize, &nPos), 3) << line;
        ends.emplace_back(nPos + nSize, dPts);
    }
    ASSERT_EQ(ends.size(), 250u);
    const std::string strWhole = ReadWholeFile(strFile);
    std::mt19937 random(20240501);
    for (int i = 0; i < 6; ++i) {
        const size_t nCut = std::uniform_int_distribution<size_t>(strWhole.size() / 4, strWhole.size() - 1)(random);
        double dWritten = 0;
        for (const auto& [nEnd, dPts] : ends) {
            if (nEnd <= nCut) dWritten = std::max(dWritten, dPts);
        }
        const std::string strCut = Path("cut.mp4");
        std::ofstream(strCut, std::ios::binary | std::ios::trunc).write(strWhole.data(), static_cast<long>(nCut));
        const std::vector<double> times =
            Numbers(RunProcess({"ffprobe", "-v", "quiet", "-select_streams", "v:0", "-show_entries",
                                "frame=best_effort_timestamp_time", "-of", "csv=p=0", strCut})
                        .strOut);
        ASSERT_FALSE(times.empty()) << "cut at " << nCut;
        EXPECT_GE(times.back(), dWritten - 2.0) << "cut at " << nCut;
    }
}

TEST_F(CliRecordingTest, AJoinKeepsTheClocksGapAndJoinsARestartEndToStart) {
    const std::vector<std::string> slices = {kData + "join_slice1.ps", kData + "join_slice2.ps",
                                             kData + "join_slice3.ps"};
    std::vector<std::string> source;
    for (const std::string& s : slices) {
        const std::vector<std::string> sums = PictureChecksums(s);
        source.insert(source.end(), sums.begin(), sums.end());
    }
    ASSERT_EQ(source.size(), 75u);
    for (const char* pszExt : {".mp4", ".avi"}) {
        SCOPED_TRACE(pszExt);
        const std::string strOut = Path(std::string("day") + pszExt);
        std::vector<std::string> args = {"--join", strOut};
        args.insert(args.end(), slices.begin(), slices.end());
        const SProcessResult r = Run(args);
        EXPECT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
        ASSERT_EQ(NonEmptyLines(r.strOut).size(), 1u) << r.strOut;  // one output, one result
        EXPECT_NE(r.strOut.find("\"joined\":3"), std::string::npos) << r.strOut;
        EXPECT_EQ(PictureChecksums(strOut), source);
        // 1 s, a gap of 3 s, 1 s, and the restarted clock's 1 s right after.
        const std::vector<double> times = PictureTimes(strOut);
        ASSERT_EQ(times.size(), 75u);
        EXPECT_NEAR(times[24], 0.96, 1e-3);
        EXPECT_NEAR(times[25], 4.0, 1e-3);
        EXPECT_NEAR(times[50], 5.0, 1e-3);
        EXPECT_NEAR(times[74], 5.96, 1e-3);
        // The sound is silent over the gap and goes on with the pictures.
        const std::vector<double> starts = Silence(strOut, "silence_start");
        const std::vector<double> ends = Silence(strOut, "silence_end");
        ASSERT_FALSE(starts.empty());
        ASSERT_FALSE(ends.empty());
        EXPECT_NEAR(starts[0], 1.0, 0.02);
        EXPECT_NEAR(ends[0], 4.0, 0.02);
        std::string strErrors;
        EXPECT_TRUE(DecodesCleanly(strOut, &strErrors)) << strErrors;
    }
}

TEST_F(CliRecordingTest, AJoinAcrossAPictureSizeChangeGivesTwoFiles) {
    // An input without pictures first sets no format of its own.
    const std::string strEmpty = Path("empty.ps");
    std::ofstream(strEmpty).put('\0');
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        const SProcessResult r = Run({"-f", pszFormat, "-o", Path(pszFormat), "--join", "cams.out", strEmpty,
                                      kData + "join_slice1.ps", kData + "join_320x180.ps"});
        EXPECT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
        const std::vector<std::string> lines = NonEmptyLines(r.strOut);
        ASSERT_EQ(lines.size(), 2u) << r.strOut;
        const std::string strFirst = Path(std::string(pszFormat) + "/cams.out");
        const std::string strSecond = Path(std::string(pszFormat) + "/cams-2.out");
        EXPECT_NE(lines[0].find("\"continued_in\":\"" + strSecond + "\""), std::string::npos) << lines[0];
        EXPECT_NE(lines[0].find("picture size"), std::string::npos) << lines[0];
        EXPECT_EQ(ProbeStreams(strFirst, "width,height").substr(0, 7), "160|96\n");
        EXPECT_EQ(ProbeStreams(strSecond, "width,height").substr(0, 8), "320|180\n");
        EXPECT_EQ(CountVideoFrames(strFirst), 25);
        EXPECT_EQ(CountVideoFrames(strSecond), 25);
    }
}

// --from 5 --to 9 on key frames every 2 s: from the key frame at 4 s, for
// 5 s, the tone starting with its white picture as in the recording.
TEST_F(CliRecordingTest, APartStartsAtTheKeyFrameBeforeItWithTheSoundInStep) {
    const std::vector<std::string> source = PictureChecksums(kGop2);
    ASSERT_EQ(source.size(), 250u);
    for (const char* pszFormat : {"mp4", "avi"}) {
        for (const char* pszFrom : {"5", "00:00:05.000"}) {
            SCOPED_TRACE(std::string(pszFormat) + " from " + pszFrom);
            fs::remove_all(Path("part"));
            const SProcessResult r = Run({"-f", pszFormat, "--from", pszFrom, "--to", "9", "-o", Path("part"), kGop2});
            EXPECT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
            EXPECT_NE(r.strOut.find("\"starts_before_from\":1.000"), std::string::npos) << r.strOut;
            const std::string strOut = Path(std::string("part/gop2_flash_at_6s.") + pszFormat);
            EXPECT_EQ(PictureChecksums(strOut), std::vector<std::string>(source.begin() + 100, source.begin() + 225));
            const std::vector<double> flashes = Flashes(strOut);
            const std::vector<double> tones = Silence(strOut, "silence_end");
            ASSERT_EQ(flashes.size(), 1u);
            ASSERT_FALSE(tones.empty());
            EXPECT_NEAR(flashes[0], 2.0, 1e-3);
            EXPECT_NEAR(tones[0], flashes[0], 0.005);
            const std::vector<double> times = PictureTimes(strOut);
            ASSERT_FALSE(times.empty());
            EXPECT_NEAR(times.back() + 0.04, 5.0, 1e-3);
        }
    }
    const SProcessResult plain = RunProcess({kProgram, "--from", "5", "--to", "9", "-o", Path("line"), kGop2});
    EXPECT_NE(plain.strOut.find("(starts 1.000 s before --from)"), std::string::npos) << plain.strOut;
}

TEST_F(CliRecordingTest, TheRecordingTimeBecomesTheCreationTimeOfTheFirstPictureKept) {
    ::setenv("TZ", "UTC", 1);  // the name's time is local time
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        const std::string strTag = std::string(pszFormat) == "mp4" ? "creation_time" : "date";
        const std::string strDir = Path(pszFormat);
        ASSERT_EQ(Run({"-f", pszFormat, "-o", strDir, "--time", "2024-05-01T08:00:00Z", "--from", "5", kGop2}).nStatus,
                  0);
        EXPECT_EQ(Tag(strDir + "/gop2_flash_at_6s." + pszFormat, strTag), "2024-05-01T08:00:04.000000Z");
        // From the name, of the first input of a join.
        const std::string strNamed = Path(std::string("cam_20240501_221530.") + pszFormat + ".ps");
        fs::copy_file(kData + "join_slice1.ps", strNamed);
        const SProcessResult r = Run({"-f", pszFormat, "--time-from-name", "%Y%m%d_%H%M%S", "--join",
                                      strDir + "/joined." + pszFormat, strNamed, kData + "join_slice2.ps"});
        EXPECT_EQ(r.nStatus, 0) << r.strOut;
        EXPECT_EQ(Tag(strDir + "/joined." + pszFormat, strTag), "2024-05-01T22:15:30.000000Z");
        // A name without it: converted, and said.
        const SProcessResult none =
            Run({"-f", pszFormat, "--time-from-name", "%Y%m%d_%H%M%S", "-o", strDir, kData + "join_slice3.ps"});
        EXPECT_EQ(none.nStatus, 0);
        EXPECT_NE(none.strOut.find("\"creation_time\":null"), std::string::npos) << none.strOut;
    }
}

}  // namespace

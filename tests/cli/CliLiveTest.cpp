// Live use through the program: pipes in and out, a recording followed while
// a test writer grows it, a watched folder, fragments and kills at any
// moment. Every output is read back and decoded by FFmpeg.
#include <gtest/gtest.h>
#include "Sanitizers.h"
#include "TempDir.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <set>
#include <string_view>
#include <thread>

#include "ProcessUtil.h"
#include "cli/CliOptions.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";
const std::string kGop2 = kData + "gop2_flash_at_6s.ps";  // 10 s, sound, key frames every 2 s, flash and tone at 6 s
const std::string kBare = kData + "live_long_gop.h264";   // 8 s, no sound, key frames every 4 s
const std::string kTs = kData + "mp4_beep.ts";

void Sleep(int nMs) {
    std::this_thread::sleep_for(std::chrono::milliseconds(nMs));
}

// The program in the background, its streams on files (empty: /dev/null).
pid_t Spawn(const std::vector<std::string>& args, const std::string& strOut, const std::string& strErr) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(strOut.empty() ? "/dev/null" : strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = ::open(strErr.empty() ? "/dev/null" : strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0) ::_exit(127);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// The exit status, or -1 when it did not exit by itself.
int Wait(pid_t pid) {
    int nWait = 0;
    if (::waitpid(pid, &nWait, 0) != pid || !WIFEXITED(nWait)) return -1;
    return WEXITSTATUS(nWait);
}

// Waits up to 60 s until fnDone holds.
template <class F>
bool Eventually(F fnDone) {
    for (int i = 0; i < 600; ++i) {
        if (fnDone()) return true;
        Sleep(100);
    }
    return fnDone();
}

// Appends strBytes to strPath in nSteps pieces, nMs apart, through one
// descriptor that it closes at the end (as a recorder does).
void Grow(const std::string& strPath, const std::string& strBytes, int nSteps, int nMs) {
    std::ofstream out(strPath, std::ios::binary | std::ios::app);
    const size_t nStep = (strBytes.size() + static_cast<size_t>(nSteps) - 1) / static_cast<size_t>(nSteps);
    for (size_t nPos = 0; nPos < strBytes.size(); nPos += nStep) {
        out.write(strBytes.data() + nPos, static_cast<std::streamsize>(std::min(nStep, strBytes.size() - nPos)));
        out.flush();
        Sleep(nMs);
    }
}

int Boxes(const std::string& strFile, const char* pszType) {
    const std::string s = ReadWholeFile(strFile);
    int n = 0;
    for (size_t nPos = 0; nPos + 8 <= s.size();) {
        const uint32_t nSize = (uint32_t{static_cast<uint8_t>(s[nPos])} << 24) |
                               (uint32_t{static_cast<uint8_t>(s[nPos + 1])} << 16) |
                               (uint32_t{static_cast<uint8_t>(s[nPos + 2])} << 8) | static_cast<uint8_t>(s[nPos + 3]);
        if (nSize < 8) break;
        if (s.compare(nPos + 4, 4, pszType) == 0) ++n;
        nPos += nSize;
    }
    return n;
}

// When the sound first stands out of silence, in the file's own times.
double ToneStart(const std::string& strFile) {
    const SProcessResult r = RunProcess({"ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-copyts", "-i", strFile,
                                         "-map", "0:a:0", "-af", "silencedetect=n=-30dB:d=0.05", "-f", "null", "-"});
    const size_t nPos = r.strErr.find("silence_end: ");
    return nPos == std::string::npos ? -1 : std::stod(r.strErr.substr(nPos + 13));
}

// A shell command line from its pieces.
std::string Shell(std::initializer_list<std::string_view> parts) {
    std::string str;
    for (const std::string_view part : parts) str.append(part);
    return str;
}

bool HasTemporaries(const std::string& strDir) {
    for (const auto& entry : fs::directory_iterator(strDir)) {
        if (entry.path().filename().string().find(".trelvo-") == 0 &&
            entry.path().filename().string().find("journal") == std::string::npos)
            return true;
    }
    return false;
}

// The live options parse into fragmented MP4 of one input, and what cannot
// work live is a usage error, not a surprise later.
TEST(CliLiveOptionsTest, LiveInputsAreFragmentedMp4OfOneInput) {
    const auto parse = [](const std::vector<std::string>& args, cli::SOptions& o) {
        std::string strError;
        o = cli::SOptions{};
        return cli::ParseOptions(args, o, strError);
    };
    cli::SOptions o;
    ASSERT_TRUE(parse({"--output", "-", "-"}, o));
    EXPECT_TRUE(o.IsLive());
    EXPECT_TRUE(o.convert.bFragmented);
    ASSERT_TRUE(parse({"--follow", "--idle=2.5", "cam.ps"}, o));
    EXPECT_TRUE(o.convert.bFragmented);
    EXPECT_DOUBLE_EQ(o.dIdleSeconds, 2.5);
    ASSERT_TRUE(parse({"--watch", "in", "-r", "-o", "out", "-j", "3"}, o));
    EXPECT_TRUE(o.bRecursive);
    EXPECT_FALSE(o.IsLive());
    for (const std::vector<std::string>& bad :
         std::vector<std::vector<std::string>>{{"-", "b.ps"},                         // one live input
                                               {"--follow", "a.ps", "b.ps"},          //
                                               {"--output", "-", "-f", "avi", "a"},   // MP4 only
                                               {"--follow", "--faststart", "a"},      //
                                               {"--follow", "--from", "5", "a"},      // no parts of a live input
                                               {"--watch", "in"},                     // needs -o
                                               {"--watch", "in", "-o", "out", "a"},   // takes no files
                                               {"--follow", "--idle", "0", "a"},      //
                                               {"--follow", "--idle", "soon", "a"}})  //
        EXPECT_FALSE(parse(bad, o)) << bad[0] << " " << bad[1];
}

class CliLiveTest : public ::testing::Test {
protected:
    std::string Path(const std::string& strName) const { return m_tmp.Path(strName); }
    // The plain conversion of a whole input, to compare with.
    std::vector<std::string> PlainPictures(const std::string& strInput) {
        const SProcessResult r = RunProcess({kProgram, "-q", "-o", Path("plain"), strInput});
        EXPECT_EQ(r.nStatus, 0) << r.strErr;
        return PictureChecksums(Path("plain/" + fs::path(strInput).stem().string() + ".mp4"));
    }
    TempDir m_tmp;
};

TEST_F(CliLiveTest, EveryKindOfStreamGoesThroughAPipeWholeWithItsSoundInStep) {
    for (const std::string& strInput : {kGop2, kTs, kBare}) {
        const std::string strOut = Path("piped.mp4");
        const SProcessResult r = RunProcess(
            {"sh", "-c", Shell({"cat '", strInput, "' | '", kProgram, "' -q --output - - > '", strOut, "'"})});
        ASSERT_EQ(r.nStatus, 0) << strInput << r.strErr;
        // The result line goes to stderr: stdout holds the video only.
        EXPECT_NE(r.strErr.find("Success"), std::string::npos) << r.strErr;
        EXPECT_EQ(PictureChecksums(strOut), PlainPictures(strInput)) << strInput;
        const std::string strStreams = ProbeStreams(strOut, "codec_type");
        EXPECT_EQ(strStreams.find("audio") != std::string::npos, strInput != kBare) << strInput << strStreams;
    }
    // The tone sets in with the flash at 6 s, as in the recording.
    const std::string strOut = Path("piped.mp4");
    ASSERT_EQ(
        RunProcess({"sh", "-c", Shell({"'", kProgram, "' -q --output - - < '", kGop2, "' > '", strOut, "'"})}).nStatus,
        0);
    const std::vector<double> flashes = Flashes(strOut);
    ASSERT_FALSE(flashes.empty());
    EXPECT_NEAR(ToneStart(strOut), flashes.front(), 0.1);

    // Without --output the pipe's output is stdin.mp4 where the program runs.
    const SProcessResult named =
        RunProcess({"sh", "-c", Shell({"cd '", m_tmp.Dir(), "' && '", kProgram, "' -q --json - < '", kBare, "'"})});
    ASSERT_EQ(named.nStatus, 0) << named.strErr;
    EXPECT_NE(named.strOut.find(Shell({"\"output\":\"", Path("stdin.mp4"), "\""})), std::string::npos) << named.strOut;
    EXPECT_EQ(CountVideoFrames(Path("stdin.mp4")), 80);
}

// A fragment at every key frame and at least every 2 s, bare streams
// included, and no sound track for a stream without sound.
TEST_F(CliLiveTest, FragmentsComeEveryTwoSecondsForEveryKindOfInput) {
    for (const auto& [strInput, nSeconds] : {std::pair{kBare, 8}, std::pair{kGop2, 10}}) {
        const SProcessResult r = RunProcess({kProgram, "-q", "--fragmented", "-o", Path("frag"), strInput});
        ASSERT_EQ(r.nStatus, 0) << r.strErr;
        const std::string strOut = Path("frag/" + fs::path(strInput).stem().string() + ".mp4");
        EXPECT_GE(Boxes(strOut, "moof"), nSeconds / 2) << strInput;
        EXPECT_EQ(ProbeStreams(strOut, "codec_type").find("audio") != std::string::npos, strInput == kGop2);
    }
}

// A kill -9 at any moment of a fragmented conversion leaves the file that
// stood at the output's name, or a new one that plays.
TEST_F(CliLiveTest, AKillAtAnyMomentLeavesTheOldFileOrAPlayableNewOne) {
    for (const std::string& strInput : {kBare, kGop2}) {
        const std::string strSource = ReadWholeFile(strInput);
        int nNew = 0;
        for (const int nKillMs : {150, 600, 1100}) {
            const std::string strIn = Path("rec.es");
            const std::string strOut = Path("rec.mp4");
            ASSERT_TRUE(WriteBytes(strOut, "the old file"));
            ASSERT_TRUE(WriteBytes(strIn, ""));
            std::thread writer(Grow, strIn, strSource, 8, 150);
            const pid_t pid = Spawn({kProgram, "-q", "--follow", "--idle", "30", strIn}, "", "");
            Sleep(nKillMs);
            ::kill(pid, SIGKILL);
            Wait(pid);
            writer.join();
            const std::string strLeft = ReadWholeFile(strOut);
            if (strLeft == "the old file") continue;
            ++nNew;
            EXPECT_GT(CountVideoFrames(strOut), 0) << strInput << " killed at " << nKillMs << " ms";
        }
        EXPECT_GT(nNew, 0) << strInput;
        // The next run clears what the killed ones left behind.
        const SProcessResult r = RunProcess({kProgram, "-q", "--follow", "--idle", "0.3", Path("rec.es")});
        EXPECT_EQ(r.nStatus, 0) << r.strErr;
        EXPECT_FALSE(HasTemporaries(m_tmp.Dir()));
    }
}

TEST_F(CliLiveTest, AFollowedRecordingPlaysWhileItGrowsAndEndsWithEveryPicture) {
    const std::string strIn = Path("cam.ps");
    const std::string strOut = Path("cam.mp4");
    ASSERT_TRUE(WriteBytes(strIn, ""));
    const std::string strSource = ReadWholeFile(kGop2);
    std::thread writer(Grow, strIn, strSource, 8, 400);
    const pid_t pid = Spawn({kProgram, "-q", "--json", "--follow", "--idle", "1", strIn}, Path("out"), "");
    // Half way the output already plays what came.
    ASSERT_TRUE(Eventually([&] { return fs::exists(strOut); }));
    fs::copy_file(strOut, Path("copy.mp4"));
    const int nMidway = CountVideoFrames(Path("copy.mp4"));
    EXPECT_GT(nMidway, 0);
    EXPECT_LT(nMidway, 250);
    writer.join();
    EXPECT_EQ(Wait(pid), 0) << ReadWholeFile(Path("out"));
    const std::vector<std::string> plain = PlainPictures(kGop2);
    EXPECT_EQ(PictureChecksums(strOut), plain);
    // Whatever had come when it ended, the output holds it from the start on.
    const auto holdsAStart = [&] {
        const std::vector<std::string> sums = PictureChecksums(strOut);
        return !sums.empty() && sums.size() <= plain.size() && std::equal(sums.begin(), sums.end(), plain.begin());
    };

    // A stop ends it with every picture so far.
    ASSERT_TRUE(WriteBytes(strIn, strSource));
    const pid_t stopped = Spawn({kProgram, "-q", "--follow", "--idle", "60", strIn}, "", "");
    Sleep(800);
    ::kill(stopped, SIGTERM);
    EXPECT_EQ(Wait(stopped), 0);
    EXPECT_TRUE(holdsAStart());

    // A recording cut shorter under it is reported, and what came before is kept.
    ASSERT_TRUE(WriteBytes(strIn, strSource));
    const pid_t cut = Spawn({kProgram, "-q", "--json", "--follow", "--idle", "30", strIn}, Path("out"), "");
    Sleep(800);
    ASSERT_TRUE(WriteBytes(strIn, ""));
    EXPECT_EQ(Wait(cut), 3);
    EXPECT_NE(ReadWholeFile(Path("out")).find("\"reason\":\"input-changed\""), std::string::npos);
    EXPECT_TRUE(holdsAStart());
}

class CliWatchTest : public CliLiveTest {
protected:
    pid_t StartWatch(const std::string& strOut, const std::string& strErr = {}) {
        fs::create_directories(Path("in/sub"));
        return Spawn({kProgram, "--json", "--watch", Path("in"), "-r", "-o", Path("out"), "--idle", "1", "-j", "2"},
                     strOut, strErr);
    }
    static size_t Lines(const std::string& strFile) { return NonEmptyLines(ReadWholeFile(strFile)).size(); }
};

TEST_F(CliWatchTest, RecordingsArrivingAreEachConvertedOnceAlsoAcrossRestarts) {
    const pid_t pid = StartWatch(Path("results1"));
    // One renamed into place, one written slowly, one that is no recording.
    fs::copy_file(kTs, Path("in/.cam1.ts.tmp"));
    fs::rename(Path("in/.cam1.ts.tmp"), Path("in/cam1.ts"));
    std::thread slow(Grow, Path("in/sub/cam2.h264"), ReadWholeFile(kBare), 6, 300);
    ASSERT_TRUE(WriteBytes(Path("in/cam3.ps"), std::string(20000, '\x47')));
    slow.join();
    ASSERT_TRUE(Eventually([&] { return Lines(Path("results1")) >= 3; }));
    Sleep(1500);  // nothing more comes
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 1);  // cam3 failed
    const std::string strResults = ReadWholeFile(Path("results1"));
    ASSERT_EQ(Lines(Path("results1")), 3u) << strResults;
    EXPECT_NE(strResults.find(Shell({"\"output\":\"", Path("out/cam1.mp4"), "\",\"result\":\"success\""})),
              std::string::npos)
        << strResults;
    EXPECT_NE(strResults.find("\"reason\":\"not-recorder-stream\""), std::string::npos) << strResults;
    EXPECT_EQ(PictureChecksums(Path("out/cam1.mp4")), PlainPictures(kTs));
    // Not taken before its writer closed it.
    EXPECT_EQ(PictureChecksums(Path("out/sub/cam2.mp4")), PlainPictures(kBare));

    // Started again: only the file that came meanwhile is converted.
    fs::copy_file(kGop2, Path("in/cam4.ps"));
    const pid_t again = StartWatch(Path("results2"));
    ASSERT_TRUE(Eventually([&] { return Lines(Path("results2")) >= 1; }));
    Sleep(2500);
    ::kill(again, SIGTERM);
    EXPECT_EQ(Wait(again), 0);
    const std::vector<std::string> lines = NonEmptyLines(ReadWholeFile(Path("results2")));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("cam4.ps"), std::string::npos) << lines[0];
}

TEST_F(CliWatchTest, AStopDuringAConversionLeavesNoHalfFileAndTheNextRunConvertsIt) {
    // About 10 MB: long enough to be stopped half way.
    const std::string strOne = ReadWholeFile(kGop2);
    std::string strBig;
    for (int i = 0; i < 100; ++i) strBig += strOne;
    fs::create_directories(Path("in"));
    ASSERT_TRUE(WriteBytes(Path("in/.big.tmp"), strBig));
    const pid_t pid = StartWatch(Path("results1"), Path("progress"));
    fs::rename(Path("in/.big.tmp"), Path("in/big.ps"));
    ASSERT_TRUE(Eventually([&] { return ReadWholeFile(Path("progress")).find("big.ps: ") != std::string::npos; }));
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    EXPECT_NE(ReadWholeFile(Path("results1")).find("\"reason\":\"stopped\""), std::string::npos)
        << ReadWholeFile(Path("results1"));
    EXPECT_FALSE(fs::exists(Path("out/big.mp4")));
    EXPECT_FALSE(HasTemporaries(Path("out")));

    const pid_t again = StartWatch(Path("results2"));
    ASSERT_TRUE(Eventually([&] { return Lines(Path("results2")) >= 1; }));
    ::kill(again, SIGTERM);
    EXPECT_EQ(Wait(again), 0);
    const std::string strResult = ReadWholeFile(Path("results2"));
    EXPECT_NE(strResult.find("\"result\":\"success\""), std::string::npos) << strResult;
    EXPECT_NE(strResult.find("\"pictures\":25000,"), std::string::npos) << strResult;
}

// Hundreds of recordings through one watcher, removed again as a recorder's
// ring buffer does: each is converted once, the journal stays as small as the
// folder, and the memory between waves stays where it was.
TEST_F(CliWatchTest, HundredsOfRecordingsLeaveTheMemoryWhereItWas) {
    const pid_t pid = StartWatch(Path("results"));
    const std::string strOne = ReadWholeFile(kData + "h264_320x180_25fps.h264");
    const auto rssKiB = [pid] {
        std::ifstream in("/proc/" + std::to_string(pid) + "/status");
        std::string strLine;
        while (std::getline(in, strLine))
            if (strLine.rfind("VmRSS:", 0) == 0) return std::stol(strLine.substr(6));
        return 0L;
    };
    constexpr int kWaves = 6, kWave = 50, kRing = 100;
    std::vector<long> idle;
    for (int nWave = 0; nWave < kWaves; ++nWave) {
        for (int i = nWave * kWave; i < (nWave + 1) * kWave; ++i) {
            const std::string strName = Shell({i % 2 ? "in/sub/rec" : "in/rec", std::to_string(i), ".h264"});
            ASSERT_TRUE(WriteBytes(Path(".up.tmp"), strOne));
            fs::rename(Path(".up.tmp"), Path(strName));
            if (i >= kRing)
                fs::remove(
                    Path(Shell({(i - kRing) % 2 ? "in/sub/rec" : "in/rec", std::to_string(i - kRing), ".h264"})));
        }
        const auto nDone = static_cast<size_t>(nWave + 1) * kWave;
        ASSERT_TRUE(Eventually([&] { return Lines(Path("results")) >= nDone; })) << nWave;
        Sleep(500);  // the wave's end: the journal written, the memory handed back
        idle.push_back(rssKiB());
    }
    ::kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0);
    const std::vector<std::string> lines = NonEmptyLines(ReadWholeFile(Path("results")));
    EXPECT_EQ(lines.size(), size_t{kWaves} * kWave);
    std::set<std::string> inputs;
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("\"result\":\"success\""), std::string::npos) << line;
        inputs.insert(line.substr(0, line.find("\",\"output\"")));
    }
    EXPECT_EQ(inputs.size(), lines.size());  // none twice
    EXPECT_LE(NonEmptyLines(ReadWholeFile(Path("out/.trelvo-watch.journal"))).size(),
              static_cast<size_t>(kRing + kWave));
    // A leak of a few KiB a file shows here; the first wave warms up. The
    // sanitizer's quarantine keeps what is freed, by design.
    if (!kAsan) {
        EXPECT_LE(idle.back(), idle[1] + 2048)
            << idle[1] << " KiB after the second wave, " << idle.back() << " at the end";
    }
}

}  // namespace

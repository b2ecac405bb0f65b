// Signals that reach a converter part way through a file: a stop asked for
// (kill, Ctrl-C, hang-up), one that cannot be caught; and results that nobody
// reads: a reader that goes away, standard outputs closed from the start.
#include <gtest/gtest.h>
#include <signal.h>

#include "FaultFixture.h"

namespace faults {
namespace {

using SignalFaultsTest = FaultTest;

const char* const kFormats[] = {"mp4", "avi"};
// Each 16 KiB read of the long input waits this long, so that the signal
// lands part way through it.
constexpr long kSlowReadUs = 10000;
constexpr int kBigPictures = 100 * 50;  // Big(): every picture, the last one too

TEST_F(SignalFaultsTest, StopSignalEndsTheBatchAfterTheCurrentChunk) {
    const std::string in = Big("rec.h264");
    const std::string next = Copy("h264_320x180_25fps.h264", "next.h264");
    const std::string strSum = Checksum(in);
    for (const int nSignal : {SIGTERM, SIGHUP, SIGINT}) {
        for (const char* pszFormat : kFormats) {
            SCOPED_TRACE(std::string(pszFormat) + ", " + strsignal(nSignal));
            const std::string strKept = Write(std::string("rec.") + pszFormat, "made earlier, keep me");
            const std::unique_ptr<CChildProcess> child =
                Start({"-q", "--json", "-f", pszFormat, in, next}, ShimEnv(in, kSlowReadUs));
            ASSERT_TRUE(child->WaitUntil(TemporaryAppears()));
            child->Signal(nSignal);
            const SChildEnd end = Finish(*child);
            // A stop is the user's: converted in part, not failed.
            EXPECT_EQ(end.nStatus, 3) << end.strErr;
            const std::vector<std::string> lines = Lines(end.strOut);
            ASSERT_EQ(lines.size(), 2u) << end.strOut;  // the next file is never begun, but reported
            EXPECT_EQ(Field(lines[0], "reason"), "stopped") << lines[0];
            EXPECT_EQ(Field(lines[1], "result"), "skipped") << lines[1];
            EXPECT_EQ(ReadWholeFile(strKept), "made earlier, keep me");
            // What was read is kept beside the file that stood there, whole.
            const std::string strPart = Path(std::string("rec.part.") + pszFormat);
            EXPECT_EQ(Field(lines[0], "output"), strPart) << lines[0];
            const int nPictures = CountVideoFrames(strPart);
            EXPECT_GT(nPictures, 0);
            EXPECT_LT(nPictures, kBigPictures);
            EXPECT_EQ(Field(lines[0], "pictures"), std::to_string(nPictures)) << lines[0];
            fs::remove(strPart);
            EXPECT_FALSE(fs::exists(Path(std::string("next.") + pszFormat)));
            EXPECT_TRUE(NoTemporaries());
        }
    }
    EXPECT_EQ(Checksum(in), strSum);
}

// With -j 4 every file under way stops; the shim slows all four, which are
// links to one file.
TEST_F(SignalFaultsTest, StopReachesEveryFileUnderWay) {
    std::vector<std::string> inputs = {Big("r0.h264")};
    for (int i = 1; i < 4; ++i) {
        inputs.push_back(Path("r" + std::to_string(i) + ".h264"));
        fs::create_hard_link(inputs[0], inputs.back());
    }
    const std::string strSum = Checksum(inputs[0]);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        std::vector<std::string> args = {"-q", "--json", "-j", "4", "-f", pszFormat};
        args.insert(args.end(), inputs.begin(), inputs.end());
        const std::unique_ptr<CChildProcess> child = Start(args, ShimEnv(inputs[0], kSlowReadUs));
        ASSERT_TRUE(child->WaitUntil([&] { return Temporaries().size() == inputs.size(); }));
        child->Signal(SIGTERM);
        const SChildEnd end = Finish(*child);
        EXPECT_EQ(end.nStatus, 3) << end.strErr;
        const std::vector<std::string> lines = Lines(end.strOut);
        ASSERT_EQ(lines.size(), inputs.size()) << end.strOut;
        for (const std::string& line : lines) EXPECT_EQ(Field(line, "reason"), "stopped") << line;
        EXPECT_TRUE(NoTemporaries());
    }
    EXPECT_EQ(Checksum(inputs[0]), strSum);
}

TEST_F(SignalFaultsTest, KilledConversionLeavesATemporaryTheNextRunRemoves) {
    const std::string in = Big("rec.h264");
    const std::string strSum = Checksum(in);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const std::string strOut = Path(std::string("rec.") + pszFormat);
        Write(std::string("rec.") + pszFormat, "made earlier, keep me");
        const std::unique_ptr<CChildProcess> child = Start({"-q", "-f", pszFormat, in}, ShimEnv(in, kSlowReadUs));
        ASSERT_TRUE(child->WaitUntil(TemporaryAppears()));
        child->Signal(SIGKILL);
        EXPECT_EQ(Finish(*child).nSignal, SIGKILL);
        EXPECT_EQ(ReadWholeFile(strOut), "made earlier, keep me");
        EXPECT_EQ(Temporaries().size(), 1u);

        const SChildEnd again = Convert({"-q", "--json", "-f", pszFormat, in});
        EXPECT_EQ(again.nStatus, 0) << again.strOut << again.strErr;
        EXPECT_TRUE(NoTemporaries());
        EXPECT_EQ(CountVideoPackets(strOut), kBigPictures);
    }
    EXPECT_EQ(Checksum(in), strSum);
}

// trelvo-convert … | head -2: the converter is not killed by SIGPIPE with a
// temporary behind; it stops at the first result line nobody reads.
TEST_F(SignalFaultsTest, ClosedReaderStopsTheBatchAtTheNextResultLine) {
    std::vector<std::string> inputs;
    for (int i = 1; i <= 6; ++i) inputs.push_back(Copy("ps_h264_alaw.ps", "c" + std::to_string(i) + ".ps"));
    const std::string strStatus = m_tmp.Path("status");
    const std::string strSums = Checksum(inputs);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        std::vector<std::string> argv = {
            "bash", "-c",     "\"$@\" | head -2; echo ${PIPESTATUS[0]} >'" + strStatus + "'", "bash", kProgram, "-q",
            "-f",   pszFormat};
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        // The third file is slow: head has gone by the time its line comes.
        const SChildEnd end = Finish(*Spawn(argv, ShimEnv(inputs[2], 100000)));
        EXPECT_EQ(Lines(end.strOut).size(), 2u) << end.strOut;
        EXPECT_EQ(ReadWholeFile(strStatus), "1\n") << "141 is death by SIGPIPE";
        // The files converted are the first few, each whole; the rest never begun.
        size_t nDone = 0;
        while (nDone < inputs.size() && fs::exists(Path("c" + std::to_string(nDone + 1) + "." + pszFormat))) ++nDone;
        EXPECT_GE(nDone, 3u);
        EXPECT_LT(nDone, inputs.size());
        for (size_t i = 1; i <= inputs.size(); ++i) {
            const std::string strOut = Path("c" + std::to_string(i) + "." + pszFormat);
            EXPECT_EQ(fs::exists(strOut), i <= nDone) << strOut;
            if (i <= nDone) {
                EXPECT_EQ(CountVideoPackets(strOut), kH264Pictures) << strOut;
            }
        }
        EXPECT_TRUE(NoTemporaries());
    }
    EXPECT_EQ(Checksum(inputs), strSums);
}

// Started with stdout and stderr closed (… >&- 2>&-): the files opened first
// must not take their place, or the result and progress lines would be
// written into an output. Writing the first result fails and ends the batch.
TEST_F(SignalFaultsTest, ClosedStandardOutputsNeverLandInAnOutput) {
    const std::vector<std::string> inputs = {Copy("ps_h264_alaw.ps", "c1.ps"), Copy("ps_h264_alaw.ps", "c2.ps")};
    const std::string strSums = Checksum(inputs);
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        ASSERT_EQ(Convert({"-q", "-f", pszFormat, "-o", Path("alone"), inputs[0]}).nStatus, 0);
        const std::string strWhole = ReadWholeFile(Path(std::string("alone/c1.") + pszFormat));
        std::vector<std::string> argv = {"bash", "-c", "exec \"$@\" >&- 2>&-", "bash", kProgram, "-f", pszFormat};
        argv.insert(argv.end(), inputs.begin(), inputs.end());
        EXPECT_EQ(Finish(*Spawn(argv)).nStatus, 1);
        EXPECT_TRUE(ReadWholeFile(Path(std::string("c1.") + pszFormat)) == strWhole) << "not what c1 converts to";
        EXPECT_FALSE(fs::exists(Path(std::string("c2.") + pszFormat)));
        EXPECT_TRUE(NoTemporaries());
    }
    EXPECT_EQ(Checksum(inputs), strSums);
}

}  // namespace
}  // namespace faults

// A disk that fills up and an input that cannot be read to its end: the file
// fails with its reason, the batch goes on, and nothing is lost or left.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "FaultFixture.h"

namespace faults {
namespace {

using DiskFaultsTest = FaultTest;

const char* const kFormats[] = {"mp4", "avi"};

// The converter under a file-size limit (ulimit -f, in KiB) set by bash.
std::vector<std::string> UnderLimit(int nKiB, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"bash", "-c", "ulimit -f " + std::to_string(nKiB) + " && exec \"$@\"", "bash",
                                     kProgram};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

TEST_F(DiskFaultsTest, FileSizeLimitFailsTheFileAndTheBatchGoesOn) {
    const std::string big = Copy("ps_h265_ulaw.ps", "big.ps");                // outputs over 20 KiB
    const std::string small = Copy("h264_320x180_25fps.h264", "small.h264");  // under
    const std::string strSum = Checksum(big);
    for (const char* pszFormat : kFormats) {
        const std::string strKept = Write(std::string("big.") + pszFormat, "made earlier, keep me");
        const SChildEnd end = Finish(*Spawn(UnderLimit(20, {"-q", "--json", "-f", pszFormat, big, small})));
        EXPECT_EQ(end.nStatus, 1) << end.strErr;
        const std::vector<std::string> lines = Lines(end.strOut);
        ASSERT_EQ(lines.size(), 2u) << end.strOut << end.strErr;
        EXPECT_EQ(Field(lines[0], "reason"), "write-output") << lines[0];
        EXPECT_NE(Field(lines[0], "message").find("File too large"), std::string::npos) << lines[0];
        EXPECT_EQ(Field(lines[0], "output"), "null");
        EXPECT_EQ(Field(lines[1], "result"), "success") << lines[1];
        EXPECT_EQ(ReadWholeFile(strKept), "made earlier, keep me") << pszFormat;
        EXPECT_EQ(CountVideoFrames(Path(std::string("small.") + pszFormat)), kH264Pictures) << pszFormat;
        EXPECT_TRUE(NoTemporaries());
    }
    EXPECT_EQ(Checksum(big), strSum);
}

// A small file system of its own, unmounted before its directory goes.
class CSmallDisk {
public:
    CSmallDisk(const std::string& strDir, const char* pszSize) : m_strDir(strDir) {
        std::filesystem::create_directory(strDir);
        const SProcessResult r =
            RunProcess({"mount", "-t", "tmpfs", "-o", std::string("size=") + pszSize, "tmpfs", strDir});
        m_bMounted = r.nStatus == 0;
        m_strError = r.strErr;
    }
    ~CSmallDisk() {
        if (m_bMounted) RunProcess({"umount", m_strDir});
    }
    CSmallDisk(const CSmallDisk&) = delete;
    CSmallDisk& operator=(const CSmallDisk&) = delete;
    bool Mounted() const { return m_bMounted; }
    const std::string& Error() const { return m_strError; }

private:
    std::string m_strDir;
    bool m_bMounted = false;
    std::string m_strError;
};

TEST_F(DiskFaultsTest, FullDiskKeepsTheFileThatWasThere) {
    const CSmallDisk disk(Path("full"), "32k");
    if (!disk.Mounted()) GTEST_SKIP() << "cannot mount a small tmpfs here (needs root): " << disk.Error();
    const std::string in = Copy("ps_h265_ulaw.ps", "cam.ps");  // outputs over 30 KiB
    const std::string strSum = Checksum(in);
    const std::string strBefore(12000, 'k');
    for (const char* pszFormat : kFormats) {
        Write(std::string("full/cam.") + pszFormat, strBefore);
        const SChildEnd end = Convert({"-q", "--json", "-f", pszFormat, "-o", Path("full"), in});
        EXPECT_EQ(end.nStatus, 1) << end.strErr;
        EXPECT_EQ(Field(end.strOut, "reason"), "write-output") << end.strOut;
        EXPECT_NE(Field(end.strOut, "message").find("No space left on device"), std::string::npos) << end.strOut;
    }
    EXPECT_EQ(Names("full"), (std::vector<std::string>{"cam.avi", "cam.mp4"}));  // no temporaries
    EXPECT_EQ(ReadWholeFile(Path("full/cam.mp4")), strBefore);
    EXPECT_EQ(ReadWholeFile(Path("full/cam.avi")), strBefore);
    EXPECT_EQ(Checksum(in), strSum);
}

// A bad sector under the input: at the very start (the AVI library's first
// pass) and part way (the MP4 writer and the AVI library's second pass have
// written pictures by then).
TEST_F(DiskFaultsTest, ReadErrorFailsWithTheSystemsMessage) {
    const std::string bad = Copy("ps_h264_alaw.ps", "bad.ps");
    const std::string good = Copy("ps_h264_alaw.ps", "good.ps");
    const std::string strSum = Checksum(bad);
    for (const char* pszFormat : kFormats) {
        const std::string strKept = Write(std::string("bad.") + pszFormat, "made earlier, keep me");
        for (const long long nFailAt : {0LL, 20000LL}) {
            SCOPED_TRACE(std::string(pszFormat) + " from byte " + std::to_string(nFailAt));
            const SChildEnd end = Convert({"-q", "--json", "-f", pszFormat, bad, good}, ShimEnv(bad, 0, nFailAt));
            EXPECT_EQ(end.nStatus, 1) << end.strErr;
            const std::vector<std::string> lines = Lines(end.strOut);
            ASSERT_EQ(lines.size(), 2u) << end.strOut << end.strErr;
            EXPECT_EQ(Field(lines[0], "reason"), "read-input") << lines[0];
            EXPECT_NE(Field(lines[0], "message").find("Input/output error"), std::string::npos) << lines[0];
            EXPECT_EQ(Field(lines[1], "result"), "success") << lines[1];
            EXPECT_EQ(ReadWholeFile(strKept), "made earlier, keep me");
            EXPECT_TRUE(NoTemporaries());
        }
        EXPECT_EQ(CountVideoFrames(Path(std::string("good.") + pszFormat)), kH264Pictures);
    }
    EXPECT_EQ(Checksum(bad), strSum);
}

TEST_F(DiskFaultsTest, InputThatShrinksWhileReadFails) {
    for (const char* pszFormat : kFormats) {
        SCOPED_TRACE(pszFormat);
        const std::string in = Big("rec.h264");
        const std::string strKept = Write(std::string("rec.") + pszFormat, "made earlier, keep me");
        // A slow disk, so that the cut comes while the output is written.
        const std::unique_ptr<CChildProcess> child = Start({"-q", "--json", "-f", pszFormat, in}, ShimEnv(in, 10000));
        ASSERT_TRUE(child->WaitUntil(TemporaryAppears()));
        ASSERT_EQ(::truncate(in.c_str(), static_cast<off_t>(fs::file_size(in) / 8)), 0);
        const SChildEnd end = Finish(*child);
        EXPECT_EQ(end.nStatus, 1) << end.strErr;
        EXPECT_EQ(Field(end.strOut, "reason"), "input-changed") << end.strOut;
        EXPECT_EQ(ReadWholeFile(strKept), "made earlier, keep me");
        EXPECT_TRUE(NoTemporaries());
    }
}

// A watched folder's recording that cannot be read yet (a disk that comes
// back) fails with its reason and is tried again until it converts.
TEST_F(DiskFaultsTest, AWatchedRecordingThatCannotBeReadIsTriedAgainUntilItConverts) {
    fs::create_directories(Path("in"));
    const std::string staged = Copy("ps_h264_alaw.ps", "staged.ps");
    // The shim fails reads of this inode while the second name stands.
    fs::create_hard_link(staged, Path("faulty"));
    const std::unique_ptr<CChildProcess> child =
        Start({"--json", "--watch", Path("in"), "-o", Path("out"), "--idle", "1"}, ShimEnv(Path("faulty"), 0, 0));
    fs::rename(staged, Path("in/cam.ps"));
    ASSERT_TRUE(child->WaitUntil([&] { return child->OutSoFar().find("read-input") != std::string::npos; }));
    fs::remove(Path("faulty"));
    ASSERT_TRUE(child->WaitUntil([&] { return child->OutSoFar().find("\"success\"") != std::string::npos; }));
    child->Signal(SIGTERM);
    const SChildEnd end = Finish(*child);
    const std::vector<std::string> lines = Lines(end.strOut);
    ASSERT_GE(lines.size(), 2u) << end.strOut;
    EXPECT_EQ(Field(lines.front(), "reason"), "read-input") << lines.front();
    EXPECT_NE(Field(lines.front(), "message").find("Input/output error"), std::string::npos) << lines.front();
    EXPECT_EQ(Field(lines.back(), "result"), "success") << lines.back();
    EXPECT_NE(end.strErr.find("tried again in"), std::string::npos) << end.strErr;
    EXPECT_EQ(CountVideoFrames(Path("out/cam.mp4")), kH264Pictures);
    EXPECT_EQ(Names("out"), (std::vector<std::string>{".trelvo-watch.journal", "cam.mp4"}));
}

}  // namespace
}  // namespace faults

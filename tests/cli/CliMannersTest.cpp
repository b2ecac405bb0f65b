// How the built trelvo-convert treats its user: usage errors, reasons that
// name their file, kept outputs, named outputs, and output names that are
// not regular files.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include "TempDir.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ProcessUtil.h"

namespace fs = std::filesystem;

namespace {

const std::string kProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
const std::string kData = std::string(TRELVO_SOURCE_DIR) + "/tests/data/";

class CliMannersTest : public ::testing::Test {
protected:
    std::string Path(const std::string& strName) const { return m_tmp.Path(strName); }
    std::string Input(const std::string& strName) const {
        fs::copy_file(kData + "ps_h264_alaw.ps", Path(strName), fs::copy_options::overwrite_existing);
        return Path(strName);
    }
    SProcessResult Convert(std::vector<std::string> args) const {
        args.insert(args.begin(), kProgram);
        return RunProcess(args, m_tmp.Root().string());
    }
    // Every entry of the directory but the inputs: no temporary is left.
    size_t Entries() const {
        return static_cast<size_t>(std::distance(fs::directory_iterator(m_tmp.Root()), fs::directory_iterator()));
    }
    static bool Has(const std::string& s, const std::string& strPart) { return s.find(strPart) != std::string::npos; }
    TempDir m_tmp;
};

TEST_F(CliMannersTest, AUsageErrorIsOneLineAndAttachedValuesAreRead) {
    const std::string a = Input("a.ps");
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"-x", a}, {"--bogus", a}, {"-j", "0", a}, {"-j"}, {"--output", "o.mp4", a, a}, {}}) {
        const SProcessResult r = Convert(args);
        EXPECT_EQ(r.nStatus, 2);
        EXPECT_TRUE(r.strOut.empty());
        const std::vector<std::string> lines = NonEmptyLines(r.strErr);
        ASSERT_EQ(lines.size(), 2u) << r.strErr;
        EXPECT_EQ(lines[0].rfind("trelvo-convert: ", 0), 0u) << lines[0];
        EXPECT_TRUE(Has(lines[1], "Try 'trelvo-convert --help'")) << lines[1];
    }
    // -qj2 -o<dir> -fmp4, as getopt reads them; a value that looks like an
    // option is still the value.
    const SProcessResult r = Convert({"-qj2", "-o" + Path("out"), "-fmp4", a, Input("b.ps")});
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(r.strErr.empty()) << r.strErr;
    EXPECT_EQ(CountVideoFrames(Path("out/a.mp4")), 50);
    EXPECT_EQ(CountVideoFrames(Path("out/b.mp4")), 50);
    EXPECT_EQ(Convert({"-q", "-o", "-n", a}).nStatus, 0);
    EXPECT_EQ(CountVideoFrames(Path("-n/a.mp4")), 50);
}

TEST_F(CliMannersTest, KeptAndNamedOutputs) {
    const std::string a = Input("a.ps");
    ASSERT_TRUE(WriteBytes(Path("a.mp4"), "mine"));
    for (const char* pszJson : {"--json", "-q"}) {
        const SProcessResult r = Convert({pszJson, "-n", a, Input("b.ps")});
        EXPECT_EQ(r.nStatus, 0) << r.strErr;
        const std::vector<std::string> lines = NonEmptyLines(r.strOut);
        ASSERT_EQ(lines.size(), 2u) << r.strOut;
        if (std::string(pszJson) == "--json") {
            EXPECT_TRUE(Has(lines[0], "\"output\":\"" + Path("a.mp4") + "\",\"result\":\"skipped\"")) << lines[0];
            EXPECT_TRUE(Has(lines[1], "\"result\":\"success\"")) << lines[1];
        } else {
            EXPECT_TRUE(Has(lines[0], "Skipped")) << lines[0];
        }
        EXPECT_EQ(ReadWholeFile(Path("a.mp4")), "mine");
    }
    // A join onto a name that exists is skipped whole.
    const SProcessResult join = Convert({"--json", "-n", "--join", Path("a.mp4"), a, Path("b.ps")});
    EXPECT_EQ(join.nStatus, 0);
    EXPECT_EQ(NonEmptyLines(join.strOut).size(), 2u) << join.strOut;
    EXPECT_EQ(ReadWholeFile(Path("a.mp4")), "mine");

    // --output names the file; it holds what the plain conversion holds.
    const SProcessResult named = Convert({"--json", "--output", Path("sub/named.mp4"), a});
    EXPECT_EQ(named.nStatus, 0) << named.strErr;
    EXPECT_TRUE(Has(named.strOut, "\"output\":\"" + Path("sub/named.mp4") + "\"")) << named.strOut;
    EXPECT_FALSE(Has(named.strOut, "\"joined\"")) << named.strOut;
    EXPECT_EQ(Convert({"-q", "-o", Path("plain"), a}).nStatus, 0);
    const std::vector<std::string> sums = PictureChecksums(Path("plain/a.mp4"));
    EXPECT_EQ(sums.size(), 50u);
    EXPECT_EQ(PictureChecksums(Path("sub/named.mp4")), sums);
    EXPECT_EQ(Convert({"-q", "--output", Path("named.avi"), a}).nStatus, 0);
    EXPECT_EQ(ProbeStreams(Path("named.avi"), "codec_name").substr(0, 4), "h264");
}

TEST_F(CliMannersTest, EveryFailureNamesItsFileAndTheSystemsReason) {
    const std::string a = Input("a.ps");
    ASSERT_TRUE(WriteBytes(Path("file"), "x"));
    // The output directory cannot be made: each input still gets its object.
    const SProcessResult dir = Convert({"--json", "-o", Path("file/out"), a, Input("b.ps")});
    EXPECT_EQ(dir.nStatus, 1);
    const std::vector<std::string> lines = NonEmptyLines(dir.strOut);
    ASSERT_EQ(lines.size(), 2u) << dir.strOut;
    for (const std::string& line : lines) {
        EXPECT_TRUE(Has(line, "\"result\":\"failed\"")) << line;
        EXPECT_TRUE(Has(line, "cannot create the output directory " + Path("file/out") + ": Not a directory")) << line;
    }
    EXPECT_TRUE(Has(dir.strErr, "cannot create the output directory " + Path("file/out") + ": Not a directory"));

    // A write that fails names the output and the system's words for it.
    for (const char* pszFormat : {"mp4", "avi"}) {
        const SProcessResult r = RunProcess(
            {"sh", "-c", "ulimit -f 4; exec \"$0\" -q -f \"$1\" -o \"$2\" \"$3\"", kProgram, pszFormat, Path("w"), a});
        EXPECT_EQ(r.nStatus, 1);
        EXPECT_TRUE(Has(r.strOut, Path("w/a.") + pszFormat)) << r.strOut;
        EXPECT_TRUE(Has(r.strOut, "File too large")) << r.strOut;
        EXPECT_TRUE(fs::is_empty(Path("w"))) << pszFormat;
    }
}

TEST_F(CliMannersTest, ANameThatIsNoRegularFileIsNeverReplaced) {
    const std::string a = Input("a.ps");
    ASSERT_EQ(::mkfifo(Path("fifo.mp4").c_str(), 0600), 0);
    fs::create_symlink("/dev/null", Path("null.mp4"));
    fs::create_symlink(Path("fifo.mp4"), Path("fifo.avi"));
    const int nSocket = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string strSocket = Path("sock.mp4");
    ASSERT_LT(strSocket.size(), sizeof address.sun_path);
    strSocket.copy(address.sun_path, strSocket.size());
    ASSERT_EQ(::bind(nSocket, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    const size_t nEntries = Entries();
    for (const char* name : {"fifo.mp4", "null.mp4", "fifo.avi", "sock.mp4"}) {
        for (const char* pszHow : {"--output", "--join"}) {
            const SProcessResult r = Convert({"-q", pszHow, Path(name), a});
            EXPECT_EQ(r.nStatus, 1) << name;
            EXPECT_TRUE(Has(r.strOut, "not a regular file")) << r.strOut;
        }
    }
    // A socket is no stream to write fragments into either.
    EXPECT_EQ(Convert({"-q", "--fragmented", "--output", strSocket, a}).nStatus, 1);
    struct stat st {};
    EXPECT_TRUE(::stat(Path("fifo.mp4").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    EXPECT_TRUE(::lstat(Path("null.mp4").c_str(), &st) == 0 && S_ISLNK(st.st_mode));
    EXPECT_TRUE(::stat(strSocket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode));
    EXPECT_EQ(Entries(), nEntries);
    ::close(nSocket);

    // Fragments are written through a FIFO, and through a link to one, to
    // whoever reads it.
    for (const char* name : {"fifo.mp4", "fifo.avi"}) {
        std::thread reader([&] { WriteBytes(Path("read.mp4"), ReadWholeFile(Path("fifo.mp4"))); });
        const SProcessResult r = Convert({"-q", "-f", "mp4", "--fragmented", "--output", Path(name), a});
        reader.join();
        EXPECT_EQ(r.nStatus, 0) << r.strOut << r.strErr;
        EXPECT_EQ(CountVideoFrames(Path("read.mp4")), 50) << name;
        EXPECT_TRUE(DecodesCleanly(Path("read.mp4")));
        EXPECT_TRUE(::stat(Path("fifo.mp4").c_str(), &st) == 0 && S_ISFIFO(st.st_mode));
    }
    EXPECT_EQ(Convert({"-q", "--fragmented", "--output", "/dev/null", a}).nStatus, 0);
}

TEST_F(CliMannersTest, AJoinOfALawAndMuLawStaysOneMp4) {
    const std::string a = Input("a.ps");
    fs::copy_file(kData + "ps_h264_ulaw.ps", Path("u.ps"));
    const SProcessResult r = Convert({"--json", "--join", Path("day.mp4"), a, Path("u.ps")});
    EXPECT_EQ(r.nStatus, 0) << r.strErr;
    EXPECT_TRUE(Has(r.strOut, "\"joined\":2,\"continued_in\":null")) << r.strOut;
    EXPECT_FALSE(fs::exists(Path("day-2.mp4")));
    EXPECT_EQ(CountVideoFrames(Path("day.mp4")), 100);
    EXPECT_TRUE(DecodesCleanly(Path("day.mp4")));
    const std::string strAudio = ProbeStreams(Path("day.mp4"), "codec_type,codec_name,duration");
    EXPECT_TRUE(Has(strAudio, "aac|audio|4.")) << strAudio;
    // AVI keeps G.711 as it is: there the law is a change.
    const SProcessResult avi = Convert({"-q", "--join", Path("day.avi"), a, Path("u.ps")});
    EXPECT_EQ(avi.nStatus, 0) << avi.strOut;
    EXPECT_TRUE(fs::exists(Path("day-2.avi")));
}

// Runs the program, and once its progress on stderr names strWhen, sends
// it SIGINT, and when bTwice once more when it says it is stopping: what a
// user's Ctrl-C does.
SProcessResult InterruptAt(const std::vector<std::string>& args, const std::string& strWhen, bool bTwice) {
    int err[2];
    int out[2];
    SProcessResult result;
    if (::pipe(err) != 0 || ::pipe(out) != 0) return result;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::close(out[0]);
        ::close(err[0]);
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(err[1]);
    std::thread reader([&] {
        char buf[4096];
        for (ssize_t n; (n = ::read(out[0], buf, sizeof buf)) > 0;) result.strOut.append(buf, static_cast<size_t>(n));
    });
    bool bSent = false;
    char buf[4096];
    for (ssize_t n; (n = ::read(err[0], buf, sizeof buf)) > 0;) {
        result.strErr.append(buf, static_cast<size_t>(n));
        if (!bSent && result.strErr.find(strWhen) != std::string::npos) {
            ::kill(pid, SIGINT);
            bSent = true;
        }
        if (bSent && bTwice && result.strErr.find("stopping:") != std::string::npos) {
            ::kill(pid, SIGINT);
            bTwice = false;
        }
    }
    reader.join();
    ::close(out[0]);
    ::close(err[0]);
    int nWait = 0;
    ::waitpid(pid, &nWait, 0);
    result.nStatus = WIFEXITED(nWait) ? WEXITSTATUS(nWait) : -WTERMSIG(nWait);
    return result;
}

TEST_F(CliMannersTest, AStopKeepsWhatWasConvertedAsAPartThatPlays) {
    // Long enough that a stop at a fifth of it comes well before its end.
    const std::string strClip = ReadWholeFile(kData + "h264_320x180_25fps.h264");
    std::string strLong;
    for (int i = 0; i < 300; ++i) strLong += strClip;
    ASSERT_TRUE(WriteBytes(Path("long.h264"), strLong));
    const std::string b = Input("b.ps");
    const int nAll = 300 * CountVideoFrames(kData + "h264_320x180_25fps.h264");
    for (const bool bOldFile : {false, true}) {
        if (bOldFile) {
            ASSERT_TRUE(WriteBytes(Path("long.mp4"), "an earlier output"));
        }
        const SProcessResult r = InterruptAt({kProgram, "--json", Path("long.h264"), b}, "long.h264: 20%", false);
        EXPECT_EQ(r.nStatus, 3) << r.strErr;
        const std::vector<std::string> lines = NonEmptyLines(r.strOut);
        ASSERT_EQ(lines.size(), 2u) << r.strOut;
        const std::string strPart = Path(bOldFile ? "long.part.mp4" : "long.mp4");
        EXPECT_TRUE(Has(lines[0], "\"output\":\"" + strPart +
                                      "\",\"result\":\"success\",\"whole\":false,"
                                      "\"reason\":\"stopped\",\"message\":\"stopped by the user at 00:"))
            << lines[0];
        EXPECT_TRUE(Has(lines[1], "\"result\":\"skipped\",\"whole\":false,\"reason\":\"stopped\"")) << lines[1];
        const int nPictures = CountVideoFrames(strPart);
        EXPECT_GT(nPictures, nAll / 10);
        EXPECT_LT(nPictures, nAll);
        EXPECT_TRUE(Has(lines[0], "\"pictures\":" + std::to_string(nPictures) + ",")) << lines[0];
        EXPECT_TRUE(DecodesCleanly(strPart));
        if (bOldFile) {
            EXPECT_EQ(ReadWholeFile(Path("long.mp4")), "an earlier output");
        }
        EXPECT_FALSE(fs::exists(Path("b.mp4")));
    }
    // A second Ctrl-C stops at once; nothing half-written takes a name.
    fs::remove(Path("long.mp4"));
    const SProcessResult r = InterruptAt({kProgram, Path("long.h264")}, "long.h264: 20%", true);
    EXPECT_EQ(r.nStatus, -SIGINT);
    EXPECT_FALSE(fs::exists(Path("long.mp4")));
}

}  // namespace

// The crash handler, seen from outside: a helper program crashes in various
// ways and we look at its exit status, its standard error and the dump it
// leaves beside itself.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Sanitizers.h"

namespace fs = std::filesystem;

namespace {

constexpr char kDumpName[] = "CrashDumpFile.dmp";

fs::path TestBinDir() {
    return fs::read_symlink("/proc/self/exe").parent_path();
}

struct ChildRun {
    int nStatus = 0;
    std::string strOut;
    std::string strErr;
};

// Runs exe with one argument (and environment variables set), collecting
// both output streams until every writer (the child and anything it
// started) has closed them.
ChildRun RunChild(const fs::path& exe, const std::string& strMode,
                  const std::vector<std::pair<std::string, std::string>>& env = {}) {
    ChildRun run;
    int outPipe[2], errPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0) {
        ADD_FAILURE() << "pipe failed";
        return run;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        close(outPipe[0]);
        close(outPipe[1]);
        close(errPipe[0]);
        close(errPipe[1]);
        // No core files from the crashes we cause.
        struct rlimit noCore {
            0, 0
        };
        setrlimit(RLIMIT_CORE, &noCore);
        for (const auto& [strName, strValue] : env) setenv(strName.c_str(), strValue.c_str(), 1);
        std::string strExe = exe.string();
        execl(strExe.c_str(), strExe.c_str(), strMode.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&run.strOut, &run.strErr};
    int nOpen = 2;
    while (nOpen > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof(buf));
            if (n > 0) {
                sinks[i]->append(buf, static_cast<size_t>(n));
            } else if (n == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --nOpen;
            }
        }
    }
    waitpid(pid, &run.nStatus, 0);
    return run;
}

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string ValueAfter(const std::string& strText, const std::string& strKey) {
    size_t nPos = strText.find("\n" + strKey);
    if (nPos == std::string::npos) return "";
    nPos += strKey.size() + 1;
    return strText.substr(nPos, strText.find('\n', nPos) - nPos);
}

std::string RunCommand(const std::string& strCommand) {
    std::string strResult;
    if (FILE* pipe = popen(strCommand.c_str(), "r")) {
        char buf[512];
        size_t n;
        while ((n = fread(buf, 1, sizeof(buf), pipe)) > 0) strResult.append(buf, n);
        pclose(pipe);
    }
    return strResult;
}

bool HaveAddr2Line() {
    return RunCommand("command -v addr2line").find("addr2line") != std::string::npos;
}

struct Frame {
    std::string strOffset;
    std::string strModule;
};

std::vector<Frame> Frames(const std::string& strDump) {
    std::vector<Frame> frames;
    std::istringstream in(strDump);
    std::string strLine;
    while (std::getline(in, strLine)) {
        if (strLine.empty() || strLine[0] != '#') continue;
        std::istringstream fields(strLine);
        std::string strIndex, strAddress, strOffset;
        fields >> strIndex >> strAddress >> strOffset;
        std::string strModule;
        std::getline(fields, strModule);
        if (strOffset.size() > 1 && strOffset[0] == '+')
            frames.push_back({strOffset.substr(1), strModule.substr(1)});
        else
            frames.push_back({"", ""});
    }
    return frames;
}

// Function names (demangled) that the frames of the given module resolve
// to, empty for frames elsewhere; one addr2line run for all of them.
std::vector<std::string> ResolveFrames(const std::vector<Frame>& frames, const fs::path& module) {
    std::string strOffsets;
    for (const Frame& f : frames) {
        if (f.strModule == module.string()) strOffsets += " " + f.strOffset;
    }
    std::istringstream out(
        strOffsets.empty() ? "" : RunCommand("addr2line -f -C -e '" + module.string() + "'" + strOffsets));
    std::vector<std::string> names;
    for (const Frame& f : frames) {
        std::string strName, strWhere;
        if (f.strModule == module.string()) {
            std::getline(out, strName);
            std::getline(out, strWhere);
        }
        names.push_back(strName);
    }
    return names;
}

std::string TidFromOutput(const std::string& strOut) {
    size_t nPos = strOut.find("tid ");
    if (nPos == std::string::npos) return "<none>";
    nPos += 4;
    return strOut.substr(nPos, strOut.find('\n', nPos) - nPos);
}

bool DiedBy(int nStatus, int nSignal) {
    return WIFSIGNALED(nStatus) && WTERMSIG(nStatus) == nSignal;
}

// Every test uses the one program directory, so they take turns.
class CrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = TestBinDir();
        m_child = m_dir / "trelvo_crash_child";
        m_nLock = open((m_dir / ".crash-tests.lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        ASSERT_GE(m_nLock, 0);
        ASSERT_EQ(flock(m_nLock, LOCK_EX), 0);
        fs::remove(m_dir / kDumpName);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove(m_dir / kDumpName, ec);
        if (m_nLock >= 0) close(m_nLock);
    }

    // Runs a mode that crashes, checks what every crash must show and
    // returns the dump.
    std::string CrashAndCheck(const std::string& strMode, int nSignal, const char* szSignalName) {
        ChildRun run = RunChild(m_child, strMode);
        EXPECT_TRUE(DiedBy(run.nStatus, nSignal)) << strMode << " status " << run.nStatus << "\n" << run.strErr;
        fs::path dump = m_dir / kDumpName;
        EXPECT_NE(run.strErr.find("Fatal Error\nCrash dump: " + dump.string() + "\n"), std::string::npos) << run.strErr;
        EXPECT_TRUE(fs::is_regular_file(dump)) << strMode;
        EXPECT_FALSE(fs::exists(m_dir / "CrashDumpFile.dmp.tmp"));
        std::string strDump = ReadFile(dump);
        EXPECT_EQ(strDump.rfind("Trelvo crash dump\n", 0), 0u);
        EXPECT_EQ(ValueAfter(strDump, "thread: ").substr(0, TidFromOutput(run.strOut).size()),
                  TidFromOutput(run.strOut));
        EXPECT_EQ(ValueAfter(strDump, "signal: "), std::to_string(nSignal) + " " + szSignalName);
        EXPECT_EQ(ValueAfter(strDump, "program: "), m_child.string());
        EXPECT_NE(strDump.find("\nmemory map:\n"), std::string::npos);
        EXPECT_NE(strDump.find(m_child.string() + "\n", strDump.find("\nmemory map:\n")), std::string::npos);
        EXPECT_TRUE(strDump.size() > 13 && strDump.compare(strDump.size() - 12, 12, "end of dump\n") == 0);
        return strDump;
    }

    fs::path m_dir;
    fs::path m_child;
    int m_nLock = -1;
};

TEST_F(CrashTest, NullWriteOnWorkerThreadLeavesFullDump) {
    std::string strDump = CrashAndCheck("null-worker", SIGSEGV, "SIGSEGV");
    EXPECT_EQ(ValueAfter(strDump, "code: "), "1 SEGV_MAPERR (address not mapped)");
    EXPECT_EQ(ValueAfter(strDump, "fault address: "), "0x0000000000000000");
    // The worker's own thread, not the main one.
    EXPECT_NE(ValueAfter(strDump, "thread: "), ValueAfter(strDump, "process: "));
#if defined(__x86_64__)
    EXPECT_NE(strDump.find("  rip 0x"), std::string::npos);
    EXPECT_NE(strDump.find("  rsp 0x"), std::string::npos);
#endif
    std::string strReadElf = RunCommand("readelf -n '" + m_child.string() + "' 2>/dev/null");
    size_t nPos = strReadElf.find("Build ID: ");
    if (nPos != std::string::npos) {
        std::string strId = strReadElf.substr(nPos + 10, strReadElf.find('\n', nPos) - nPos - 10);
        EXPECT_EQ(ValueAfter(strDump, "build id: "), strId);
    }
    std::vector<Frame> frames = Frames(strDump);
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0].strModule, m_child.string());
    if (HaveAddr2Line()) {
        EXPECT_EQ(ResolveFrames(frames, m_child)[0], "CrashNullWrite()") << strDump;
    }
}

TEST_F(CrashTest, AbortAndUncaughtExceptionEndBySigabrt) {
    std::string strDump = CrashAndCheck("abort", SIGABRT, "SIGABRT");
    EXPECT_EQ(ValueAfter(strDump, "reason: "), "");
    std::vector<std::string> names;
    if (HaveAddr2Line()) {
        names = ResolveFrames(Frames(strDump), m_child);
        EXPECT_NE(std::find(names.begin(), names.end(), "CrashCallAbort()"), names.end()) << strDump;
    }

    strDump = CrashAndCheck("throw", SIGABRT, "SIGABRT");
    EXPECT_EQ(ValueAfter(strDump, "reason: "), "uncaught exception of type std::runtime_error: conversion state lost");
    if (HaveAddr2Line()) {
        names = ResolveFrames(Frames(strDump), m_child);
        EXPECT_NE(std::find(names.begin(), names.end(), "CrashThrow()"), names.end()) << strDump;
    }

    // Someone else's terminate handler: no reason, but still the dump.
    strDump = CrashAndCheck("throw-other-terminate", SIGABRT, "SIGABRT");
    EXPECT_EQ(ValueAfter(strDump, "reason: "), "");
}

TEST_F(CrashTest, StackOverflowIsCaughtOnMainAndPreparedWorker) {
    for (const char* szMode : {"recurse", "worker-recurse"}) {
        std::string strDump = CrashAndCheck(szMode, SIGSEGV, "SIGSEGV");
        std::vector<Frame> frames = Frames(strDump);
        ASSERT_FALSE(frames.empty());
        if (HaveAddr2Line()) {
            EXPECT_EQ(ResolveFrames(frames, m_child)[0], "CrashRecurse(int)") << strDump;
        }
    }
}

TEST_F(CrashTest, EachCrashReplacesTheDumpBeforeIt) {
    std::string strFirst = CrashAndCheck("trap", SIGILL, "SIGILL");
    EXPECT_EQ(ValueAfter(strFirst, "code: ").substr(0, 12), "2 ILL_ILLOPN");
    std::string strDump = CrashAndCheck("divide", SIGFPE, "SIGFPE");
    EXPECT_EQ(ValueAfter(strDump, "code: ").substr(0, 12), "1 FPE_INTDIV");
    strDump = CrashAndCheck("bus", SIGBUS, "SIGBUS");
    EXPECT_EQ(ValueAfter(strDump, "code: ").substr(0, 12), "2 BUS_ADRERR");
    std::string strLast = CrashAndCheck("abort", SIGABRT, "SIGABRT");
    EXPECT_NE(ValueAfter(strFirst, "process: "), ValueAfter(strLast, "process: "));
    EXPECT_EQ(strLast.find("SIGILL"), std::string::npos);
    EXPECT_EQ(ValueAfter(strLast, "code: ").substr(0, 11), "-6 SI_TKILL");
    EXPECT_EQ(ValueAfter(strLast, "sender: process "), ValueAfter(strLast, "process: "));
}

TEST_F(CrashTest, NoDumpBeforeInstallation) {
    ChildRun run = RunChild(m_child, "installed");
    EXPECT_TRUE(WIFEXITED(run.nStatus) && WEXITSTATUS(run.nStatus) == 0);
    EXPECT_EQ(run.strOut, "dump " + (m_dir / kDumpName).string() + "\n");

    run = RunChild(m_child, "no-install");
    EXPECT_FALSE(WIFEXITED(run.nStatus) && WEXITSTATUS(run.nStatus) == 0);
#if !TRELVO_ASAN
    // AddressSanitizer reports the fault itself and exits instead.
    EXPECT_TRUE(DiedBy(run.nStatus, SIGSEGV));
#endif
    EXPECT_EQ(run.strErr.find("Fatal Error"), std::string::npos);
    EXPECT_FALSE(fs::exists(m_dir / kDumpName));
}

TEST_F(CrashTest, ReadOnlyProgramDirectorySendsTheDumpToTheUsersStateDirectory) {
    char szTemplate[] = "/tmp/trelvo-crash-XXXXXX";
    ASSERT_NE(mkdtemp(szTemplate), nullptr);
    fs::path dir = szTemplate;
    fs::create_directory(dir / "prog");
    fs::copy_file(m_child, dir / "prog" / "trelvo_crash_child");
    // A directory in the dump's place defeats even root; the read-only mode
    // covers everyone else.
    fs::create_directory(dir / "prog" / kDumpName);
    fs::permissions(dir / "prog", fs::perms::owner_read | fs::perms::owner_exec);
    const fs::path child = dir / "prog" / "trelvo_crash_child";
    const fs::path dump = dir / "state" / "trelvo" / kDumpName;

    // Chosen at installation, before any crash.
    ChildRun run = RunChild(child, "installed", {{"XDG_STATE_HOME", (dir / "state").string()}});
    EXPECT_EQ(run.strOut, "dump " + dump.string() + "\n");
    EXPECT_FALSE(fs::exists(dir / "state"));

    run = RunChild(child, "null-worker", {{"XDG_STATE_HOME", (dir / "state").string()}});
    EXPECT_TRUE(DiedBy(run.nStatus, SIGSEGV)) << run.nStatus;
    EXPECT_NE(run.strErr.find("Fatal Error\nCrash dump: " + dump.string() + "\n"), std::string::npos) << run.strErr;
    const std::string strDump = ReadFile(dump);
    EXPECT_EQ(strDump.rfind("Trelvo crash dump\n", 0), 0u);
    EXPECT_EQ(ValueAfter(strDump, "program: "), child.string());
    EXPECT_NE(strDump.find("end of dump\n"), std::string::npos);
    EXPECT_EQ(fs::status(dump.parent_path()).permissions() & fs::perms::all, fs::perms::owner_all);
    EXPECT_TRUE(fs::is_directory(dir / "prog" / kDumpName));

    // Nowhere to write at all: still the report and the end by the signal.
    std::ofstream(dir / "blocker") << "x";
    run = RunChild(child, "null-worker", {{"XDG_STATE_HOME", (dir / "blocker").string()}});
    EXPECT_TRUE(DiedBy(run.nStatus, SIGSEGV)) << run.nStatus;
    EXPECT_NE(run.strErr.find("Fatal Error\n"), std::string::npos);
    EXPECT_EQ(run.strErr.find("Crash dump:"), std::string::npos) << run.strErr;
    EXPECT_FALSE(fs::exists(dir / "prog" / "CrashDumpFile.dmp.tmp"));
    fs::permissions(dir / "prog", fs::perms::owner_all);
    fs::remove_all(dir);
}

TEST_F(CrashTest, HandlersStayInPlaceAndMessageCommandRuns) {
    std::string strDump = CrashAndCheck("lock", SIGSEGV, "SIGSEGV");
    ChildRun run = RunChild(m_child, "lock");
    EXPECT_NE(run.strOut.find("signal kept\nsigaction 0 kept old handler\n"), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find("foreign kept\n"), std::string::npos) << run.strOut;
    EXPECT_NE(run.strOut.find("usr1 changed\n"), std::string::npos) << run.strOut;

    run = RunChild(m_child, "box");
    EXPECT_TRUE(DiedBy(run.nStatus, SIGSEGV));
    EXPECT_NE(run.strOut.find("box: Fatal Error\nbox dump: " + (m_dir / kDumpName).string() + "\n"), std::string::npos)
        << run.strOut;
    EXPECT_NE(run.strErr.find("Fatal Error\n"), std::string::npos);
}

}  // namespace

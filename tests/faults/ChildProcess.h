// A program run in the background with its output captured, so that a test
// can act on it part way (a signal once a condition holds) and never wait on
// a hung one for ever.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

struct SChildEnd {
    int nStatus = -1;        // exit status, or -1 when it did not exit
    int nSignal = 0;         // the signal that ended it
    bool bTimedOut = false;  // it was killed for running too long
    std::string strOut;
    std::string strErr;
};

class CChildProcess {
public:
    using Clock = std::chrono::steady_clock;

    // Starts args[0] (searched in PATH) with this environment plus extraEnv
    // ("NAME=value", replacing a variable of that name), in strCwd (empty:
    // here), stdin from /dev/null, stdout and stderr to strCapture + ".out"
    // and ".err".
    CChildProcess(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
                  const std::string& strCwd, const std::string& strCapture)
        : m_strOut(strCapture + ".out"), m_strErr(strCapture + ".err") {
        std::vector<std::string> env = extraEnv;
        for (char** p = environ; *p; ++p) {
            const char* pszEq = std::strchr(*p, '=');
            const std::string strName(*p, pszEq ? static_cast<size_t>(pszEq - *p) : std::strlen(*p));
            if (!Overridden(extraEnv, strName)) env.emplace_back(*p);
        }
        std::vector<char*> argv, envp;
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
        argv.push_back(nullptr);
        envp.push_back(nullptr);
        m_pid = ::fork();
        if (m_pid == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int out = ::open(m_strOut.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            const int err = ::open(m_strErr.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            if (in < 0 || out < 0 || err < 0) ::_exit(127);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            for (const int fd : {in, out, err}) {
                if (fd > 2) ::close(fd);
            }
            if (!strCwd.empty() && ::chdir(strCwd.c_str()) != 0) ::_exit(127);
            ::execvpe(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
    }
    ~CChildProcess() {
        if (m_pid > 0 && !m_bReaped) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        std::remove(m_strOut.c_str());
        std::remove(m_strErr.c_str());
    }
    CChildProcess(const CChildProcess&) = delete;
    CChildProcess& operator=(const CChildProcess&) = delete;

    // Polls fnReady until it holds (true) or the child has ended or the time
    // is up (false). The child is not reaped, so its id stays its own.
    bool WaitUntil(const std::function<bool()>& fnReady, std::chrono::seconds timeout = std::chrono::seconds(60)) {
        const Clock::time_point end = Clock::now() + timeout;
        while (Clock::now() < end) {
            if (fnReady()) return true;
            siginfo_t info{};
            if (::waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                info.si_pid == m_pid)
                return fnReady();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }

    void Signal(int nSignal) const { ::kill(m_pid, nSignal); }
    // What it has printed so far.
    std::string OutSoFar() const { return ReadAll(m_strOut); }

    // Waits for the end; a child still running after the timeout is killed.
    SChildEnd Wait(std::chrono::seconds timeout = std::chrono::seconds(120)) {
        SChildEnd end;
        int nWait = 0;
        const Clock::time_point limit = Clock::now() + timeout;
        while (!m_bReaped && m_pid > 0) {
            const pid_t r = ::waitpid(m_pid, &nWait, WNOHANG);
            if (r < 0) return end;
            if (r == m_pid) {
                m_bReaped = true;
                break;
            }
            if (Clock::now() >= limit) {
                end.bTimedOut = true;
                ::kill(m_pid, SIGKILL);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        if (WIFEXITED(nWait)) end.nStatus = WEXITSTATUS(nWait);
        if (WIFSIGNALED(nWait)) end.nSignal = WTERMSIG(nWait);
        end.strOut = ReadAll(m_strOut);
        end.strErr = ReadAll(m_strErr);
        return end;
    }

private:
    static bool Overridden(const std::vector<std::string>& extraEnv, const std::string& strName) {
        for (const std::string& e : extraEnv) {
            if (e.compare(0, strName.size() + 1, strName + "=") == 0) return true;
        }
        return false;
    }
    static std::string ReadAll(const std::string& strPath) {
        std::ifstream in(strPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    std::string m_strOut;
    std::string m_strErr;
    pid_t m_pid = -1;
    bool m_bReaped = false;
};

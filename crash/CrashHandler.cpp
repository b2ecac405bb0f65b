// Fatal signals and uncaught exceptions end here: a text dump beside the
// executable (or in the user's state directory when that is read-only),
// "Fatal Error" and the dump's path on standard error (and through an
// optional command on screen), then death by the original signal so that
// the exit status still tells what happened.
//
// Everything the signal path touches is prepared at installation: the dump
// path, the build id, the unwinder (glibc loads it lazily, with malloc), the
// message command. In the handler only open/read/write/close/rename, memory
// reads and raw system calls are used.
//
// This file ties the pieces together: CrashDumpWriter writes the dump,
// Backtrace finds the frames and their modules, SignalLock keeps these
// handlers in place, CrashMessageCommand shows the message, CrashDumpPath
// chooses where the dump goes; SignalSafeIo is what they write and read with.
#include "CrashHandler.h"

#include "CrashDumpPath.h"
#include "CrashDumpWriter.h"
#include "CrashMessageCommand.h"
#include "SignalLock.h"
#include "SignalSafeIo.h"

#include <linux/limits.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>

namespace {

using crash::CurrentTid;
using crash::kFatalSignals;
using crash::RealSigaction;
using crash::WriteAll;

constexpr size_t kAltStackSize = 64 * 1024;
// An alternate stack someone else set up (AddressSanitizer does) is kept
// when it is at least this large.
constexpr size_t kMinForeignAltStack = 32 * 1024;
constexpr char kDumpName[] = "CrashDumpFile.dmp";

std::mutex g_installMutex;
bool g_bPrepared = false;  // guarded by g_installMutex
char g_szDumpPath[PATH_MAX];
char g_szSecondDumpPath[PATH_MAX];  // where to try when the first fails
uintptr_t g_nPageSize = 4096;

// The thread that is writing the dump; others that crash meanwhile wait.
std::atomic<pid_t> g_crashOwner{0};

[[noreturn]] void Die(int nSignal) {
    struct sigaction act {};
    act.sa_handler = SIG_DFL;
    sigemptyset(&act.sa_mask);
    RealSigaction(nSignal, &act, nullptr);
    syscall(SYS_tgkill, getpid(), CurrentTid(), nSignal);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, nSignal);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    // The pending signal ends the process as soon as it is unblocked.
    _exit(128 + nSignal);
}

bool InstallSignalHandlers() {
    struct sigaction act {};
    act.sa_sigaction = CrashDumpFilter;
    act.sa_flags = SA_SIGINFO | SA_ONSTACK;
    // A fault inside the handler is then fatal at once instead of recursing.
    sigemptyset(&act.sa_mask);
    for (int s : kFatalSignals) sigaddset(&act.sa_mask, s);
    bool bOk = true;
    for (int s : kFatalSignals) bOk = RealSigaction(s, &act, nullptr) == 0 && bOk;
    return bOk;
}

// ------------------------------------------------------ installation

// Each thread that asks gets its own alternate stack, released when it ends.
// A large enough stack that someone else set up is used as it is; a smaller
// one is put back at the end, since its owner may release whatever is current.
class CThreadAltStack {
public:
    CThreadAltStack() = default;
    CThreadAltStack(const CThreadAltStack&) = delete;
    CThreadAltStack& operator=(const CThreadAltStack&) = delete;
    ~CThreadAltStack() {
        if (m_pMap == nullptr) return;
        stack_t cur{};
        if (sigaltstack(nullptr, &cur) == 0 && cur.ss_sp == m_pMap + g_nPageSize) {
            if (m_previous.ss_flags & SS_DISABLE) {
                m_previous.ss_sp = nullptr;
                m_previous.ss_size = 0;
                m_previous.ss_flags = SS_DISABLE;
            }
            sigaltstack(&m_previous, nullptr);
        }
        munmap(m_pMap, kAltStackSize + g_nPageSize);
    }
    bool Ensure() {
        stack_t cur{};
        if (sigaltstack(nullptr, &cur) != 0) return false;
        if (m_pMap != nullptr && cur.ss_sp == m_pMap + g_nPageSize) return true;
        if (!(cur.ss_flags & SS_DISABLE) && cur.ss_size >= kMinForeignAltStack) return true;
        if (m_pMap == nullptr) {
            void* p =
                mmap(nullptr, kAltStackSize + g_nPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            if (p == MAP_FAILED) return false;
            m_pMap = static_cast<char*>(p);
            // A guard page below, so an overflow of the handler itself faults.
            mprotect(m_pMap, g_nPageSize, PROT_NONE);
            m_previous = cur;
        }
        stack_t st{};
        st.ss_sp = m_pMap + g_nPageSize;
        st.ss_size = kAltStackSize;
        return sigaltstack(&st, nullptr) == 0;
    }

private:
    char* m_pMap = nullptr;
    stack_t m_previous{};
};

thread_local CThreadAltStack t_altStack;

// The path the dump went to, or null.
const char* WriteDumpWherePossible(int nSignal, siginfo_t* pInfo, void* pContext) {
    for (const char* szPath : {static_cast<const char*>(g_szDumpPath), static_cast<const char*>(g_szSecondDumpPath)}) {
        if (szPath[0] == '\0') continue;
        MakeDumpDirs(szPath);
        if (WriteCrashDump(szPath, nSignal, pInfo, pContext) >= 0) return szPath;
    }
    return nullptr;
}

[[noreturn]] void OnTerminate() noexcept {
    crash::RecordTerminateReason();
    // Through the same path as any other fatal signal, even if someone
    // replaced the SIGABRT handler meanwhile.
    InstallSignalHandlers();
    std::abort();
}

}  // namespace

// ---------------------------------------------------------------- public

void CrashDumpFilter(int nSignal, siginfo_t* pInfo, void* pContext) {
    pid_t nTid = CurrentTid();
    pid_t nExpected = 0;
    if (!g_crashOwner.compare_exchange_strong(nExpected, nTid)) {
        if (nExpected != nTid) {
            // Another thread is reporting and will end the process; give it
            // time, but do not hang forever if it is stuck.
            for (int i = 0; i < 30; ++i) {
                struct timespec ts {
                    1, 0
                };
                nanosleep(&ts, nullptr);
            }
        }
        Die(nSignal);
    }
    const char* szDump = WriteDumpWherePossible(nSignal, pInfo, pContext);
    WriteAll(STDERR_FILENO, "Fatal Error\n");
    if (szDump != nullptr) {
        WriteAll(STDERR_FILENO, "Crash dump: ");
        WriteAll(STDERR_FILENO, szDump);
        WriteAll(STDERR_FILENO, "\n");
    }
    crash::StartMessageCommand(szDump);
    Die(nSignal);
}

const char* GetCrashDumpPath() {
    return g_szDumpPath;
}

bool InstallCrashHandler() {
    std::lock_guard<std::mutex> lock(g_installMutex);
    if (!g_bPrepared) {
        long nPage = sysconf(_SC_PAGESIZE);
        if (nPage > 0) g_nPageSize = static_cast<uintptr_t>(nPage);
        crash::PrepareDumpWriter();
        ChooseDumpPaths(crash::ProgramPath(), kDumpName, g_szDumpPath, g_szSecondDumpPath, sizeof(g_szDumpPath));
    }
    bool bStack = t_altStack.Ensure();
    bool bHandlers = InstallSignalHandlers();
    std::set_terminate(OnTerminate);
    g_bPrepared = true;
    crash::LockFatalSignals();
    return bStack && bHandlers;
}

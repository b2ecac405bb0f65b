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
#include "CrashHandler.h"

#include "Backtrace.h"
#include "CrashDumpPath.h"
#include "CrashMessageCommand.h"
#include "SignalLock.h"
#include "SignalSafeIo.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cxxabi.h>
#include <elf.h>
#include <exception>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <linux/limits.h>
#include <mutex>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/ucontext.h>
#include <typeinfo>
#include <unistd.h>

namespace {

using crash::CDumpWriter;
using crash::CLineReader;
using crash::CurrentTid;
using crash::kFatalSignals;
using crash::RealSigaction;
using crash::StrLen;
using crash::WriteAll;

constexpr size_t kAltStackSize = 64 * 1024;
// An alternate stack someone else set up (AddressSanitizer does) is kept
// when it is at least this large.
constexpr size_t kMinForeignAltStack = 32 * 1024;
constexpr char kDumpName[] = "CrashDumpFile.dmp";

std::mutex g_installMutex;
bool g_bPrepared = false;  // guarded by g_installMutex
char g_szExePath[PATH_MAX];
char g_szDumpPath[PATH_MAX];
char g_szSecondDumpPath[PATH_MAX];  // where to try when the first fails
char g_szTempPath[PATH_MAX + 8];
char g_szBuildId[2 * 64 + 1];
uintptr_t g_nPageSize = 4096;

// The thread that is writing the dump; others that crash meanwhile wait.
std::atomic<pid_t> g_crashOwner{0};

// Filled by the terminate handler just before it aborts.
char g_szTerminateReason[1024];
std::atomic<pid_t> g_terminateTid{0};

// Copies src after dst[nLen]; false when it does not fit.
bool Append(char* dst, size_t nCap, size_t& nLen, const char* src) {
    size_t n = StrLen(src);
    if (nLen + n + 1 > nCap) return false;
    memcpy(dst + nLen, src, n + 1);
    nLen += n;
    return true;
}

// ---------------------------------------------------------------- output

const char* SignalName(int nSignal) {
    switch (nSignal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

const char* CodeName(int nSignal, int nCode) {
    switch (nCode) {
    case SI_USER: return "SI_USER (sent by kill)";
    case SI_KERNEL: return "SI_KERNEL";
    case SI_QUEUE: return "SI_QUEUE";
    case SI_TKILL: return "SI_TKILL (sent by raise, abort or tgkill)";
    default: break;
    }
    if (nSignal == SIGSEGV) {
        switch (nCode) {
        case SEGV_MAPERR: return "SEGV_MAPERR (address not mapped)";
        case SEGV_ACCERR: return "SEGV_ACCERR (no permission for the access)";
        default: break;
        }
    } else if (nSignal == SIGBUS) {
        switch (nCode) {
        case BUS_ADRALN: return "BUS_ADRALN (misaligned address)";
        case BUS_ADRERR: return "BUS_ADRERR (no such physical address)";
        case BUS_OBJERR: return "BUS_OBJERR (object error, e.g. a truncated mapped file)";
        default: break;
        }
    } else if (nSignal == SIGFPE) {
        switch (nCode) {
        case FPE_INTDIV: return "FPE_INTDIV (integer division by zero)";
        case FPE_INTOVF: return "FPE_INTOVF (integer overflow)";
        case FPE_FLTDIV: return "FPE_FLTDIV";
        case FPE_FLTOVF: return "FPE_FLTOVF";
        case FPE_FLTUND: return "FPE_FLTUND";
        case FPE_FLTRES: return "FPE_FLTRES";
        case FPE_FLTINV: return "FPE_FLTINV";
        case FPE_FLTSUB: return "FPE_FLTSUB";
        default: break;
        }
    } else if (nSignal == SIGILL) {
        switch (nCode) {
        case ILL_ILLOPC: return "ILL_ILLOPC (illegal opcode)";
        case ILL_ILLOPN: return "ILL_ILLOPN (illegal operand)";
        case ILL_ILLADR: return "ILL_ILLADR (illegal addressing mode)";
        case ILL_ILLTRP: return "ILL_ILLTRP (illegal trap)";
        case ILL_PRVOPC: return "ILL_PRVOPC (privileged opcode)";
        case ILL_PRVREG: return "ILL_PRVREG (privileged register)";
        case ILL_COPROC: return "ILL_COPROC (coprocessor error)";
        case ILL_BADSTK: return "ILL_BADSTK (internal stack error)";
        default: break;
        }
    }
    return "";
}

// ------------------------------------------------------ machine context

uintptr_t ContextPc(const void* pContext) {
    if (pContext == nullptr) return 0;
    const auto* uc = static_cast<const ucontext_t*>(pContext);
#if defined(__x86_64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_RIP]);
#elif defined(__i386__)
    return static_cast<uintptr_t>(uc->uc_mcontext.gregs[REG_EIP]);
#elif defined(__aarch64__)
    return static_cast<uintptr_t>(uc->uc_mcontext.pc);
#elif defined(__arm__)
    return static_cast<uintptr_t>(uc->uc_mcontext.arm_pc);
#else
    (void)uc;
    return 0;
#endif
}

void WriteRegisters(CDumpWriter& out, const void* pContext) {
    out.Str("registers:\n");
    if (pContext == nullptr) {
        out.Str("  (no machine context)\n");
        return;
    }
    const auto* uc = static_cast<const ucontext_t*>(pContext);
#if defined(__x86_64__)
    static const char* const kNames[NGREG] = {"r8",  "r9",  "r10", "r11", "r12",    "r13", "r14",    "r15",
                                              "rdi", "rsi", "rbp", "rbx", "rdx",    "rax", "rcx",    "rsp",
                                              "rip", "efl", "csgsfs", "err", "trapno", "oldmask", "cr2"};
    for (int i = 0; i < NGREG; ++i) {
        out.Str("  ").Str(kNames[i]).Str(" ").Hex(static_cast<uint64_t>(uc->uc_mcontext.gregs[i]));
        out.Str((i % 4 == 3 || i == NGREG - 1) ? "\n" : "");
    }
#elif defined(__aarch64__)
    for (int i = 0; i < 31; ++i) {
        out.Str("  x").Dec(i).Str(" ").Hex(uc->uc_mcontext.regs[i]);
        out.Str(i % 4 == 3 ? "\n" : "");
    }
    out.Str("  sp ").Hex(uc->uc_mcontext.sp).Str("  pc ").Hex(uc->uc_mcontext.pc);
    out.Str("  pstate ").Hex(uc->uc_mcontext.pstate).Str("\n");
#else
    // Other processors: only the program counter, when known.
    out.Str("  pc ").Hex(ContextPc(uc)).Str("\n");
#endif
}

void WriteUtcTime(CDumpWriter& out) {
    struct timespec ts {};
    if (clock_gettime(CLOCK_REALTIME, &ts) != 0) {
        out.Str("unknown");
        return;
    }
    out.UtcTime(ts.tv_sec);
}

void WriteThreadName(CDumpWriter& out) {
    int fd = open("/proc/thread-self/comm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char name[32];
    ssize_t n = read(fd, name, sizeof(name));
    close(fd);
    while (n > 0 && (name[n - 1] == '\n' || name[n - 1] == '\0')) --n;
    if (n > 0) out.Str(" (").Bytes(name, static_cast<size_t>(n)).Str(")");
}

// ------------------------------------------------------ the end of the process

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
            void* p = mmap(nullptr, kAltStackSize + g_nPageSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                           -1, 0);
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

void PrepareDumpPath() {
    ssize_t n = readlink("/proc/self/exe", g_szExePath, sizeof(g_szExePath) - 1);
    g_szExePath[n > 0 ? n : 0] = '\0';
    ChooseDumpPaths(g_szExePath, kDumpName, g_szDumpPath, g_szSecondDumpPath, sizeof(g_szDumpPath));
}

// The path the dump went to, or null.
const char* WriteDumpWherePossible(int nSignal, siginfo_t* pInfo, void* pContext) {
    for (const char* szPath : {static_cast<const char*>(g_szDumpPath), static_cast<const char*>(g_szSecondDumpPath)}) {
        if (szPath[0] == '\0') continue;
        MakeDumpDirs(szPath);
        if (WriteCrashDump(szPath, nSignal, pInfo, pContext) >= 0) return szPath;
    }
    return nullptr;
}

int ReadBuildIdOfProgram(struct dl_phdr_info* pInfo, size_t, void*) {
    // The first object listed is the program itself.
    for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = pInfo->dlpi_phdr[i];
        if (ph.p_type != PT_NOTE) continue;
        uintptr_t nAlign = ph.p_align == 8 ? 8 : 4;
        const char* p = reinterpret_cast<const char*>(pInfo->dlpi_addr + ph.p_vaddr);
        const char* pEnd = p + ph.p_memsz;
        while (p + sizeof(ElfW(Nhdr)) <= pEnd) {
            const auto* note = reinterpret_cast<const ElfW(Nhdr)*>(p);
            const char* pName = p + sizeof(ElfW(Nhdr));
            const char* pDesc = pName + ((note->n_namesz + nAlign - 1) & ~(nAlign - 1));
            const char* pNext = pDesc + ((note->n_descsz + nAlign - 1) & ~(nAlign - 1));
            if (pNext > pEnd || pNext <= p) break;
            if (note->n_type == NT_GNU_BUILD_ID && note->n_namesz == 4 && memcmp(pName, "GNU", 4) == 0) {
                size_t nBytes = note->n_descsz;
                if (nBytes > (sizeof(g_szBuildId) - 1) / 2) nBytes = (sizeof(g_szBuildId) - 1) / 2;
                for (size_t k = 0; k < nBytes; ++k) {
                    auto b = static_cast<unsigned char>(pDesc[k]);
                    g_szBuildId[2 * k] = "0123456789abcdef"[b >> 4];
                    g_szBuildId[2 * k + 1] = "0123456789abcdef"[b & 0xF];
                }
                g_szBuildId[2 * nBytes] = '\0';
                return 1;
            }
            p = pNext;
        }
    }
    return 1;
}

void RecordTerminateReason() {
    size_t nLen = 0;
    g_szTerminateReason[0] = '\0';
    constexpr size_t nCap = sizeof(g_szTerminateReason);
    if (const std::type_info* pType = abi::__cxa_current_exception_type()) {
        Append(g_szTerminateReason, nCap, nLen, "uncaught exception of type ");
        int nStatus = 0;
        char* szDemangled = abi::__cxa_demangle(pType->name(), nullptr, nullptr, &nStatus);
        Append(g_szTerminateReason, nCap, nLen, szDemangled != nullptr ? szDemangled : pType->name());
        free(szDemangled);
        try {
            throw;
        } catch (const std::exception& e) {
            const char* szWhat = e.what();
            // Cut a long message rather than drop it.
            Append(g_szTerminateReason, nCap, nLen, ": ");
            size_t nRoom = nCap - 1 - nLen;
            size_t nWhat = StrLen(szWhat);
            if (nWhat > nRoom) nWhat = nRoom;
            memcpy(g_szTerminateReason + nLen, szWhat, nWhat);
            nLen += nWhat;
            g_szTerminateReason[nLen] = '\0';
        } catch (...) {
        }
    } else {
        Append(g_szTerminateReason, nCap, nLen, "std::terminate called without an active exception");
    }
    g_terminateTid = CurrentTid();
}

[[noreturn]] void OnTerminate() noexcept {
    RecordTerminateReason();
    // Through the same path as any other fatal signal, even if someone
    // replaced the SIGABRT handler meanwhile.
    InstallSignalHandlers();
    std::abort();
}

}  // namespace

// ---------------------------------------------------------------- public

int WriteCrashDump(const char* szPath, int nSignal, const siginfo_t* pInfo, const void* pContext) {
    if (szPath == nullptr || szPath[0] == '\0') return -1;
    size_t nPath = StrLen(szPath);
    if (nPath + 5 > sizeof(g_szTempPath)) return -1;
    crash::CollectBacktrace(ContextPc(pContext));

    // Written under a temporary name and renamed, so an earlier dump is only
    // replaced by a complete one.
    memcpy(g_szTempPath, szPath, nPath);
    memcpy(g_szTempPath + nPath, ".tmp", 5);
    int fd;
    do {
        fd = open(g_szTempPath, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;

    bool bFailed;
    {
        CDumpWriter out(fd);
        pid_t nTid = CurrentTid();
        out.Str("Trelvo crash dump\n");
        out.Str("time: ");
        WriteUtcTime(out);
        out.Str("\nprogram: ").Str(g_szExePath);
        out.Str("\nbuild id: ").Str(g_szBuildId[0] != '\0' ? g_szBuildId : "unknown");
        out.Str("\nprocess: ").Dec(getpid());
        out.Str("\nthread: ").Dec(nTid);
        WriteThreadName(out);
        out.Str("\nsignal: ").Dec(nSignal).Str(" ").Str(SignalName(nSignal));
        if (pInfo != nullptr) {
            out.Str("\ncode: ").Dec(pInfo->si_code).Str(" ").Str(CodeName(nSignal, pInfo->si_code));
            if (pInfo->si_code <= 0) {
                out.Str("\nsender: process ").Dec(pInfo->si_pid);
            } else {
                out.Str("\nfault address: ").Hex(reinterpret_cast<uintptr_t>(pInfo->si_addr));
            }
        }
        if (g_terminateTid.load() == nTid) out.Str("\nreason: ").Str(g_szTerminateReason);
        out.Str("\n");
        WriteRegisters(out, pContext);
        crash::WriteBacktrace(out);
        out.Str("memory map:\n");
        CLineReader maps("/proc/self/maps");
        if (maps.Ok()) maps.CopyTo(out);
        out.Str("end of dump\n");
        out.Flush();
        bFailed = out.Failed();
    }
    int nClose = close(fd);
    if (bFailed || nClose != 0 || rename(g_szTempPath, szPath) != 0) {
        unlink(g_szTempPath);
        return -1;
    }
    return nClose;
}

void CrashDumpFilter(int nSignal, siginfo_t* pInfo, void* pContext) {
    pid_t nTid = CurrentTid();
    pid_t nExpected = 0;
    if (!g_crashOwner.compare_exchange_strong(nExpected, nTid)) {
        if (nExpected != nTid) {
            // Another thread is reporting and will end the process; give it
            // time, but do not hang forever if it is stuck.
            for (int i = 0; i < 30; ++i) {
                struct timespec ts {1, 0};
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

const char* GetCrashDumpPath() { return g_szDumpPath; }

bool InstallCrashHandler() {
    std::lock_guard<std::mutex> lock(g_installMutex);
    if (!g_bPrepared) {
        long nPage = sysconf(_SC_PAGESIZE);
        if (nPage > 0) g_nPageSize = static_cast<uintptr_t>(nPage);
        PrepareDumpPath();
        dl_iterate_phdr(ReadBuildIdOfProgram, nullptr);
        crash::PrepareBacktrace();
    }
    bool bStack = t_altStack.Ensure();
    bool bHandlers = InstallSignalHandlers();
    std::set_terminate(OnTerminate);
    g_bPrepared = true;
    crash::LockFatalSignals();
    return bStack && bHandlers;
}

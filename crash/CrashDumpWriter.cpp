#include "CrashDumpWriter.h"

#include "Backtrace.h"
#include "CrashHandler.h"
#include "SignalSafeIo.h"

#include <cxxabi.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <linux/limits.h>
#include <sys/ucontext.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <typeinfo>

namespace {

using crash::CDumpWriter;
using crash::CLineReader;
using crash::CurrentTid;
using crash::StrLen;

char g_szExePath[PATH_MAX];
char g_szTempPath[PATH_MAX + 8];
char g_szBuildId[2 * 64 + 1];

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

const char* SignalName(int nSignal) {
    switch (nSignal) {
        case SIGSEGV:
            return "SIGSEGV";
        case SIGBUS:
            return "SIGBUS";
        case SIGFPE:
            return "SIGFPE";
        case SIGILL:
            return "SIGILL";
        case SIGABRT:
            return "SIGABRT";
        default:
            return "signal";
    }
}

const char* CodeName(int nSignal, int nCode) {
    switch (nCode) {
        case SI_USER:
            return "SI_USER (sent by kill)";
        case SI_KERNEL:
            return "SI_KERNEL";
        case SI_QUEUE:
            return "SI_QUEUE";
        case SI_TKILL:
            return "SI_TKILL (sent by raise, abort or tgkill)";
        default:
            break;
    }
    if (nSignal == SIGSEGV) {
        switch (nCode) {
            case SEGV_MAPERR:
                return "SEGV_MAPERR (address not mapped)";
            case SEGV_ACCERR:
                return "SEGV_ACCERR (no permission for the access)";
            default:
                break;
        }
    } else if (nSignal == SIGBUS) {
        switch (nCode) {
            case BUS_ADRALN:
                return "BUS_ADRALN (misaligned address)";
            case BUS_ADRERR:
                return "BUS_ADRERR (no such physical address)";
            case BUS_OBJERR:
                return "BUS_OBJERR (object error, e.g. a truncated mapped file)";
            default:
                break;
        }
    } else if (nSignal == SIGFPE) {
        switch (nCode) {
            case FPE_INTDIV:
                return "FPE_INTDIV (integer division by zero)";
            case FPE_INTOVF:
                return "FPE_INTOVF (integer overflow)";
            case FPE_FLTDIV:
                return "FPE_FLTDIV";
            case FPE_FLTOVF:
                return "FPE_FLTOVF";
            case FPE_FLTUND:
                return "FPE_FLTUND";
            case FPE_FLTRES:
                return "FPE_FLTRES";
            case FPE_FLTINV:
                return "FPE_FLTINV";
            case FPE_FLTSUB:
                return "FPE_FLTSUB";
            default:
                break;
        }
    } else if (nSignal == SIGILL) {
        switch (nCode) {
            case ILL_ILLOPC:
                return "ILL_ILLOPC (illegal opcode)";
            case ILL_ILLOPN:
                return "ILL_ILLOPN (illegal operand)";
            case ILL_ILLADR:
                return "ILL_ILLADR (illegal addressing mode)";
            case ILL_ILLTRP:
                return "ILL_ILLTRP (illegal trap)";
            case ILL_PRVOPC:
                return "ILL_PRVOPC (privileged opcode)";
            case ILL_PRVREG:
                return "ILL_PRVREG (privileged register)";
            case ILL_COPROC:
                return "ILL_COPROC (coprocessor error)";
            case ILL_BADSTK:
                return "ILL_BADSTK (internal stack error)";
            default:
                break;
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
    static const char* const kNames[NGREG] = {"r8",  "r9",  "r10",    "r11", "r12",    "r13",     "r14", "r15",
                                              "rdi", "rsi", "rbp",    "rbx", "rdx",    "rax",     "rcx", "rsp",
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

}  // namespace

namespace crash {

void PrepareDumpWriter() {
    ssize_t n = readlink("/proc/self/exe", g_szExePath, sizeof(g_szExePath) - 1);
    g_szExePath[n > 0 ? n : 0] = '\0';
    dl_iterate_phdr(ReadBuildIdOfProgram, nullptr);
    PrepareBacktrace();
}

const char* ProgramPath() {
    return g_szExePath;
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

}  // namespace crash

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

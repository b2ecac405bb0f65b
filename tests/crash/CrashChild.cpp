// A small program that crashes on request, for the crash handler tests.
// It prints "tid N" for the thread about to crash on standard output first.
#include "crash/CrashHandler.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

volatile int g_nRecursionLimit = INT_MAX;
volatile int g_nZero = 0;
int* volatile g_pNull = nullptr;

void PrintTid() {
    std::printf("tid %ld\n", static_cast<long>(syscall(SYS_gettid)));
    std::fflush(stdout);
}

}  // namespace

// Outside the anonymous namespace and never inlined, so that the names
// appear as they are in the backtrace.
__attribute__((noinline, no_sanitize("undefined"))) void CrashNullWrite() {
    *g_pNull = 42;
    std::puts("survived a null write");
}

__attribute__((noinline)) void CrashCallAbort() {
    std::abort();
}

__attribute__((noinline)) void CrashThrow() {
    throw std::runtime_error("conversion state lost");
}

__attribute__((noinline)) int CrashRecurse(int nDepth) {
    volatile char buf[512];
    buf[nDepth % sizeof(buf)] = static_cast<char>(nDepth);
    if (nDepth >= g_nRecursionLimit) return buf[0];  // NOLINT: the value does not matter, the stack does
    return CrashRecurse(nDepth + 1) + buf[nDepth % sizeof(buf)];
}

__attribute__((noinline)) void CrashTrap() {
    __builtin_trap();
}

__attribute__((noinline, no_sanitize("undefined"))) int CrashDivide() {
    return 1000 / g_nZero;
}

// Reading a mapped page whose file has been cut short.
__attribute__((noinline)) int CrashBus() {
    char szPath[] = "/tmp/trelvo-crash-bus-XXXXXX";
    int fd = mkstemp(szPath);
    if (fd < 0 || ftruncate(fd, 4096) != 0) return -1;
    unlink(szPath);
    void* p = mmap(nullptr, 4096, PROT_READ, MAP_SHARED, fd, 0);
    if (p == MAP_FAILED || ftruncate(fd, 0) != 0) return -1;
    return *static_cast<volatile char*>(p);
}

int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape): a test child; a throw is a crash to see
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MODE\n", argv[0]);
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "--fatal-error-box") {
        // What the desktop program would show in a window.
        std::printf("box: Fatal Error\n");
        if (argc > 2) std::printf("box dump: %s\n", argv[2]);
        return 0;
    }
    if (mode == "no-install") {
        PrintTid();
        CrashNullWrite();
        return 0;
    }
    if (!InstallCrashHandler() || !InstallCrashHandler()) {  // NOLINT(misc-redundant-expression): twice on purpose
        std::fprintf(stderr, "InstallCrashHandler failed\n");
        return 3;
    }
    if (mode == "installed") {
        std::printf("dump %s\n", GetCrashDumpPath());
        return 0;
    }
    if (mode == "null-worker") {
        std::thread worker([] {
            PrintTid();
            CrashNullWrite();
        });
        worker.join();
    } else if (mode == "abort") {
        PrintTid();
        CrashCallAbort();
    } else if (mode == "throw") {
        PrintTid();
        CrashThrow();
    } else if (mode == "recurse") {
        PrintTid();
        std::printf("depth %d\n", CrashRecurse(0));
    } else if (mode == "worker-recurse") {
        std::thread worker([] {
            InstallCrashHandler();
            PrintTid();
            std::printf("depth %d\n", CrashRecurse(0));
        });
        worker.join();
    } else if (mode == "trap") {
        PrintTid();
        CrashTrap();
    } else if (mode == "divide") {
        PrintTid();
        std::printf("%d\n", CrashDivide());
    } else if (mode == "bus") {
        PrintTid();
        std::printf("%d\n", CrashBus());
    } else if (mode == "throw-other-terminate") {
        // A replaced terminate handler that aborts still ends in the dump.
        std::set_terminate([] { std::abort(); });
        PrintTid();
        CrashThrow();
    } else if (mode == "lock") {
        // Later attempts to take the fatal signals over change nothing.
        auto current = [] {
            struct sigaction now {};
            sigaction(SIGSEGV, nullptr, &now);
            return now.sa_handler == SIG_DFL || now.sa_handler == SIG_IGN ? "taken" : "kept";
        };
        std::signal(SIGSEGV, SIG_DFL);
        std::printf("signal %s\n", current());
        struct sigaction ignore {};
        ignore.sa_handler = SIG_IGN;
        struct sigaction old {};
        int nRc = sigaction(SIGSEGV, &ignore, &old);
        std::printf("sigaction %d %s old %s\n", nRc, current(),
                    old.sa_handler == SIG_IGN || old.sa_handler == SIG_DFL ? "changed" : "handler");
        // Nor from a module loaded later.
        std::string strLib = argv[0];
        strLib = strLib.substr(0, strLib.rfind('/') + 1) + "libtrelvo_crash_foreign.so";
        void* pLib = dlopen(strLib.c_str(), RTLD_NOW);
        auto pTake = pLib != nullptr ? reinterpret_cast<int (*)()>(dlsym(pLib, "ForeignTakeFatalSignals")) : nullptr;
        std::printf("foreign %s\n", pTake == nullptr ? "missing" : pTake() == 0 ? "kept" : "taken");
        // Other signals are not locked.
        std::signal(SIGUSR1, SIG_IGN);
        std::printf("usr1 %s\n", std::signal(SIGUSR1, SIG_DFL) == SIG_IGN ? "changed" : "unchanged");
        PrintTid();
        CrashNullWrite();
    } else if (mode == "box") {
        const char* const command[] = {argv[0], "--fatal-error-box", nullptr};
        SetCrashMessageCommand(command);
        PrintTid();
        CrashNullWrite();
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    return 0;
}

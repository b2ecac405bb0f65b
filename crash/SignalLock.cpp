// These definitions in the executable take precedence over the C library's
// for every module of the process (the link options of trelvo_crash export
// them to modules loaded later with dlopen). Once locked, a request to change
// one of the fatal signals is accepted and ignored: the current action is
// reported as the old one. Queries and all other signals pass through.
// Sanitizer runtimes install their own handlers through raw system calls and
// are not affected. A std::set_terminate replacement cannot be refused
// safely; its handler usually aborts, and the SIGABRT handler still writes
// the dump.
#include "SignalLock.h"

#include <atomic>
#include <cerrno>

extern "C" {
#if defined(__GLIBC__)
// glibc's own entry behind sigaction; calling it directly keeps our handlers
// out of reach of the interposed sigaction below and needs no dlsym.
int __sigaction(int nSignal, const struct sigaction* pAct, struct sigaction* pOld) noexcept;
#endif
}

namespace {

std::atomic<bool> g_bLocked{false};

}  // namespace

namespace crash {

int RealSigaction(int nSignal, const struct sigaction* pAct, struct sigaction* pOld) {
#if defined(__GLIBC__)
    return __sigaction(nSignal, pAct, pOld);
#else
    return ::sigaction(nSignal, pAct, pOld);
#endif
}

void LockFatalSignals() {
    g_bLocked = true;
}

}  // namespace crash

#if defined(__GLIBC__)
namespace {

bool IsFatalSignal(int nSignal) {
    for (int s : crash::kFatalSignals) {
        if (s == nSignal) return true;
    }
    return false;
}

__sighandler_t SetHandler(int nSignal, __sighandler_t pHandler, int nFlags, bool bMaskSelf) {
    if (pHandler == SIG_ERR || nSignal < 1 || nSignal >= NSIG) {
        errno = EINVAL;
        return SIG_ERR;
    }
    struct sigaction act {
    }, old{};
    act.sa_handler = pHandler;
    sigemptyset(&act.sa_mask);
    if (bMaskSelf) sigaddset(&act.sa_mask, nSignal);
    act.sa_flags = nFlags;
    if (sigaction(nSignal, &act, &old) < 0) return SIG_ERR;
    return old.sa_handler;
}

}  // namespace

extern "C" int sigaction(int nSignal, const struct sigaction* pAct, struct sigaction* pOld) noexcept {
    if (pAct != nullptr && g_bLocked.load() && IsFatalSignal(nSignal)) {
        if (pOld != nullptr) return crash::RealSigaction(nSignal, nullptr, pOld);
        return 0;
    }
    return crash::RealSigaction(nSignal, pAct, pOld);
}

extern "C" __sighandler_t signal(int nSignal, __sighandler_t pHandler) noexcept {
    return SetHandler(nSignal, pHandler, SA_RESTART, true);
}

extern "C" __sighandler_t bsd_signal(int nSignal, __sighandler_t pHandler) noexcept {
    return SetHandler(nSignal, pHandler, SA_RESTART, true);
}

extern "C" __sighandler_t sysv_signal(int nSignal, __sighandler_t pHandler) noexcept {
    return SetHandler(nSignal, pHandler, SA_RESETHAND | SA_NODEFER, false);
}
#endif  // __GLIBC__

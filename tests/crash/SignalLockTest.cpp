// The signal lock in this process: the fatal signals keep their actions
// whoever asks, and every other signal is set exactly as the C library would
// set it, since the lock stands in for signal() for the whole process.
#include "crash/SignalLock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <iterator>

// Gone from glibc's headers, still called by old code.
extern "C" __sighandler_t bsd_signal(int nSignal, __sighandler_t pHandler) noexcept;

namespace {

volatile sig_atomic_t g_nCalls = 0;

void Count(int) {
    g_nCalls = g_nCalls + 1;
}

struct sigaction Current(int nSignal) {
    struct sigaction now {};
    EXPECT_EQ(sigaction(nSignal, nullptr, &now), 0);
    return now;
}

}  // namespace

TEST(CrashSignalLock, FatalSignalsKeepTheirActionsWhoeverAsks) {
    // Whatever handles them now (a sanitizer, or the default) stays.
    struct sigaction before[std::size(crash::kFatalSignals)];
    for (size_t i = 0; i < std::size(crash::kFatalSignals); ++i) before[i] = Current(crash::kFatalSignals[i]);
    crash::LockFatalSignals();
    crash::LockFatalSignals();  // twice is harmless
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    for (size_t i = 0; i < std::size(crash::kFatalSignals); ++i) {
        const int s = crash::kFatalSignals[i];
        struct sigaction old {};
        EXPECT_EQ(sigaction(s, &ignore, &old), 0) << s;
        EXPECT_EQ(old.sa_handler, before[i].sa_handler) << s;  // told what stays
        EXPECT_EQ(sigaction(s, &ignore, nullptr), 0) << s;
        EXPECT_EQ(signal(s, SIG_IGN), before[i].sa_handler) << s;
        EXPECT_EQ(bsd_signal(s, SIG_IGN), before[i].sa_handler) << s;
        EXPECT_EQ(sysv_signal(s, SIG_IGN), before[i].sa_handler) << s;
        EXPECT_EQ(Current(s).sa_handler, before[i].sa_handler) << s;
        EXPECT_EQ(Current(s).sa_flags, before[i].sa_flags) << s;
    }
}

TEST(CrashSignalLock, OtherSignalsAreSetAsTheLibraryWould) {
    crash::LockFatalSignals();
    // signal() and bsd_signal(): BSD semantics, restarted calls, the signal
    // blocked while its handler runs; the previous handler comes back.
    ASSERT_NE(signal(SIGUSR1, SIG_DFL), SIG_ERR);
    EXPECT_EQ(signal(SIGUSR1, Count), SIG_DFL);
    struct sigaction now = Current(SIGUSR1);
    EXPECT_EQ(now.sa_handler, Count);
    EXPECT_TRUE(now.sa_flags & SA_RESTART);
    EXPECT_FALSE(now.sa_flags & (SA_RESETHAND | SA_NODEFER));
    EXPECT_EQ(sigismember(&now.sa_mask, SIGUSR1), 1);
    EXPECT_EQ(bsd_signal(SIGUSR1, SIG_IGN), Count);
    EXPECT_EQ(Current(SIGUSR1).sa_handler, SIG_IGN);
    EXPECT_EQ(signal(SIGUSR1, SIG_DFL), SIG_IGN);

    // sysv_signal(): the handler runs once and the action falls back to the
    // default.
    g_nCalls = 0;
    EXPECT_EQ(sysv_signal(SIGUSR2, Count), SIG_DFL);
    now = Current(SIGUSR2);
    EXPECT_TRUE(now.sa_flags & SA_RESETHAND);
    EXPECT_TRUE(now.sa_flags & SA_NODEFER);
    EXPECT_EQ(sigismember(&now.sa_mask, SIGUSR2), 0);
    ASSERT_EQ(raise(SIGUSR2), 0);
    EXPECT_EQ(g_nCalls, 1);
    EXPECT_EQ(Current(SIGUSR2).sa_handler, SIG_DFL);

    // Bad requests fail as the library's do, and change nothing.
    for (int s : {0, -1, NSIG, NSIG + 100}) {
        errno = 0;
        EXPECT_EQ(signal(s, Count), SIG_ERR) << s;
        EXPECT_EQ(errno, EINVAL) << s;
    }
    errno = 0;
    EXPECT_EQ(signal(SIGUSR1, SIG_ERR), SIG_ERR);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(Current(SIGUSR1).sa_handler, SIG_DFL);
    errno = 0;
    EXPECT_EQ(signal(SIGKILL, SIG_IGN), SIG_ERR);
    EXPECT_EQ(errno, EINVAL);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    errno = 0;
    EXPECT_EQ(sigaction(SIGSTOP, &ignore, nullptr), -1);
    EXPECT_EQ(errno, EINVAL);
}

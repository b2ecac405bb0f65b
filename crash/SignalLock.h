// The process-wide lock on the fatal signals' handlers: once locked, a
// request from any code in the process to change how one of them is handled
// is accepted and ignored. docs/signal-lock.md says what it blocks and why.
#pragma once

#include <csignal>

namespace crash {

// The signals the crash handler catches and the lock keeps.
inline constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};

// sigaction past the lock: the crash handler's own changes. Async-signal-safe.
int RealSigaction(int nSignal, const struct sigaction* pAct, struct sigaction* pOld);

// From now on the fatal signals keep their current actions. There is no
// unlock. Without glibc there is no lock, and this does nothing.
void LockFatalSignals();

}  // namespace crash

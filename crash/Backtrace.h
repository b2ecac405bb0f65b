// The crashing thread's stack, and the module list behind it: for each frame
// the loaded file it lies in and that file's load bias, so that addr2line can
// name the function from the dump alone. Kept in static storage.
#pragma once

#include <cstdint>

#include "SignalSafeIo.h"

namespace crash {

// Once, before any crash: the page size, and a first backtrace, since glibc
// loads its unwinder then (with malloc).
void PrepareBacktrace();

// Records the calling thread's stack from nFaultPc, the interrupted
// instruction (0 when unknown: from the caller on), and finds each frame's
// module in /proc/self/maps. Async-signal-safe once prepared.
void CollectBacktrace(uintptr_t nFaultPc);

// The frames recorded last, one line each.
void WriteBacktrace(CDumpWriter& out);

}  // namespace crash

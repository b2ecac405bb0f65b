// The crash dump: a text file about the crashing thread (signal, registers,
// backtrace with modules, memory map), written without allocation from what
// was prepared beforehand. WriteCrashDump itself is declared with the
// handler's public functions in CrashHandler.h.
#pragma once

namespace crash {

// Once, before any crash: the program's path and build id, and the backtrace.
void PrepareDumpWriter();

// The executable's path as read by PrepareDumpWriter; empty before.
const char* ProgramPath();

// For the terminate handler: the uncaught exception's type and message (or
// that there was none), which the dump of this thread then gives as its
// reason.
void RecordTerminateReason();

}  // namespace crash

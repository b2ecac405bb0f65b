// On a fatal signal or an uncaught exception: CrashDumpFile.dmp beside the
// executable, or in $XDG_STATE_HOME/trelvo/ (~/.local/state/trelvo/) when
// that directory cannot be written; "Fatal Error" with the dump's path; the
// end of the process.
#pragma once

#include <csignal>

// Installs the handlers once; true when they are in place. Later calls
// re-assert the handlers. The calling thread also gets an alternate signal
// stack, so a stack overflow on it is caught: the main thread by the first
// call, a worker thread when it calls this at its start.
bool InstallCrashHandler();

// A command started (fork + execve, not waited for) after "Fatal Error" has
// gone to standard error, so that the desktop program can show the message
// in a window; the dump's path follows the given arguments when a dump was
// written. argv ends with a null pointer; argv[0] is a path or a name looked
// up in PATH now. The strings are copied. Null or an empty list clears.
void SetCrashMessageCommand(const char* const argv[]);

// The pieces the handler is built from, exposed for tests.

// The signal handler: writes the dump (trying the second place when the
// first fails), reports "Fatal Error" and where the dump went, starts the
// message command and ends the process with the signal's default action.
void CrashDumpFilter(int nSignal, siginfo_t* pInfo, void* pContext);

// Writes a dump for the calling thread to szPath (replacing an earlier one).
// pInfo and pContext may be null. Async-signal-safe once the handler is
// installed. Returns the result of closing the file, -1 when it could not be
// written.
int WriteCrashDump(const char* szPath, int nSignal, const siginfo_t* pInfo, const void* pContext);

// Where the dump goes first: the executable's directory +
// "CrashDumpFile.dmp" when that directory could be written at installation,
// else the user's state directory; empty before installation.
const char* GetCrashDumpPath();

// The command that shows "Fatal Error" on screen after a crash (set with
// SetCrashMessageCommand): kept ready in static storage, since the handler
// can neither allocate nor search PATH.
#pragma once

namespace crash {

// Starts the command (fork + execve, not waited for) with szDumpPath as one
// more argument when it is not null; nothing when no command is set.
// Async-signal-safe.
void StartMessageCommand(const char* szDumpPath);

}  // namespace crash

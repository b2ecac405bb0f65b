// Where a crash dump may go; chosen when the handler is installed, since the
// handler itself can only use what is ready.
#pragma once

#include <cstddef>

// szFirst: beside the executable when its directory can be written, else in
// the user's state directory. szSecond: the user's state directory when the
// first is beside the executable (it may be read-only by the time of a
// crash), else empty. Each buffer holds nCap bytes; a path that does not fit
// stays empty.
void ChooseDumpPaths(const char* szExePath, const char* szDumpName, char* szFirst, char* szSecond, size_t nCap);

// Makes the missing directories above szPath, private (0700) as the XDG
// rules ask. Async-signal-safe; paths longer than PATH_MAX are left alone.
void MakeDumpDirs(const char* szPath);

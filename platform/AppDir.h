// Where the program lives.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable (/proc/self/exe).
std::wstring GetModuleFileName();

// True when strDir (ending in '/') is an installed program directory, marked
// so by the install: it counts as read-only whatever its permissions, so
// that not even root writes settings or dumps into it.
bool IsInstalledProgramDir(const std::wstring& strDir);

}  // namespace platform

// Directory of the executable, ending in exactly one '/'. Computed on the
// first call (made at start-up before any other thread) and kept.
const std::wstring& GetAppDir();

// Where the program lives.
#pragma once

#include <string>

namespace platform {

// Full path of the running executable (/proc/self/exe).
std::wstring GetModuleFileName();

}  // namespace platform

// Directory of the executable, ending in exactly one '/'. Computed on the
// first call (made at start-up before any other thread) and kept.
const std::wstring& GetAppDir();

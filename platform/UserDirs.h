// The user's own places for what an installed program cannot keep in its
// directory, by the XDG base-directory rules, and the settings files that
// fall back to them.
#pragma once

#include <string>

namespace platform {

// The program's own folders in the user's XDG base directories, ending in
// '/': $XDG_CONFIG_HOME/trelvo/ (else ~/.config/trelvo/) and
// $XDG_STATE_HOME/trelvo/ (else ~/.local/state/trelvo/). A relative variable
// is ignored, as the rules say; empty when no home directory is known.
std::wstring GetUserConfigDir();
std::wstring GetUserStateDir();

// Whether strFile can be written now (replaced through a sibling file): a
// writable regular file, or no file yet, in a writable directory.
bool CanWriteFile(const std::wstring& strFile);
// Makes a directory and its missing parents, new ones private (0700); true
// when the directory is there afterwards.
bool MakeUserDir(const std::wstring& strDir);

// A settings file of the program: strProgramDir + strName while that can be
// written, else the user's copy in GetUserConfigDir(). Until the user's copy
// exists, the one in the program directory (an administrator's defaults) is
// read. Preparing makes the user's folder and begins the user's copy with
// the program directory's file, so its other entries carry over.
std::wstring SettingsFileToWrite(const std::wstring& strProgramDir, const std::wstring& strName);
std::wstring SettingsFileToRead(const std::wstring& strProgramDir, const std::wstring& strName);
std::wstring PrepareSettingsFile(const std::wstring& strProgramDir, const std::wstring& strName);

}  // namespace platform

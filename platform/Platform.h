// Our stand-ins for the operating-system services the program uses: INI
// files, the narrow path encoding, and where the program lives.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// Private-profile reading and writing. Section and key names match without
// regard to case; blanks around keys and values are trimmed; anything missing
// gives the default. Files are UTF-8, a BOM is accepted. Safe to call from
// several threads at once for reading.
int32_t GetProfileInt(const std::wstring& strSection, const std::wstring& strKey, int32_t nDefault,
                      const std::wstring& strFile);
// The value cut to nBufferChars - 1 characters (nothing for a size of 0).
std::wstring GetProfileString(const std::wstring& strSection, const std::wstring& strKey,
                              const std::wstring& strDefault, size_t nBufferChars,
                              const std::wstring& strFile);
// Replaces or adds exactly one entry; every other line stays byte for byte.
bool WriteProfileString(const std::wstring& strSection, const std::wstring& strKey,
                        const std::wstring& strValue, const std::wstring& strFile);

// Wide path to the narrow encoding the C library expects (UTF-8), and back.
// File names are bytes: a byte that is not part of valid UTF-8 comes in as
// the lone surrogate U+DC80..U+DCFF and goes out as that byte again, so every
// byte string survives NarrowToWide and WideToNarrow unchanged. Other code
// points without a UTF-8 form (other surrogates, past U+10FFFF) become '?'.
std::string WideToNarrow(const std::wstring& strWide);
std::wstring NarrowToWide(const std::string& strNarrow);
// Text to show a person: every surrogate, such as a stand-in for a byte,
// becomes U+FFFD. Never for a name that is to be opened.
std::wstring DisplayText(const std::wstring& strText);

// Full path of the running executable (/proc/self/exe).
std::wstring GetModuleFileName();

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

// Directory of the executable, ending in exactly one '/'. Computed on the
// first call (made at start-up before any other thread) and kept.
const std::wstring& GetAppDir();

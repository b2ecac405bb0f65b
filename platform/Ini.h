// INI files, with the contract of the private-profile functions.
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
                              const std::wstring& strDefault, size_t nBufferChars, const std::wstring& strFile);
// Replaces or adds exactly one entry; every other line stays byte for byte.
bool WriteProfileString(const std::wstring& strSection, const std::wstring& strKey, const std::wstring& strValue,
                        const std::wstring& strFile);

}  // namespace platform

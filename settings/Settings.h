// The save-path entries of Config.ini and the creation of the save directory.
#pragma once

#include <cstdint>
#include <string>

namespace settings {

// The Config.ini that is read: GetAppDir() + "Config.ini" while the program
// directory can be written, else the user's (~/.config/trelvo/Config.ini)
// once it exists. Chosen anew on every call.
std::wstring ConfigPath();
// Where settings are saved, by the same rule.
std::wstring ConfigSavePath();

// [System] Check (default 1) and Path (default empty, at most 299 characters).
int32_t ReadCheck();
std::wstring ReadPath();
// Writes Check as "1"/"0" and Path as given to ConfigSavePath(); false when
// either could not be written.
bool WriteSettings(bool bCheck, const std::wstring& strPath);

// Where outputs go: the source directory when Check is not 0, else Path.
std::wstring SaveDirFromConfig(const std::wstring& strSourceDir);

// Browse button and path field are enabled only when the default box is clear.
inline bool CustomPathEnabled(bool bDefaultChecked) {
    return !bDefaultChecked;
}

}  // namespace settings

// Creates every missing level of strPath, splitting on '/' only. Always 0.
int CreateSavePath(const std::string& strPath);

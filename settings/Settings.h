// The save-path entries of Config.ini and the creation of the save directory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

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

// [System] Format: the output format last chosen in the main window, "MP4"
// or "AVI" (the default, also for anything else).
bool ReadMp4Chosen();
bool WriteMp4Chosen(bool bMp4);

// [Window] Geometry: the main window's size and position as the toolkit
// saves them, in hexadecimal; empty when none was saved.
std::string ReadWindowGeometry();
bool WriteWindowGeometry(const std::string& strHex);

// Why a folder cannot take outputs.
enum class EFolderProblem {
    None,
    Empty,         // no folder was named
    Missing,       // it does not exist (and could not be made)
    NotFolder,     // something else has that name
    NoPermission,  // the user may not create files in it
    ReadOnly,      // it lies on a read-only file system
    Other,         // the system's message says why
};
// Tries to create (and removes) a file in strPath; nErrno is the system's
// error number when the answer is Other.
EFolderProblem CheckFolderWritable(const std::string& strPath, int& nErrno);
// The language key that says the problem in a few words ("" for None/Other).
const wchar_t* FolderProblemKey(EFolderProblem problem);

// Browse button and path field are enabled only when the default box is clear.
inline bool CustomPathEnabled(bool bDefaultChecked) {
    return !bDefaultChecked;
}

}  // namespace settings

// Creates every missing level of strPath, splitting on '/' only. Always 0.
int CreateSavePath(const std::string& strPath);
// The same; returns the levels it made, parents first.
std::vector<std::string> CreateSaveLevels(const std::string& strPath);
// Removes levels CreateSaveLevels made, as long as they are empty.
void RemoveSaveLevels(const std::vector<std::string>& levels);

#include "Settings.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

#include "platform/Platform.h"

namespace settings {

namespace {
constexpr size_t kPathChars = 300;
constexpr wchar_t kConfigName[] = L"Config.ini";
}  // namespace

std::wstring ConfigPath() {
    return platform::SettingsFileToRead(GetAppDir(), kConfigName);
}

std::wstring ConfigSavePath() {
    return platform::SettingsFileToWrite(GetAppDir(), kConfigName);
}

int32_t ReadCheck() {
    return platform::GetProfileInt(L"System", L"Check", 1, ConfigPath());
}

std::wstring ReadPath() {
    return platform::GetProfileString(L"System", L"Path", L"", kPathChars, ConfigPath());
}

bool WriteSettings(bool bCheck, const std::wstring& strPath) {
    const std::wstring strConfig = platform::PrepareSettingsFile(GetAppDir(), kConfigName);
    const bool bCheckSaved = platform::WriteProfileString(L"System", L"Check", bCheck ? L"1" : L"0", strConfig);
    return platform::WriteProfileString(L"System", L"Path", strPath, strConfig) && bCheckSaved;
}

bool ReadMp4Chosen() {
    return platform::GetProfileString(L"System", L"Format", L"AVI", kPathChars, ConfigPath()) == L"MP4";
}

bool WriteMp4Chosen(bool bMp4) {
    const std::wstring strConfig = platform::PrepareSettingsFile(GetAppDir(), kConfigName);
    return platform::WriteProfileString(L"System", L"Format", bMp4 ? L"MP4" : L"AVI", strConfig);
}

std::string ReadWindowGeometry() {
    return platform::WideToNarrow(platform::GetProfileString(L"Window", L"Geometry", L"", kPathChars, ConfigPath()));
}

bool WriteWindowGeometry(const std::string& strHex) {
    const std::wstring strConfig = platform::PrepareSettingsFile(GetAppDir(), kConfigName);
    return platform::WriteProfileString(L"Window", L"Geometry", platform::NarrowToWide(strHex), strConfig);
}

EFolderProblem CheckFolderWritable(const std::string& strPath, int& nErrno) {
    nErrno = 0;
    if (strPath.empty()) return EFolderProblem::Empty;
    struct stat st {};
    if (::stat(strPath.c_str(), &st) != 0) {
        nErrno = errno;
        return errno == ENOENT ? EFolderProblem::Missing : EFolderProblem::Other;
    }
    if (!S_ISDIR(st.st_mode)) return EFolderProblem::NotFolder;
    // Permission bits do not tell everything (ACLs, read-only mounts, /proc):
    // only a file actually made there does.
    std::string strProbe = strPath + (strPath.back() == '/' ? "" : "/") + ".trelvo-probe-XXXXXX";
    const int fd = ::mkstemp(strProbe.data());
    if (fd < 0) {
        nErrno = errno;
        switch (nErrno) {
            case EACCES:
            case EPERM:
                return EFolderProblem::NoPermission;
            case EROFS:
                return EFolderProblem::ReadOnly;
            case ENOENT:
                return EFolderProblem::Missing;
            default:
                return EFolderProblem::Other;
        }
    }
    ::close(fd);
    ::unlink(strProbe.c_str());
    return EFolderProblem::None;
}

const wchar_t* FolderProblemKey(EFolderProblem problem) {
    switch (problem) {
        case EFolderProblem::Empty:
            return L"Trelvo.FolderEmpty";
        case EFolderProblem::Missing:
            return L"Trelvo.FolderMissing";
        case EFolderProblem::NotFolder:
            return L"Trelvo.FolderNotFolder";
        case EFolderProblem::NoPermission:
            return L"Trelvo.FolderNoPermission";
        case EFolderProblem::ReadOnly:
            return L"Trelvo.FolderReadOnly";
        case EFolderProblem::None:
        case EFolderProblem::Other:
            break;
    }
    return L"";
}

std::wstring SaveDirFromConfig(const std::wstring& strSourceDir) {
    return ReadCheck() != 0 ? strSourceDir : ReadPath();
}

}  // namespace settings

std::vector<std::string> CreateSaveLevels(const std::string& strPath) {
    // The path arrives as a C string: anything after a NUL is not part of it.
    std::string strCopy(strPath.c_str());
    std::vector<std::string> made;
    if (strCopy.empty()) return made;
    if (strCopy.back() != '/') strCopy += '/';

    std::vector<std::string> prefixes;
    std::string strPrefix;
    for (char c : strCopy) {
        if (c == '/') {
            // The root of an absolute path gives an empty prefix: nothing to make.
            if (!strPrefix.empty()) prefixes.push_back(strPrefix);
            strPrefix += '/';
        } else {
            strPrefix += c;
        }
    }
    for (const std::string& strLevel : prefixes) {
        struct stat st {};
        // Anything of that name, a file or a dangling link too, is left alone.
        if (::lstat(strLevel.c_str(), &st) != 0 && ::mkdir(strLevel.c_str(), 0777) == 0) made.push_back(strLevel);
    }
    return made;
}

void RemoveSaveLevels(const std::vector<std::string>& levels) {
    // Deepest first; a level that something was put in meanwhile stays.
    for (auto it = levels.rbegin(); it != levels.rend(); ++it) ::rmdir(it->c_str());
}

int CreateSavePath(const std::string& strPath) {
    CreateSaveLevels(strPath);
    return 0;
}

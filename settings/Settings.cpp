#include "Settings.h"

#include <sys/stat.h>

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

std::wstring SaveDirFromConfig(const std::wstring& strSourceDir) {
    return ReadCheck() != 0 ? strSourceDir : ReadPath();
}

}  // namespace settings

int CreateSavePath(const std::string& strPath) {
    // The path arrives as a C string: anything after a NUL is not part of it.
    std::string strCopy(strPath.c_str());
    if (strCopy.empty()) return 0;
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
        if (::lstat(strLevel.c_str(), &st) != 0) ::mkdir(strLevel.c_str(), 0777);
    }
    return 0;
}

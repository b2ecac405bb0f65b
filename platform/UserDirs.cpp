// Per-user places for what an installed program cannot keep in its own
// directory, by the XDG base-directory rules.
#include "Platform.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace platform {

namespace {

constexpr char kProgramFolder[] = "trelvo/";

std::string HomeDir() {
    const char* pszHome = std::getenv("HOME");
    if (pszHome != nullptr && pszHome[0] == '/') return pszHome;
    std::vector<char> buf(16384);
    struct passwd pw {};
    struct passwd* pResult = nullptr;
    if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &pResult) == 0 && pResult != nullptr &&
        pw.pw_dir != nullptr && pw.pw_dir[0] == '/')
        return pw.pw_dir;
    return {};
}

// $VARIABLE, or the home directory + fallback; relative values do not
// count. Ends in the program's own folder.
std::wstring UserDir(const char* pszVariable, const char* pszFallback) {
    std::string strBase;
    const char* pszValue = std::getenv(pszVariable);
    if (pszValue != nullptr && pszValue[0] == '/') {
        strBase = pszValue;
    } else {
        strBase = HomeDir();
        if (strBase.empty()) return {};
        if (strBase.back() != '/') strBase += '/';
        strBase += pszFallback;
    }
    if (strBase.back() != '/') strBase += '/';
    return NarrowToWide(strBase + kProgramFolder);
}

std::string DirectoryOf(const std::string& strFile) {
    const size_t slash = strFile.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : strFile.substr(0, slash);
}

bool Exists(const std::string& strPath) {
    struct stat st {};
    return ::lstat(strPath.c_str(), &st) == 0;
}

bool CopyFileBytes(const std::string& strFrom, const std::string& strTo) {
    std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(strFrom.c_str(), "rb"), &std::fclose);
    if (!in) return false;
    std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(strTo.c_str(), "wbx"), &std::fclose);
    if (!out) return false;
    char buf[8192];
    size_t n = 0;
    bool ok = true;
    while (ok && (n = std::fread(buf, 1, sizeof buf, in.get())) > 0) ok = std::fwrite(buf, 1, n, out.get()) == n;
    ok = ok && !std::ferror(in.get());
    ok = std::fclose(out.release()) == 0 && ok;
    if (!ok) ::unlink(strTo.c_str());
    return ok;
}

}  // namespace

std::wstring GetUserConfigDir() {
    return UserDir("XDG_CONFIG_HOME", ".config");
}

std::wstring GetUserStateDir() {
    return UserDir("XDG_STATE_HOME", ".local/state");
}

bool CanWriteFile(const std::wstring& strFile) {
    std::string strPath = WideToNarrow(strFile);
    struct stat st {};
    if (::stat(strPath.c_str(), &st) == 0) {
        if (!S_ISREG(st.st_mode) || ::access(strPath.c_str(), W_OK) != 0) return false;
        // Files are replaced through a sibling, wherever a link points.
        std::unique_ptr<char, void (*)(void*)> real(::realpath(strPath.c_str(), nullptr), &std::free);
        if (real) strPath = real.get();
    } else if (errno != ENOENT || Exists(strPath)) {
        return false;  // a dangling link or a path that cannot be looked at
    }
    return ::access(DirectoryOf(strPath).c_str(), W_OK | X_OK) == 0;
}

bool MakeUserDir(const std::wstring& strDir) {
    const std::string strPath = WideToNarrow(strDir);
    for (size_t pos = strPath.find('/', 1); pos != std::string::npos; pos = strPath.find('/', pos + 1))
        ::mkdir(strPath.substr(0, pos).c_str(), 0700);
    ::mkdir(strPath.c_str(), 0700);
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::wstring SettingsFileToWrite(const std::wstring& strProgramDir, const std::wstring& strName) {
    std::wstring strBeside = strProgramDir + strName;
    if (!IsInstalledProgramDir(strProgramDir) && CanWriteFile(strBeside)) return strBeside;
    const std::wstring strUserDir = GetUserConfigDir();
    return strUserDir.empty() ? strBeside : strUserDir + strName;
}

std::wstring SettingsFileToRead(const std::wstring& strProgramDir, const std::wstring& strName) {
    std::wstring strFile = SettingsFileToWrite(strProgramDir, strName);
    if (Exists(WideToNarrow(strFile))) return strFile;
    return strProgramDir + strName;
}

std::wstring PrepareSettingsFile(const std::wstring& strProgramDir, const std::wstring& strName) {
    std::wstring strFile = SettingsFileToWrite(strProgramDir, strName);
    const std::wstring strBeside = strProgramDir + strName;
    if (strFile == strBeside) return strFile;
    const std::string strNarrow = WideToNarrow(strFile);
    if (!Exists(strNarrow) && MakeUserDir(strFile.substr(0, strFile.rfind(L'/') + 1)))
        CopyFileBytes(WideToNarrow(strBeside), strNarrow);
    return strFile;
}

}  // namespace platform

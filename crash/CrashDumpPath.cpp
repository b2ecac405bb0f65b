#include "CrashDumpPath.h"

#include <linux/limits.h>
#include <sys/stat.h>

#include <cstring>
#include <string>

#include "platform/AppDir.h"
#include "platform/Encoding.h"
#include "platform/UserDirs.h"

namespace {

char g_szDirBuf[PATH_MAX];

void CopyIfFits(const std::string& strPath, char* szOut, size_t nCap) {
    szOut[0] = '\0';
    if (!strPath.empty() && strPath.size() < nCap) memcpy(szOut, strPath.c_str(), strPath.size() + 1);
}

}  // namespace

void ChooseDumpPaths(const char* szExePath, const char* szDumpName, char* szFirst, char* szSecond, size_t nCap) {
    const std::string strExe = szExePath;
    const size_t nSlash = strExe.rfind('/');
    std::string strBeside;
    if (nSlash != std::string::npos) strBeside = strExe.substr(0, nSlash + 1) + szDumpName;
    const std::wstring strStateDir = platform::GetUserStateDir();
    std::string strState;
    if (!strStateDir.empty()) strState = platform::WideToNarrow(strStateDir) + szDumpName;

    if (!strBeside.empty() && !platform::IsInstalledProgramDir(platform::NarrowToWide(strExe.substr(0, nSlash + 1))) &&
        platform::CanWriteFile(platform::NarrowToWide(strBeside))) {
        CopyIfFits(strBeside, szFirst, nCap);
        CopyIfFits(strState, szSecond, nCap);
    } else {
        CopyIfFits(strState, szFirst, nCap);
        szSecond[0] = '\0';
    }
}

void MakeDumpDirs(const char* szPath) {
    size_t n = 0;
    while (szPath[n] != '\0') ++n;
    if (n >= sizeof(g_szDirBuf)) return;
    memcpy(g_szDirBuf, szPath, n + 1);
    for (size_t i = 1; i < n; ++i) {
        if (g_szDirBuf[i] != '/') continue;
        g_szDirBuf[i] = '\0';
        mkdir(g_szDirBuf, 0700);  // an existing level just fails
        g_szDirBuf[i] = '/';
    }
}

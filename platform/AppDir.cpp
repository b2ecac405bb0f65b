#include "AppDir.h"

#include <unistd.h>

#include <climits>
#include <vector>

#include "Encoding.h"

namespace platform {

std::wstring GetModuleFileName() {
    std::vector<char> buf(PATH_MAX);
    for (;;) {
        ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
        if (n < 0) return {};
        if (static_cast<size_t>(n) < buf.size()) return NarrowToWide(std::string(buf.data(), static_cast<size_t>(n)));
        buf.resize(buf.size() * 2);
    }
}

bool IsInstalledProgramDir(const std::wstring& strDir) {
    return ::access(WideToNarrow(strDir + L"installed").c_str(), F_OK) == 0;
}

}  // namespace platform

namespace {

std::wstring ComputeAppDir() {
    std::wstring strPath = platform::GetModuleFileName();
    const size_t slash = strPath.rfind(L'/');
    // Without a path of our own, the current directory is the best guess.
    if (slash == std::wstring::npos) return L"./";
    strPath.resize(slash + 1);
    return strPath;
}

}  // namespace

const std::wstring& GetAppDir() {
    static const std::wstring strAppDir = ComputeAppDir();
    return strAppDir;
}

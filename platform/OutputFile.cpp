#include "platform/OutputFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

namespace platform {

namespace {

constexpr const char* kTag = ".trelvo-";
// Room left in a 255-byte name for the dot, tag, process id, random part and
// suffix, so that a long final name still gets a temporary.
constexpr size_t kMaxKeptNameBytes = 200;
constexpr int kCreateAttempts = 16;

struct SDirCloser {
    void operator()(DIR* p) const { ::closedir(p); }
};

std::string SystemText(int nErrno) {
    return std::strerror(nErrno);
}

void SplitPath(const std::string& strPath, std::string& strDir, std::string& strName) {
    // Assigned by length, not from string literals: GCC 12 warns falsely of
    // an overlap in the inlined literal assignment.
    const size_t nSlash = strPath.rfind('/');
    if (nSlash == std::string::npos) {
        strDir.assign(1, '.');
        strName = strPath;
    } else {
        strDir.assign(strPath, 0, nSlash == 0 ? 1 : nSlash);
        strName.assign(strPath, nSlash + 1, std::string::npos);
    }
}

std::string NamePrefix(const std::string& strName) {
    std::string strPrefix(1, '.');
    strPrefix.append(strName, 0, kMaxKeptNameBytes);
    return strPrefix.append(kTag);
}

// The final name's extension, so that whatever picks a format by the name
// (the muxers do) sees the right one; ".part" for a name without one.
std::string Suffix(const std::string& strName) {
    const size_t nDot = strName.rfind('.');
    if (nDot == std::string::npos || nDot == 0 || strName.size() - nDot > 16) return ".part";
    return strName.substr(nDot);
}

std::string Join(const std::string& strDir, const std::string& strName) {
    std::string strPath = strDir;
    if (strPath != "/") strPath += '/';
    return strPath.append(strName);
}

// The process id written after the prefix, or 0 when the rest is not
// "<pid>-<hex><suffix>".
pid_t OwnerOf(const std::string& strRest, const std::string& strSuffix) {
    const size_t nDash = strRest.find('-');
    if (nDash == std::string::npos || nDash == 0 || nDash > 10) return 0;
    if (strRest.size() < strSuffix.size() ||
        strRest.compare(strRest.size() - strSuffix.size(), std::string::npos, strSuffix) != 0)
        return 0;
    long long nPid = 0;
    for (size_t i = 0; i < nDash; ++i) {
        if (strRest[i] < '0' || strRest[i] > '9') return 0;
        nPid = nPid * 10 + (strRest[i] - '0');
    }
    return nPid > 0 && nPid <= INT32_MAX ? static_cast<pid_t>(nPid) : 0;
}

void SyncDirectory(const std::string& strDir) {
    const int fd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

std::string Name(const std::string& strPath) {
    std::string strDir, strName;
    SplitPath(strPath, strDir, strName);
    return strName;
}

}  // namespace

EOutputName ExamineOutputName(const std::string& strPath, std::string& strWhat) {
    struct stat st {};
    // stat, not lstat: a link counts as what it leads to.
    if (::stat(strPath.c_str(), &st) != 0) {
        strWhat.clear();
        return EOutputName::Free;
    }
    if (S_ISREG(st.st_mode)) {
        strWhat = "a regular file";
        return EOutputName::Regular;
    }
    if (S_ISFIFO(st.st_mode) || S_ISCHR(st.st_mode)) {
        strWhat = S_ISFIFO(st.st_mode) ? "a FIFO" : "a character device";
        return EOutputName::Stream;
    }
    strWhat = S_ISDIR(st.st_mode)    ? "a directory"
              : S_ISBLK(st.st_mode)  ? "a block device"
              : S_ISSOCK(st.st_mode) ? "a socket"
                                     : "not a regular file";
    return EOutputName::Other;
}

bool MayReplaceOutput(const std::string& strPath, std::string& strError) {
    std::string strWhat;
    const EOutputName name = ExamineOutputName(strPath, strWhat);
    if (name == EOutputName::Free || name == EOutputName::Regular) return true;
    strError = strPath + " is " + strWhat + ", not a regular file; it is left as it is";
    return false;
}

std::string TemporaryPrefix(const std::string& strFinalPath) {
    std::string strDir, strName;
    SplitPath(strFinalPath, strDir, strName);
    return Join(strDir, NamePrefix(strName));
}

void RemoveStaleTemporaries(const std::string& strFinalPath) {
    std::string strDir, strName;
    SplitPath(strFinalPath, strDir, strName);
    const std::string strPrefix = NamePrefix(strName);
    std::unique_ptr<DIR, SDirCloser> pDir(::opendir(strDir.c_str()));
    if (!pDir) return;
    while (const dirent* pEntry = ::readdir(pDir.get())) {
        const std::string strEntry = pEntry->d_name;
        if (strEntry.compare(0, strPrefix.size(), strPrefix) != 0) continue;
        const pid_t pid = OwnerOf(strEntry.substr(strPrefix.size()), Suffix(strName));
        // Another conversion of this process, or one still running elsewhere,
        // may be writing it.
        if (pid == 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH) ::unlink(Join(strDir, strEntry).c_str());
    }
}

std::string PartName(const std::string& strFinalPath, int n) {
    std::string strDir, strName;
    SplitPath(strFinalPath, strDir, strName);
    const size_t nDot = strName.rfind('.');
    const bool bExt = nDot != std::string::npos && nDot > 0;
    std::string strPart = bExt ? strName.substr(0, nDot) : strName;
    strPart += n <= 1 ? ".part" : ".part-" + std::to_string(n);
    if (bExt) strPart += strName.substr(nDot);
    return Join(strDir, strPart);
}

COutputFile::COutputFile(std::string strFinalPath)
    : m_strRequested(strFinalPath), m_strFinal(std::move(strFinalPath)) {}

COutputFile::~COutputFile() {
    Discard();
}

bool COutputFile::Create(std::string& strError) {
    Discard();
    if (!MayReplaceOutput(m_strFinal, strError)) return false;
    RemoveStaleTemporaries(m_strFinal);
    std::string strPrefix = TemporaryPrefix(m_strFinal);
    strPrefix.append(std::to_string(::getpid())).append(1, '-');
    std::random_device rd;
    for (int i = 0; i < kCreateAttempts; ++i) {
        char szRandom[16];
        std::snprintf(szRandom, sizeof szRandom, "%08x", static_cast<unsigned>(rd()));
        const std::string strTemp = strPrefix + szRandom + Suffix(Name(m_strFinal));
        const int fd = ::open(strTemp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd >= 0) {
            ::close(fd);
            m_strTemp = strTemp;
            m_bCommitted = false;
            return true;
        }
        if (errno != EEXIST) {
            strError = SystemText(errno);
            return false;
        }
    }
    strError = SystemText(EEXIST);
    return false;
}

bool COutputFile::Sync(std::string& strError) {
    if (m_strTemp.empty() || m_bCommitted) {
        strError = SystemText(ENOENT);
        return false;
    }
    // The data must be on disk before the name points at it, or a power cut
    // could leave an empty file where a good one stood.
    const int fd = ::open(m_strTemp.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        strError = SystemText(errno);
        return false;
    }
    const bool bSynced = ::fsync(fd) == 0;
    const int nSyncErrno = errno;
    ::close(fd);
    if (!bSynced) {
        strError = SystemText(nSyncErrno);
        return false;
    }
    return true;
}

bool COutputFile::Commit(std::string& strError) {
    if (!Sync(strError)) return false;
    // Something may have taken the name while the output was written.
    if (!MayReplaceOutput(m_strFinal, strError)) return false;
    if (::rename(m_strTemp.c_str(), m_strFinal.c_str()) != 0) {
        strError = SystemText(errno);
        return false;
    }
    m_bCommitted = true;
    std::string strDir, strName;
    SplitPath(m_strFinal, strDir, strName);
    SyncDirectory(strDir);
    return true;
}

bool COutputFile::CommitBeside(std::string& strError) {
    if (!Sync(strError)) return false;
    constexpr int kNames = 100;
    for (int n = 0; n <= kNames; ++n) {
        const std::string strName = n == 0 ? m_strRequested : PartName(m_strRequested, n);
        // No replacing: whatever takes the name first keeps it.
        bool bMoved = ::renameat2(AT_FDCWD, m_strTemp.c_str(), AT_FDCWD, strName.c_str(), RENAME_NOREPLACE) == 0;
        // A file system without it: a hard link is made only where no name is.
        if (!bMoved && errno == EINVAL && ::link(m_strTemp.c_str(), strName.c_str()) == 0) {
            ::unlink(m_strTemp.c_str());
            bMoved = true;
        }
        if (bMoved) {
            m_strFinal = strName;
            m_bCommitted = true;
            std::string strDir, strBase;
            SplitPath(m_strFinal, strDir, strBase);
            SyncDirectory(strDir);
            return true;
        }
        if (errno != EEXIST) {
            strError = SystemText(errno);
            return false;
        }
    }
    strError = SystemText(EEXIST);
    return false;
}

void COutputFile::Discard() {
    if (!m_strTemp.empty() && !m_bCommitted) ::unlink(m_strTemp.c_str());
    m_strTemp.clear();
}

}  // namespace platform

#include "libs/feed/LiveInput.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace feed {

namespace {
// How often a reader with nothing to read looks at a stop request again.
constexpr int kPollMs = 100;
}  // namespace

CPipeReader::CPipeReader(int fd, StopFn stop) : m_fd(fd), m_stop(std::move(stop)) {}

size_t CPipeReader::Read(uint8_t* pBuffer, size_t nLen) {
    while (m_nErrno == 0) {
        if (m_stop && m_stop()) return 0;
        pollfd pfd{m_fd, POLLIN, 0};
        const int nReady = ::poll(&pfd, 1, kPollMs);
        if (nReady < 0 && errno != EINTR) {
            m_nErrno = errno;
            break;
        }
        if (nReady <= 0) continue;
        const ssize_t n = ::read(m_fd, pBuffer, nLen);
        if (n > 0) {
            m_nRead += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (n == 0) return 0;
        if (errno != EINTR && errno != EAGAIN) m_nErrno = errno;
    }
    return 0;
}

std::string CPipeReader::ErrorText() const {
    return std::strerror(m_nErrno != 0 ? m_nErrno : EIO);
}

CFollowReader::CFollowReader(std::string strPath, int fd, dev_t dev, ino_t ino, std::chrono::milliseconds idle,
                             StopFn stop)
    : m_strPath(std::move(strPath)),
      m_fd(fd),
      m_dev(dev),
      m_ino(ino),
      m_idle(idle),
      m_stop(std::move(stop)),
      m_lastGrowth(std::chrono::steady_clock::now()) {}

std::unique_ptr<CFollowReader> CFollowReader::Open(const std::string& strPath, std::chrono::milliseconds idle,
                                                   StopFn stop, EOpenError& error, std::string& strError) {
    const int fd = ::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = EOpenError::Open;
        strError = std::strerror(errno);
        return nullptr;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        error = EOpenError::NotRegularFile;
        return nullptr;
    }
    error = EOpenError::None;
    return std::unique_ptr<CFollowReader>(new CFollowReader(strPath, fd, st.st_dev, st.st_ino, idle, std::move(stop)));
}

CFollowReader::~CFollowReader() {
    ::close(m_fd);
}

EFollowEnd CFollowReader::Check() const {
    struct stat own {};
    if (::fstat(m_fd, &own) == 0 && static_cast<uint64_t>(own.st_size) < m_nRead) return EFollowEnd::Truncated;
    struct stat named {};
    // Rotated away or deleted: what is read from here on is not this
    // recording's continuation.
    if (::stat(m_strPath.c_str(), &named) != 0 || named.st_dev != m_dev || named.st_ino != m_ino)
        return EFollowEnd::Replaced;
    if (m_stop && m_stop()) return EFollowEnd::Stopped;
    if (std::chrono::steady_clock::now() - m_lastGrowth >= m_idle) return EFollowEnd::Idle;
    return EFollowEnd::None;
}

size_t CFollowReader::Read(uint8_t* pBuffer, size_t nLen) {
    while (m_end == EFollowEnd::None) {
        // A stop ends the input even while it still grows.
        if (m_stop && m_stop()) {
            m_end = EFollowEnd::Stopped;
            break;
        }
        const ssize_t n = ::read(m_fd, pBuffer, nLen);
        if (n > 0) {
            m_nRead += static_cast<uint64_t>(n);
            m_lastGrowth = std::chrono::steady_clock::now();
            return static_cast<size_t>(n);
        }
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            m_nErrno = errno;
            m_end = EFollowEnd::ReadError;
            break;
        }
        m_end = Check();
        if (m_end == EFollowEnd::None) std::this_thread::sleep_for(std::chrono::milliseconds(kPollMs));
    }
    return 0;
}

std::string CFollowReader::ErrorText() const {
    return std::strerror(m_nErrno != 0 ? m_nErrno : EIO);
}

}  // namespace feed

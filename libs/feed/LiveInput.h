// Inputs that are still arriving: a pipe read as it comes, and a recording
// read while its recorder is still writing it. Both end as a finished file
// does (the parser hands out what it holds), also when a stop is asked for,
// so that every picture so far reaches the output.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "libs/feed/Feed.h"

namespace feed {

using StopFn = std::function<bool()>;

// A descriptor that cannot seek (standard input), read until its end. The
// descriptor is not closed.
class CPipeReader final : public IInputReader {
public:
    CPipeReader(int fd, StopFn stop);
    // What has come so far: the whole input is never known.
    uint64_t Size() const override { return m_nRead; }
    size_t Read(uint8_t* pBuffer, size_t nLen) override;
    bool Failed() const override { return m_nErrno != 0; }
    std::string ErrorText() const override;

private:
    int m_fd;
    StopFn m_stop;
    uint64_t m_nRead = 0;
    int m_nErrno = 0;
};

// How a followed recording ended.
enum class EFollowEnd { None, Idle, Stopped, Truncated, Replaced, ReadError };

// A regular file read as it grows. It ends once it has not grown for the idle
// time, or at a stop. A file cut shorter, or another file put at its name,
// ends it too: Failed() stays false, so that what came before is kept, and
// End() says why.
class CFollowReader final : public IInputReader {
public:
    static std::unique_ptr<CFollowReader> Open(const std::string& strPath, std::chrono::milliseconds idle, StopFn stop,
                                               EOpenError& error, std::string& strError);
    ~CFollowReader() override;
    CFollowReader(const CFollowReader&) = delete;
    CFollowReader& operator=(const CFollowReader&) = delete;

    uint64_t Size() const override { return m_nRead; }
    size_t Read(uint8_t* pBuffer, size_t nLen) override;
    bool Failed() const override { return false; }
    EFollowEnd End() const { return m_end; }
    // The system's message when the end was a read error.
    std::string ErrorText() const override;

private:
    CFollowReader(std::string strPath, int fd, dev_t dev, ino_t ino, std::chrono::milliseconds idle, StopFn stop);
    // Why a read that found nothing new should end the input, or None.
    EFollowEnd Check() const;

    std::string m_strPath;
    int m_fd;
    dev_t m_dev;
    ino_t m_ino;
    std::chrono::milliseconds m_idle;
    StopFn m_stop;
    uint64_t m_nRead = 0;
    std::chrono::steady_clock::time_point m_lastGrowth;
    EFollowEnd m_end = EFollowEnd::None;
    int m_nErrno = 0;
};

}  // namespace feed

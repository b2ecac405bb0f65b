// The output file under the muxer: an AVIO context over a descriptor of our
// own. Samples go to the file in one write each, straight from the caller's
// buffer, and the kernel is asked to start writing them out as they come, so
// that flushing the finished file to disk costs little.
#pragma once

#include <cstdint>
#include <string>

struct AVIOContext;

namespace trelvo::output {

class CMuxerIo {
public:
    CMuxerIo() = default;
    ~CMuxerIo();
    CMuxerIo(const CMuxerIo&) = delete;
    CMuxerIo& operator=(const CMuxerIo&) = delete;

    // Creates or truncates strPath. 0, or an FFmpeg error code.
    int Open(const std::string& strPath);
    // Writes to fd, which stays open and is never seeked (a pipe). 0, or an
    // FFmpeg error code.
    int Attach(int fd);
    AVIOContext* Context() const { return m_pContext; }
    // Flushes and closes; the first error met while writing, closing or
    // flushing (0 when none). Safe to call more than once.
    int Close();

private:
    static int Write(void* pOpaque, uint8_t* pBuf, int nSize);
    static int64_t Seek(void* pOpaque, int64_t nOffset, int nWhence);
    int MakeContext(bool bSeekable);

    int m_fd = -1;
    bool m_bOwned = true;  // the descriptor is closed with the file
    AVIOContext* m_pContext = nullptr;
    int64_t m_nPosition = 0;
    int64_t m_nSynced = 0;  // bytes handed to write-back so far
    int m_nError = 0;
};

}  // namespace trelvo::output

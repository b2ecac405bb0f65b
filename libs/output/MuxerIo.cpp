#include "libs/output/MuxerIo.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern "C" {
#include <libavformat/avio.h>
#include <libavutil/error.h>
#include <libavutil/mem.h>
}

namespace trelvo::output {

namespace {

constexpr int kBufferBytes = 64 * 1024;
// How much the kernel is given at once to start writing back. With 8 MiB
// steps a 163 MB conversion spent about a tenth of its time waiting on the
// disk, with the same CPU time; 256 KiB to 1 MiB steps measured alike.
constexpr int64_t kWriteBackBytes = int64_t{1} << 20;

}  // namespace

CMuxerIo::~CMuxerIo() {
    Close();
}

int CMuxerIo::Open(const std::string& strPath) {
    Close();
    m_nError = 0;
    m_nPosition = m_nSynced = 0;
    // O_NOFOLLOW: the path is a temporary name of ours; a link found there
    // was put by someone else, and writing through it would overwrite
    // whatever it points at.
    m_fd = ::open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0666);
    if (m_fd < 0) return AVERROR(errno);
    m_bOwned = true;
    return MakeContext(true);
}

int CMuxerIo::Attach(int fd) {
    Close();
    m_nError = 0;
    m_nPosition = m_nSynced = 0;
    m_fd = fd;
    m_bOwned = false;
    return MakeContext(false);
}

int CMuxerIo::MakeContext(bool bSeekable) {
    auto* pBuffer = static_cast<uint8_t*>(av_malloc(kBufferBytes));
    m_pContext = pBuffer
                     ? avio_alloc_context(pBuffer, kBufferBytes, 1, this, nullptr, Write, bSeekable ? Seek : nullptr)
                     : nullptr;
    if (m_pContext == nullptr) {
        av_free(pBuffer);
        Close();
        return AVERROR(ENOMEM);
    }
    // Large writes (the samples) bypass the buffer and go to the file as
    // they are; small ones (box headers) are gathered first. A pipe, a FIFO
    // or a device keeps every write in the buffer: the muxer puts a box's
    // size at its start by seeking back, which only the buffer can take there.
    m_pContext->direct = bSeekable ? 1 : 0;
    if (::lseek(m_fd, 0, SEEK_CUR) < 0) {
        m_pContext->seekable = 0;
        m_pContext->direct = 0;
    }
    return 0;
}

int CMuxerIo::Write(void* pOpaque, uint8_t* pBuf, int nSize) {
    auto* self = static_cast<CMuxerIo*>(pOpaque);
    int nLeft = nSize;
    while (nLeft > 0) {
        const ssize_t n = ::write(self->m_fd, pBuf, static_cast<size_t>(nLeft));
        if (n < 0) {
            if (errno == EINTR) continue;
            if (self->m_nError == 0) self->m_nError = AVERROR(errno);
            return self->m_nError;
        }
        pBuf += n;
        nLeft -= static_cast<int>(n);
        self->m_nPosition += n;
    }
    if (self->m_bOwned && self->m_nPosition - self->m_nSynced >= kWriteBackBytes) {
        ::sync_file_range(self->m_fd, self->m_nSynced, self->m_nPosition - self->m_nSynced, SYNC_FILE_RANGE_WRITE);
        self->m_nSynced = self->m_nPosition;
    }
    return nSize;
}

int64_t CMuxerIo::Seek(void* pOpaque, int64_t nOffset, int nWhence) {
    auto* self = static_cast<CMuxerIo*>(pOpaque);
    if (nWhence == AVSEEK_SIZE) {
        struct stat st {};
        return ::fstat(self->m_fd, &st) == 0 ? st.st_size : AVERROR(errno);
    }
    const off_t r = ::lseek(self->m_fd, nOffset, nWhence & ~AVSEEK_FORCE);
    if (r < 0) return AVERROR(errno);
    self->m_nPosition = r;
    self->m_nSynced = std::min<int64_t>(self->m_nSynced, r);
    return r;
}

int CMuxerIo::Close() {
    if (m_pContext != nullptr) {
        avio_flush(m_pContext);
        if (m_nError == 0 && m_pContext->error < 0) m_nError = m_pContext->error;
        av_freep(&m_pContext->buffer);
        avio_context_free(&m_pContext);
    }
    if (m_fd >= 0) {
        if (m_bOwned && ::close(m_fd) != 0 && m_nError == 0) m_nError = AVERROR(errno);
        m_fd = -1;
    }
    return m_nError;
}

}  // namespace trelvo::output

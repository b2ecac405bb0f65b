#include "libs/feed/Feed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

namespace feed {

namespace {
// Read from the file at once, then fed to the parser a chunk at a time.
constexpr size_t kReadAhead = 256 * 1024;
}  // namespace

std::unique_ptr<CFileReader> CFileReader::Open(const std::string& strPath, EOpenError& error, std::string& strError) {
    // O_NONBLOCK: a FIFO or device must not hang the batch in open().
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
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    error = EOpenError::None;
    return std::unique_ptr<CFileReader>(new CFileReader(fd, static_cast<uint64_t>(st.st_size), st.st_dev, st.st_ino));
}

CFileReader::~CFileReader() {
    ::close(m_fd);
}

size_t CFileReader::Read(uint8_t* pBuffer, size_t nLen) {
    if (m_nErrno != 0 || m_bShrunk || m_nRead >= m_nSize) return 0;
    if (nLen > m_nSize - m_nRead) nLen = static_cast<size_t>(m_nSize - m_nRead);
    for (;;) {
        const ssize_t n = ::read(m_fd, pBuffer, nLen);
        if (n > 0) {
            m_nRead += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (n == 0) {
            m_bShrunk = true;  // the end came before the size it had at open
            return 0;
        }
        if (errno != EINTR) {
            m_nErrno = errno;
            return 0;
        }
    }
}

size_t CFileReader::Next(uint8_t* pScratch, size_t nLen, const uint8_t** ppData) {
    if (m_nAheadPos == m_nAheadLen) {
        if (!m_pAhead) m_pAhead = std::make_unique<uint8_t[]>(kReadAhead);
        m_nAheadPos = 0;
        m_nAheadLen = Read(m_pAhead.get(), kReadAhead);
        if (m_nAheadLen == 0) {
            *ppData = pScratch;
            return 0;
        }
    }
    const size_t n = std::min(nLen, m_nAheadLen - m_nAheadPos);
    *ppData = m_pAhead.get() + m_nAheadPos;
    m_nAheadPos += n;
    return n;
}

std::string CFileReader::ErrorText() const {
    return std::strerror(m_nErrno ? m_nErrno : EIO);
}

bool CFileReader::Rewind() {
    if (::lseek(m_fd, 0, SEEK_SET) != 0) {
        m_nErrno = errno;
        return false;
    }
    m_nRead = 0;
    m_nAheadPos = m_nAheadLen = 0;
    m_bShrunk = false;
    return true;
}

bool CFileReader::IsSameFile(const std::string& strPath) const {
    struct stat st {};
    return ::stat(strPath.c_str(), &st) == 0 && st.st_dev == m_dev && st.st_ino == m_ino;
}

namespace {

class CTessaroParser final : public IFrameParser {
public:
    explicit CTessaroParser(void* hParser) : m_hParser(hParser) {}
    ~CTessaroParser() override { TessaroDestroy(m_hParser); }
    CTessaroParser(const CTessaroParser&) = delete;
    CTessaroParser& operator=(const CTessaroParser&) = delete;
    void InputData(const uint8_t* pData, uint32_t nLen) override { TessaroInputData(m_hParser, pData, nLen); }
    void InputEnd() override { TessaroInputEnd(m_hParser); }
    const TessaroFrame* GetNextFrame() override { return TessaroGetNextFrame(m_hParser); }
    bool GetStatus(TessaroStatus& status) override { return TessaroGetStatus(m_hParser, &status, sizeof status) == 0; }

private:
    void* m_hParser;
};

}  // namespace

std::unique_ptr<IFrameParser> CreateTessaroParser() {
    void* hParser = TessaroCreate(0);
    if (!hParser) return nullptr;
    return std::make_unique<CTessaroParser>(hParser);
}

EFeedEnd Feed(IInputReader& input, IFrameParser& parser, const SFeedHooks& hooks) {
    auto drain = [&] {
        while (const TessaroFrame* pFrame = parser.GetNextFrame()) {
            if (!hooks.onFrame(*pFrame)) return false;
        }
        return true;
    };
    std::vector<uint8_t> buffer(kChunkSize);
    uint64_t nDone = 0;
    for (;;) {
        const uint8_t* pChunk = nullptr;
        const size_t nRead = input.Next(buffer.data(), buffer.size(), &pChunk);
        if (nRead == 0) {
            if (input.Failed()) return EFeedEnd::ReadError;
            if (input.Shrunk()) return EFeedEnd::Shrunk;
            // The last picture ends with the input: the parser hands it out now.
            parser.InputEnd();
            return drain() ? EFeedEnd::End : EFeedEnd::Refused;
        }
        parser.InputData(pChunk, static_cast<uint32_t>(nRead));
        const bool bTaken = drain();
        nDone += nRead;
        // The chunk's progress is shown even when a record of it was refused.
        if (hooks.onProgress) hooks.onProgress(nDone, input.Size());
        if (!bTaken) return EFeedEnd::Refused;
        if (hooks.shouldStop && hooks.shouldStop()) return EFeedEnd::Stopped;
    }
}

}  // namespace feed

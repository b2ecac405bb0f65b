#include "libs/feed/Feed.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "log/Log.h"

namespace feed {

namespace {
// One block of read-ahead; two are in use, one being read, one being parsed.
constexpr size_t kReadAhead = 1024 * 1024;
}  // namespace

// The read-ahead: a thread fills the blocks in turn and hands each over; a
// block of no bytes ends the input, with how it ended.
struct CFileReader::SAhead {
    struct SBlock {
        std::unique_ptr<uint8_t[]> pData = std::make_unique<uint8_t[]>(kReadAhead);
        size_t nLen = 0;
        bool bFull = false;
        SReadState end;  // for the block of no bytes
    };
    SBlock blocks[2];
    std::mutex mutex;
    std::condition_variable cv;
    bool bQuit = false;
    std::thread thread;  // not joinable when it could not be started
    SReadState state;    // the thread's own
    size_t nFill = 0;    // block the reader fills next
    size_t nTake = 0;    // block the parser reads
    size_t nPos = 0;     // in it
    bool bHolding = false;

    // Reads the next block into blocks[nFill]; false once the input ended.
    bool Fill(const CFileReader& reader) {
        SBlock& block = blocks[nFill];
        block.nLen = reader.ReadInto(block.pData.get(), kReadAhead, state);
        block.end = state;
        nFill ^= 1;
        return block.nLen != 0;
    }

    // The thread: fills each block as soon as the parser has handed it back.
    void Run(const CFileReader& reader) {
        for (;;) {
            std::unique_lock lock(mutex);
            cv.wait(lock, [&] { return bQuit || !blocks[nFill].bFull; });
            if (bQuit) return;
            SBlock& block = blocks[nFill];
            lock.unlock();
            const bool bMore = Fill(reader);
            lock.lock();
            block.bFull = true;
            cv.notify_all();
            if (!bMore) return;
        }
    }
};

CFileReader::CFileReader(int fd, uint64_t nSize, dev_t dev, ino_t ino, std::string strPath)
    : m_fd(fd), m_nSize(nSize), m_dev(dev), m_ino(ino), m_strPath(std::move(strPath)) {}

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
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    error = EOpenError::None;
    return std::unique_ptr<CFileReader>(
        new CFileReader(fd, static_cast<uint64_t>(st.st_size), st.st_dev, st.st_ino, strPath));
}

CFileReader::~CFileReader() {
    StopAhead();
    ::close(m_fd);
}

size_t CFileReader::ReadInto(uint8_t* pBuffer, size_t nLen, SReadState& state) const {
    if (state.nErrno != 0 || state.bShrunk || state.nRead >= m_nSize) return 0;
    if (nLen > m_nSize - state.nRead) nLen = static_cast<size_t>(m_nSize - state.nRead);
    for (;;) {
        const ssize_t n = ::read(m_fd, pBuffer, nLen);
        if (n > 0) {
            state.nRead += static_cast<uint64_t>(n);
            return static_cast<size_t>(n);
        }
        if (n == 0) {
            state.bShrunk = true;  // the end came before the size it had at open
            return 0;
        }
        if (errno != EINTR) {
            state.nErrno = errno;
            return 0;
        }
    }
}

size_t CFileReader::Read(uint8_t* pBuffer, size_t nLen) {
    return ReadInto(pBuffer, nLen, m_state);
}

size_t CFileReader::Next(uint8_t* pScratch, size_t nLen, const uint8_t** ppData) {
    *ppData = pScratch;
    if (!m_pAhead) {
        m_pAhead = std::make_unique<SAhead>();
        m_pAhead->state = m_state;
        try {
            m_pAhead->thread = std::thread([this, pAhead = m_pAhead.get()] { pAhead->Run(*this); });
        } catch (const std::system_error&) {
            // No thread to be had: the blocks are read here, in turn.
        }
    }
    SAhead& ahead = *m_pAhead;
    const bool bThreaded = ahead.thread.joinable();
    if (ahead.bHolding) {
        const SAhead::SBlock& held = ahead.blocks[ahead.nTake];
        if (held.nLen == 0) return 0;  // the end, told before
        if (ahead.nPos == held.nLen) {
            std::lock_guard lock(ahead.mutex);
            ahead.blocks[ahead.nTake].bFull = false;
            ahead.bHolding = false;
            ahead.nTake ^= 1;
            ahead.cv.notify_all();
        }
    }
    if (!ahead.bHolding) {
        if (bThreaded) {
            std::unique_lock lock(ahead.mutex);
            ahead.cv.wait(lock, [&] { return ahead.blocks[ahead.nTake].bFull; });
        } else {
            ahead.Fill(*this);
            ahead.blocks[ahead.nTake].bFull = true;
        }
        ahead.bHolding = true;
        ahead.nPos = 0;
        const SAhead::SBlock& block = ahead.blocks[ahead.nTake];
        if (block.nLen == 0) {
            m_state = block.end;
            return 0;
        }
    }
    const SAhead::SBlock& block = ahead.blocks[ahead.nTake];
    const size_t n = std::min(nLen, block.nLen - ahead.nPos);
    *ppData = block.pData.get() + ahead.nPos;
    ahead.nPos += n;
    return n;
}

void CFileReader::StopAhead() {
    if (!m_pAhead) return;
    if (m_pAhead->thread.joinable()) {
        {
            std::lock_guard lock(m_pAhead->mutex);
            m_pAhead->bQuit = true;
        }
        m_pAhead->cv.notify_all();
        m_pAhead->thread.join();
    }
    m_pAhead.reset();
}

std::string CFileReader::ErrorText() const {
    return std::strerror(m_state.nErrno ? m_state.nErrno : EIO);
}

bool CFileReader::Rewind() {
    StopAhead();
    m_state = {};
    if (::lseek(m_fd, 0, SEEK_SET) != 0) {
        m_state.nErrno = errno;
        return false;
    }
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
    const trelvo::log::CInputScope logInput(input.Name());
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

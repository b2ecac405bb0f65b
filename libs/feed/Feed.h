// Feeds one input file through the stream parser: chunks in, records out,
// the end of the input told, progress and stop requests between chunks. The
// MP4 job and both passes of the AVI library read through this one loop.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "libs/tessaro/tessaro.h"

namespace feed {

inline constexpr size_t kChunkSize = 16384;

class IInputReader {
public:
    virtual ~IInputReader() = default;
    // The size when the input was opened; reading stops there.
    virtual uint64_t Size() const = 0;
    // Up to nLen bytes; 0 at the end, when the input shrank, or on an error.
    virtual size_t Read(uint8_t* pBuffer, size_t nLen) = 0;
    // The next up to nLen bytes where the reader keeps them (valid until the
    // next call), or read into pScratch; 0 as for Read.
    virtual size_t Next(uint8_t* pScratch, size_t nLen, const uint8_t** ppData) {
        *ppData = pScratch;
        return Read(pScratch, nLen);
    }
    // True once a read has failed (as opposed to reaching the end).
    virtual bool Failed() const = 0;
    // True when the input ended before the size it had when opened.
    virtual bool Shrunk() const { return false; }
    // The system's message for the failed read.
    virtual std::string ErrorText() const { return {}; }
    // The input's name for the log; empty when it has none.
    virtual std::string Name() const { return {}; }
};

enum class EOpenError { None, Open, NotRegularFile };

// A regular file, opened without ever blocking on a FIFO or device. A file
// that grows while it is read is read up to the size it had when opened.
class CFileReader final : public IInputReader {
public:
    // Null on failure, with why (and the system's message for Open).
    static std::unique_ptr<CFileReader> Open(const std::string& strPath, EOpenError& error, std::string& strError);
    ~CFileReader() override;
    CFileReader(const CFileReader&) = delete;
    CFileReader& operator=(const CFileReader&) = delete;

    uint64_t Size() const override { return m_nSize; }
    // Straight from the file; not to be mixed with Next.
    size_t Read(uint8_t* pBuffer, size_t nLen) override;
    // From blocks that a second thread reads ahead, so that the kernel's copy
    // of the next block runs beside the work on this one.
    size_t Next(uint8_t* pScratch, size_t nLen, const uint8_t** ppData) override;
    bool Failed() const override { return m_state.nErrno != 0; }
    bool Shrunk() const override { return m_state.bShrunk; }
    std::string ErrorText() const override;
    std::string Name() const override { return m_strPath; }
    // Back to the first byte, for a second pass.
    bool Rewind();
    // True when strPath names this very file (device and inode).
    bool IsSameFile(const std::string& strPath) const;

private:
    struct SReadState {
        uint64_t nRead = 0;
        int nErrno = 0;
        bool bShrunk = false;
    };
    struct SAhead;

    CFileReader(int fd, uint64_t nSize, dev_t dev, ino_t ino, std::string strPath);
    size_t ReadInto(uint8_t* pBuffer, size_t nLen, SReadState& state) const;
    void StopAhead();

    int m_fd;
    uint64_t m_nSize;
    dev_t m_dev;
    ino_t m_ino;
    std::string m_strPath;
    SReadState m_state;  // this thread's view: Read, or the end of Next's blocks
    std::unique_ptr<SAhead> m_pAhead;
};

class IFrameParser {
public:
    virtual ~IFrameParser() = default;
    virtual void InputData(const uint8_t* pData, uint32_t nLen) = 0;
    // The input has ended: what the parser still holds becomes available.
    virtual void InputEnd() = 0;
    virtual const TessaroFrame* GetNextFrame() = 0;
    // What the parser learnt of the input; false when it cannot say.
    virtual bool GetStatus(TessaroStatus& /*status*/) { return false; }
};

// Our stream parser behind the interface. Null when out of memory.
std::unique_ptr<IFrameParser> CreateTessaroParser();

enum class EFeedEnd {
    End,        // the whole input went through
    Refused,    // onFrame said stop
    Stopped,    // shouldStop said stop
    ReadError,  // the input could not be read (IInputReader::ErrorText)
    Shrunk,     // the input ended before its size at open
};

struct SFeedHooks {
    // Each record, in stream order; false ends the feed.
    std::function<bool(const TessaroFrame& frame)> onFrame;
    // After each chunk, with the bytes read so far (also for the chunk whose
    // record was refused); may be empty.
    std::function<void(uint64_t nDone, uint64_t nTotal)> onProgress;
    // After each chunk (after its progress); true ends the feed. May be empty.
    std::function<bool()> shouldStop;
};

EFeedEnd Feed(IInputReader& input, IFrameParser& parser, const SFeedHooks& hooks);

}  // namespace feed

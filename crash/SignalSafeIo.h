// Text and files for code that runs in a signal handler: raw descriptors and
// static buffers, no stdio, no allocation, no locks. The crash handler writes
// one dump at a time, so one writer and one reader at a time share them.
#pragma once

#include <linux/limits.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace crash {

size_t StrLen(const char* s);
pid_t CurrentTid();
// The whole string, retried after interruptions; a failure is left silent.
void WriteAll(int fd, const char* s);

// Buffered writes to a descriptor. The buffer is flushed when full, by
// Flush() and at the end; after a failed write everything is dropped.
class CDumpWriter {
public:
    explicit CDumpWriter(int fd) : m_fd(fd) {}
    ~CDumpWriter() { Flush(); }
    CDumpWriter(const CDumpWriter&) = delete;
    CDumpWriter& operator=(const CDumpWriter&) = delete;

    CDumpWriter& Bytes(const char* p, size_t n);
    CDumpWriter& Str(const char* s) { return Bytes(s, StrLen(s)); }
    CDumpWriter& Dec(long long v);
    // Zero-padded to nDigits, with a "0x" prefix.
    CDumpWriter& Hex(uint64_t v, int nDigits = 16);
    // "YYYY-MM-DD hh:mm:ss UTC" for seconds since 1970; "unknown" before.
    CDumpWriter& UtcTime(long long nSecs);
    void Flush();
    bool Failed() const { return m_bFailed; }

private:
    CDumpWriter& Pad2(int v);

    int m_fd;
    size_t m_nUsed = 0;
    bool m_bFailed = false;
};

// Reads a file line by line; a line longer than kMaxLine bytes is cut there.
class CLineReader {
public:
    static constexpr size_t kMaxLine = PATH_MAX + 255;

    explicit CLineReader(const char* szPath);
    ~CLineReader();
    CLineReader(const CLineReader&) = delete;
    CLineReader& operator=(const CLineReader&) = delete;

    bool Ok() const { return m_fd >= 0; }
    // The next line without its '\n', valid until the next call; null at
    // the end.
    const char* Next();
    // Raw pass-through of the file, for a reader not asked for lines.
    void CopyTo(CDumpWriter& out);

private:
    int m_fd = -1;
    size_t m_nPos = 0;
    size_t m_nEnd = 0;
};

}  // namespace crash

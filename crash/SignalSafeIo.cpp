#include "SignalSafeIo.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

// Outside the (alternate) stack, which is small.
char g_outBuf[4096];
char g_readBuf[4096];
char g_lineBuf[crash::CLineReader::kMaxLine + 1];

}  // namespace

namespace crash {

size_t StrLen(const char* s) {
    size_t n = 0;
    while (s[n] != '\0') ++n;
    return n;
}

pid_t CurrentTid() {
    return static_cast<pid_t>(syscall(SYS_gettid));
}

void WriteAll(int fd, const char* s) {
    size_t n = StrLen(s);
    while (n > 0) {
        ssize_t k = write(fd, s, n);
        if (k < 0 && errno == EINTR) continue;
        if (k <= 0) return;
        s += k;
        n -= static_cast<size_t>(k);
    }
}

// ---------------------------------------------------------------- writer

CDumpWriter& CDumpWriter::Bytes(const char* p, size_t n) {
    while (n > 0) {
        if (m_nUsed == sizeof(g_outBuf)) Flush();
        size_t nTake = sizeof(g_outBuf) - m_nUsed;
        if (nTake > n) nTake = n;
        memcpy(g_outBuf + m_nUsed, p, nTake);
        m_nUsed += nTake;
        p += nTake;
        n -= nTake;
    }
    return *this;
}

CDumpWriter& CDumpWriter::Dec(long long v) {
    char tmp[24];
    int i = sizeof(tmp);
    unsigned long long u = v < 0 ? 0ULL - static_cast<unsigned long long>(v) : static_cast<unsigned long long>(v);
    do {
        tmp[--i] = static_cast<char>('0' + u % 10);
        u /= 10;
    } while (u != 0);
    if (v < 0) tmp[--i] = '-';
    return Bytes(tmp + i, sizeof(tmp) - i);
}

CDumpWriter& CDumpWriter::Hex(uint64_t v, int nDigits) {
    char tmp[2 + 16];
    tmp[0] = '0';
    tmp[1] = 'x';
    int n = 1;
    for (uint64_t t = v >> 4; t != 0; t >>= 4) ++n;
    if (n < nDigits) n = nDigits;
    for (int i = 0; i < n; ++i) tmp[2 + n - 1 - i] = "0123456789abcdef"[(v >> (4 * i)) & 0xF];
    return Bytes(tmp, 2 + n);
}

CDumpWriter& CDumpWriter::Pad2(int v) {
    char tmp[2] = {static_cast<char>('0' + v / 10 % 10), static_cast<char>('0' + v % 10)};
    return Bytes(tmp, 2);
}

CDumpWriter& CDumpWriter::UtcTime(long long nSecs) {
    if (nSecs < 0) return Str("unknown");
    long long nDays = nSecs / 86400, nRest = nSecs % 86400;
    // Civil date from days since 1970-01-01.
    long long z = nDays + 719468;
    long long nEra = z / 146097;
    long long nDoe = z - nEra * 146097;
    long long nYoe = (nDoe - nDoe / 1460 + nDoe / 36524 - nDoe / 146096) / 365;
    long long nYear = nYoe + nEra * 400;
    long long nDoy = nDoe - (365 * nYoe + nYoe / 4 - nYoe / 100);
    long long nMp = (5 * nDoy + 2) / 153;
    int nDay = static_cast<int>(nDoy - (153 * nMp + 2) / 5 + 1);
    int nMonth = static_cast<int>(nMp < 10 ? nMp + 3 : nMp - 9);
    if (nMonth <= 2) ++nYear;
    Dec(nYear).Str("-").Pad2(nMonth).Str("-").Pad2(nDay).Str(" ");
    Pad2(static_cast<int>(nRest / 3600)).Str(":").Pad2(static_cast<int>(nRest / 60 % 60));
    return Str(":").Pad2(static_cast<int>(nRest % 60)).Str(" UTC");
}

void CDumpWriter::Flush() {
    size_t nDone = 0;
    while (nDone < m_nUsed && !m_bFailed) {
        ssize_t n = write(m_fd, g_outBuf + nDone, m_nUsed - nDone);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            m_bFailed = true;
            break;
        }
        nDone += static_cast<size_t>(n);
    }
    m_nUsed = 0;
}

// ---------------------------------------------------------------- reader

CLineReader::CLineReader(const char* szPath) {
    do {
        m_fd = open(szPath, O_RDONLY | O_CLOEXEC);
    } while (m_fd < 0 && errno == EINTR);
}

CLineReader::~CLineReader() {
    if (m_fd >= 0) close(m_fd);
}

void CLineReader::CopyTo(CDumpWriter& out) {
    for (;;) {
        ssize_t n = read(m_fd, g_readBuf, sizeof(g_readBuf));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        out.Bytes(g_readBuf, static_cast<size_t>(n));
    }
}

const char* CLineReader::Next() {
    size_t nLen = 0;
    bool bAny = false;
    for (;;) {
        if (m_nPos == m_nEnd) {
            ssize_t n;
            do {
                n = read(m_fd, g_readBuf, sizeof(g_readBuf));
            } while (n < 0 && errno == EINTR);
            if (n <= 0) break;
            m_nPos = 0;
            m_nEnd = static_cast<size_t>(n);
        }
        bAny = true;
        char c = g_readBuf[m_nPos++];
        if (c == '\n') break;
        if (nLen + 1 < sizeof(g_lineBuf)) g_lineBuf[nLen++] = c;
    }
    g_lineBuf[nLen] = '\0';
    return bAny ? g_lineBuf : nullptr;
}

}  // namespace crash

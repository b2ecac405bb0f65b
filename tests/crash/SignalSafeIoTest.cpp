// The crash dump's own text and file routines: every number, date and byte
// the dump holds goes through them, with no stdio to fall back on.
#include "crash/SignalSafeIo.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <string>
#include <utility>

#include "TempDir.h"

using crash::CDumpWriter;
using crash::CLineReader;

namespace {

int OpenForWriting(const std::string& strPath) {
    return open(strPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

}  // namespace

TEST(CrashSignalSafeIo, WriterFormatsNumbersAndDatesAndKeepsEveryByteAcrossItsBuffer) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string strPath = dir.Path("out");
    std::string strLong;
    for (int i = 0; i < 10000; ++i) strLong += static_cast<char>('a' + i * 7 % 26);
    int fd = OpenForWriting(strPath);
    ASSERT_GE(fd, 0);
    {
        CDumpWriter out(fd);
        out.Dec(0).Str(" ").Dec(-6).Str(" ").Dec(LLONG_MIN).Str(" ").Dec(LLONG_MAX).Str("\n");
        out.Hex(0).Str(" ").Hex(0, 1).Str(" ").Hex(0x1a, 1).Str(" ").Hex(0xabc, 4).Str(" ");
        out.Hex(0x123456789abcdef0, 4).Str(" ").Hex(UINT64_MAX).Str("\n");
        const std::pair<long long, const char*> dates[] = {
            {0, "1970-01-01 00:00:00 UTC"},
            {94694399, "1972-12-31 23:59:59 UTC"},
            {951827696, "2000-02-29 12:34:56 UTC"},
            {1709164800, "2024-02-29 00:00:00 UTC"},
            {4107542399, "2100-02-28 23:59:59 UTC"},
            {4107542400, "2100-03-01 00:00:00 UTC"},
            {253402300799, "9999-12-31 23:59:59 UTC"},
            {-1, "unknown"},
        };
        for (const auto& [nSecs, szExpected] : dates) out.UtcTime(nSecs).Str("|").Str(szExpected).Str("\n");
        // Odd-sized pieces, so that they straddle the buffer's end.
        for (size_t i = 0; i < strLong.size(); i += 7)
            out.Bytes(strLong.data() + i, std::min<size_t>(7, strLong.size() - i));
        out.Flush();
        EXPECT_FALSE(out.Failed());
        out.Str("\nafter the flush");
    }
    close(fd);
    const std::string strText = ReadBytes(strPath);
    size_t nPos = 0;
    auto line = [&] {
        size_t nEnd = strText.find('\n', nPos);
        std::string s = strText.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        return s;
    };
    EXPECT_EQ(line(), "0 -6 -9223372036854775808 9223372036854775807");
    EXPECT_EQ(line(), "0x0000000000000000 0x0 0x1a 0x0abc 0x123456789abcdef0 0xffffffffffffffff");
    for (int i = 0; i < 8; ++i) {
        const std::string s = line();
        EXPECT_EQ(s.substr(0, s.find('|')), s.substr(s.find('|') + 1));
    }
    EXPECT_EQ(strText.substr(nPos), strLong + "\nafter the flush");
}

TEST(CrashSignalSafeIo, WriterReportsAFailedWriteAndDropsTheRest) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("ro"), "kept"));
    int fd = open(dir.Path("ro").c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    CDumpWriter out(fd);
    out.Str("lost");
    EXPECT_FALSE(out.Failed());  // nothing written yet
    out.Flush();
    EXPECT_TRUE(out.Failed());
    out.Str("lost too");
    out.Flush();
    EXPECT_TRUE(out.Failed());
    close(fd);
    EXPECT_EQ(ReadBytes(dir.Path("ro")), "kept");
}

TEST(CrashSignalSafeIo, LineReaderCutsOverlongLinesAndKeepsAnUnterminatedLast) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string strLong(CLineReader::kMaxLine + 100, 'x');
    const std::string strFile = "first\n\nthird\r\n" + strLong + "\nafter\nlast";
    ASSERT_TRUE(WriteBytes(dir.Path("in"), strFile));
    {
        CLineReader in(dir.Path("in").c_str());
        ASSERT_TRUE(in.Ok());
        for (const std::string& strExpected :
             {std::string("first"), std::string(), std::string("third\r"), strLong.substr(0, CLineReader::kMaxLine),
              std::string("after"), std::string("last")}) {
            const char* szLine = in.Next();
            ASSERT_NE(szLine, nullptr) << strExpected;
            EXPECT_EQ(szLine, strExpected);
        }
        EXPECT_EQ(in.Next(), nullptr);
        EXPECT_EQ(in.Next(), nullptr);
    }
    {
        // The whole file through the writer, byte for byte.
        CLineReader in(dir.Path("in").c_str());
        int fd = OpenForWriting(dir.Path("copy"));
        ASSERT_GE(fd, 0);
        {
            CDumpWriter out(fd);
            in.CopyTo(out);
        }
        close(fd);
        EXPECT_EQ(ReadBytes(dir.Path("copy")), strFile);
    }
    CLineReader missing(dir.Path("missing").c_str());
    EXPECT_FALSE(missing.Ok());
    EXPECT_EQ(missing.Next(), nullptr);
}

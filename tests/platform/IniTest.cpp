#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "platform/Ini.h"

using platform::GetProfileInt;
using platform::GetProfileString;
using platform::WriteProfileString;

namespace {

std::wstring Get(const std::wstring& sec, const std::wstring& key, const std::wstring& file, size_t n = 300,
                 const std::wstring& def = L"<def>") {
    return GetProfileString(sec, key, def, n, file);
}

}  // namespace

TEST(PlatformIni, MissingThingsGiveTheDefault) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::wstring file = dir.WPath("a.ini");

    EXPECT_EQ(Get(L"System", L"Path", file), L"<def>");  // no file
    EXPECT_EQ(GetProfileInt(L"System", L"Check", 1, file), 1);

    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"),
                           "Orphan=before any section\n"
                           "[System]\n"
                           "Empty=\n"
                           "NoEquals\n"
                           "; Commented=out\n"
                           "Path=/srv/out\n"
                           "[Other]\n"
                           "Check=0\n"
                           "[System]\n"
                           "Later=second section of the same name\n"));
    EXPECT_EQ(Get(L"System", L"Path", file), L"/srv/out");
    EXPECT_EQ(Get(L"System", L"Missing", file), L"<def>");
    EXPECT_EQ(Get(L"Nowhere", L"Path", file), L"<def>");
    // Present but empty is a value, not a missing key.
    EXPECT_EQ(Get(L"System", L"Empty", file), L"");
    EXPECT_EQ(GetProfileInt(L"System", L"Empty", 9, file), 9);
    EXPECT_EQ(Get(L"System", L"NoEquals", file), L"<def>");
    EXPECT_EQ(Get(L"System", L"; Commented", file), L"<def>");
    EXPECT_EQ(Get(L"System", L"Orphan", file), L"<def>");
    // An entry in another section is not found; the first section of a name counts.
    EXPECT_EQ(GetProfileInt(L"System", L"Check", 1, file), 1);
    EXPECT_EQ(GetProfileInt(L"Other", L"Check", 1, file), 0);
    EXPECT_EQ(Get(L"System", L"Later", file), L"<def>");
    // Empty names never match anything.
    EXPECT_EQ(Get(L"", L"Path", file), L"<def>");
    EXPECT_EQ(Get(L"System", L"", file), L"<def>");
    // A directory in place of the file reads like a missing file.
    EXPECT_EQ(Get(L"System", L"Path", dir.WDir()), L"<def>");
}

TEST(PlatformIni, NamesIgnoreCaseAndBlanksAreTrimmed) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"),
                           "  [ sYsTeM ]  \n"
                           "\t  pAtH \t=   /a b/c  \t\n"
                           "Quoted=\"  kept blanks  \"\n"
                           "Single='x'\n"
                           "Lone=\"\n"
                           "Mixed=\"x'\n"
                           "[Größe]\n"
                           "ÄrGer=yes\n"));
    const std::wstring file = dir.WPath("a.ini");
    EXPECT_EQ(Get(L"SYSTEM", L"PATH", file), L"/a b/c");
    EXPECT_EQ(Get(L" system ", L" path ", file), L"/a b/c");
    EXPECT_EQ(Get(L"System", L"Quoted", file), L"  kept blanks  ");
    EXPECT_EQ(Get(L"System", L"Single", file), L"x");
    EXPECT_EQ(Get(L"System", L"Lone", file), L"\"");
    EXPECT_EQ(Get(L"System", L"Mixed", file), L"\"x'");
    EXPECT_EQ(Get(L"GRÖSSE", L"ärger", file), L"<def>");  // no expansion of ß
    EXPECT_EQ(Get(L"GRÖßE", L"äRGER", file), L"yes");
}

TEST(PlatformIni, ResultsAreCutToTheBufferLessOne) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::wstring longValue(400, L'x');
    std::wstring unicodeValue;
    for (int i = 0; i < 310; ++i) unicodeValue += (i % 2) ? L'é' : L'\U0001F600';
    ASSERT_TRUE(WriteProfileString(L"S", L"Long", longValue, dir.WPath("a.ini")));
    ASSERT_TRUE(WriteProfileString(L"S", L"Uni", unicodeValue, dir.WPath("a.ini")));
    ASSERT_TRUE(WriteProfileString(L"S", L"Exact", std::wstring(299, L'y'), dir.WPath("a.ini")));
    const std::wstring file = dir.WPath("a.ini");

    EXPECT_EQ(Get(L"S", L"Long", file), std::wstring(299, L'x'));
    EXPECT_EQ(Get(L"S", L"Long", file, 64), std::wstring(63, L'x'));
    EXPECT_EQ(Get(L"S", L"Long", file, 1), L"");
    EXPECT_EQ(Get(L"S", L"Long", file, 0), L"");
    EXPECT_EQ(Get(L"S", L"Long", file, 1000), longValue);
    EXPECT_EQ(Get(L"S", L"Exact", file), std::wstring(299, L'y'));
    // Characters, not bytes, are counted.
    EXPECT_EQ(Get(L"S", L"Uni", file), unicodeValue.substr(0, 299));
    // The default is cut the same way, and loses trailing blanks.
    EXPECT_EQ(Get(L"S", L"None", file, 4, L"abcdef"), L"abc");
    EXPECT_EQ(Get(L"S", L"None", file, 300, L"ab  \t"), L"ab");
}

TEST(PlatformIni, IntegersParseLikeTheProfileReader) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"),
                           "[N]\n"
                           "Plain=42\nNeg=-7\nPlus=+3\nTrail=12abc\nWord=abc\nZero=0\n"
                           "Hex=0x1F\nWrap=4294967297\nBlank=\nSign=-\nSpaced= 15 16\n"));
    const std::wstring file = dir.WPath("a.ini");
    EXPECT_EQ(GetProfileInt(L"N", L"Plain", 5, file), 42);
    EXPECT_EQ(GetProfileInt(L"N", L"Neg", 5, file), -7);
    EXPECT_EQ(GetProfileInt(L"N", L"Plus", 5, file), 3);
    EXPECT_EQ(GetProfileInt(L"N", L"Trail", 5, file), 12);
    EXPECT_EQ(GetProfileInt(L"N", L"Word", 5, file), 0);
    EXPECT_EQ(GetProfileInt(L"N", L"Zero", 5, file), 0);
    EXPECT_EQ(GetProfileInt(L"N", L"Hex", 5, file), 31);
    EXPECT_EQ(GetProfileInt(L"N", L"Wrap", 5, file), 1);
    EXPECT_EQ(GetProfileInt(L"N", L"Blank", 5, file), 5);
    EXPECT_EQ(GetProfileInt(L"N", L"Sign", 5, file), 0);
    EXPECT_EQ(GetProfileInt(L"N", L"Spaced", 5, file), 15);
    EXPECT_EQ(GetProfileInt(L"N", L"Missing", -2, file), -2);
}

TEST(PlatformIni, BomAndCrlfFilesRead) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"),
                           "\xEF\xBB\xBF[String]\r\nTrelvo.Open=\xC3\x96"
                           "ffnen\r\nEnd=1\r\n"));
    const std::wstring file = dir.WPath("a.ini");
    EXPECT_EQ(Get(L"String", L"Trelvo.Open", file), L"Öffnen");
    EXPECT_EQ(GetProfileInt(L"String", L"End", 0, file), 1);
}

TEST(PlatformIni, WritingKeepsEveryOtherLineByteForByte) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string path = dir.Path("Config.ini");
    const std::wstring file = dir.WPath("Config.ini");
    const std::string head = "\xEF\xBB\xBF; my settings\r\n\r\n[themes]\r\n  Solution = Deutsch  \r\n\r\n";
    const std::string tail = "; keep me\r\n\r\n[Other]\r\nCheck=5\r\n#odd line\r\n";
    ASSERT_TRUE(WriteBytes(path, head + "[system]\r\n  CHECK = 1 ; not a comment\r\nPath=/old\r\n" + tail));

    // Replacing keeps the stored spelling of the key and the line's CRLF.
    ASSERT_TRUE(WriteProfileString(L"System", L"Check", L"0", file));
    EXPECT_EQ(ReadBytes(path), head + "[system]\r\nCHECK=0\r\nPath=/old\r\n" + tail);

    // A new key goes after the section's last entry, before its trailing comment.
    ASSERT_TRUE(WriteProfileString(L"SYSTEM", L"Extra", L" spaced value ", file));
    EXPECT_EQ(ReadBytes(path), head + "[system]\r\nCHECK=0\r\nPath=/old\r\nExtra= spaced value \r\n" + tail);
    EXPECT_EQ(Get(L"System", L"Extra", file), L"spaced value");

    // A new section goes to the end.
    ASSERT_TRUE(WriteProfileString(L"New", L"Key", L"v", file));
    EXPECT_EQ(ReadBytes(path),
              head + "[system]\r\nCHECK=0\r\nPath=/old\r\nExtra= spaced value \r\n" + tail + "[New]\r\nKey=v\r\n");
    EXPECT_EQ(Get(L"themes", L"Solution", file), L"Deutsch");
    EXPECT_EQ(GetProfileInt(L"Other", L"Check", 0, file), 5);
}

TEST(PlatformIni, WritingCreatesFilesSectionsAndHandlesOddEnds) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    // No file yet: created with the section.
    ASSERT_TRUE(WriteProfileString(L"System", L"Check", L"1", dir.WPath("new.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("new.ini")), "[System]\nCheck=1\n");
    ASSERT_TRUE(WriteProfileString(L"System", L"Path", L"/ä/日本", dir.WPath("new.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("new.ini")), "[System]\nCheck=1\nPath=/\xC3\xA4/\xE6\x97\xA5\xE6\x9C\xAC\n");
    EXPECT_EQ(Get(L"System", L"Path", dir.WPath("new.ini")), L"/ä/日本");

    // Last line without a line break: the break is added before the new line.
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"), "[A]\nx=1"));
    ASSERT_TRUE(WriteProfileString(L"A", L"y", L"2", dir.WPath("a.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("a.ini")), "[A]\nx=1\ny=2\n");
    ASSERT_TRUE(WriteBytes(dir.Path("b.ini"), "[A]"));
    ASSERT_TRUE(WriteProfileString(L"a", L"y", L"2", dir.WPath("b.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("b.ini")), "[A]\ny=2\n");
    ASSERT_TRUE(WriteBytes(dir.Path("c.ini"), "x=1"));
    ASSERT_TRUE(WriteProfileString(L"B", L"y", L"2", dir.WPath("c.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("c.ini")), "x=1\n[B]\ny=2\n");
    // Replacing an unterminated last line leaves it unterminated.
    ASSERT_TRUE(WriteBytes(dir.Path("d.ini"), "[A]\nx=1"));
    ASSERT_TRUE(WriteProfileString(L"A", L"X", L"3", dir.WPath("d.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("d.ini")), "[A]\nx=3");
    // An empty file that only holds a BOM keeps it.
    ASSERT_TRUE(WriteBytes(dir.Path("e.ini"), "\xEF\xBB\xBF"));
    ASSERT_TRUE(WriteProfileString(L"A", L"k", L"v", dir.WPath("e.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("e.ini")), "\xEF\xBB\xBF[A]\nk=v\n");
}

TEST(PlatformIni, WritingRefusesWhatWouldBreakTheFile) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string original = "[System]\nPath=/old\n";
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"), original));
    const std::wstring file = dir.WPath("a.ini");
    // A value with a line break would smuggle in entries of its own.
    EXPECT_FALSE(WriteProfileString(L"System", L"Path", L"/x\n[System]\nCheck=0", file));
    EXPECT_FALSE(WriteProfileString(L"System", L"Path", L"/x\r", file));
    EXPECT_FALSE(WriteProfileString(L"System", L"a=b", L"1", file));
    EXPECT_FALSE(WriteProfileString(L"System", L"", L"1", file));
    EXPECT_FALSE(WriteProfileString(L"", L"Key", L"1", file));
    EXPECT_FALSE(WriteProfileString(L"Sys]tem", L"Key", L"1", file));
    EXPECT_FALSE(WriteProfileString(L"System", L";Key", L"1", file));
    EXPECT_EQ(ReadBytes(dir.Path("a.ini")), original);
    // A directory where the file should be, or a missing parent directory.
    EXPECT_FALSE(WriteProfileString(L"System", L"Path", L"/x", dir.WDir()));
    EXPECT_FALSE(WriteProfileString(L"System", L"Path", L"/x", dir.WPath("no/such/dir.ini")));
    // No temporary files are left behind.
    size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.Dir())) ++count;
    EXPECT_EQ(count, 1u);
}

TEST(PlatformIni, WritingKeepsModeAndSymbolicLinks) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Path("real.ini"), "[S]\nk=1\n"));
    ASSERT_EQ(::chmod(dir.Path("real.ini").c_str(), 0640), 0);
    ASSERT_EQ(::symlink("real.ini", dir.Path("link.ini").c_str()), 0);
    ASSERT_TRUE(WriteProfileString(L"S", L"k", L"2", dir.WPath("link.ini")));
    EXPECT_TRUE(std::filesystem::is_symlink(dir.Path("link.ini")));
    EXPECT_EQ(ReadBytes(dir.Path("real.ini")), "[S]\nk=2\n");
    struct stat st {};
    ASSERT_EQ(::stat(dir.Path("real.ini").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);

    if (::geteuid() != 0) {  // root may write read-only files anyway
        ASSERT_EQ(::chmod(dir.Path("real.ini").c_str(), 0440), 0);
        EXPECT_FALSE(WriteProfileString(L"S", L"k", L"3", dir.WPath("real.ini")));
        EXPECT_EQ(ReadBytes(dir.Path("real.ini")), "[S]\nk=2\n");
    }
}

TEST(PlatformIni, ConcurrentReadersAgree) {
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    std::string content = "[S]\n";
    for (int i = 0; i < 50; ++i) content += "k" + std::to_string(i) + "=v" + std::to_string(i) + "\n";
    ASSERT_TRUE(WriteBytes(dir.Path("a.ini"), content));
    const std::wstring file = dir.WPath("a.ini");
    std::vector<int> failures(6, 0);
    std::vector<std::thread> threads;
    threads.reserve(6);
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const int k = (i + t) % 50;
                if (Get(L"S", L"k" + std::to_wstring(k), file) != L"v" + std::to_wstring(k)) ++failures[t];
            }
        });
    }
    for (auto& th : threads) th.join();
    for (int f : failures) EXPECT_EQ(f, 0);
}

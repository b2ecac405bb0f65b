#include <gtest/gtest.h>

#include <filesystem>
#include <thread>
#include <vector>

#include "Platform.h"
#include "TempDir.h"

using platform::NarrowToWide;
using platform::WideToNarrow;

TEST(PlatformEncoding, PathsRoundTripThroughUtf8) {
    const std::wstring wide = L"/home/jürgen/Aufnahmen/日本/clip 😀.h264";
    const std::string narrow = WideToNarrow(wide);
    EXPECT_EQ(narrow,
              "/home/j\xC3\xBCrgen/Aufnahmen/\xE6\x97\xA5\xE6\x9C\xAC/clip \xF0\x9F\x98\x80.h264");
    EXPECT_EQ(NarrowToWide(narrow), wide);
    EXPECT_EQ(WideToNarrow(L""), "");
    EXPECT_EQ(NarrowToWide(""), L"");
    // Boundaries of each encoded length.
    const std::wstring edges = {L'\x7F', L'\x80', L'\x7FF', L'\x800', L'\xFFFF', L'\U00010000', L'\U0010FFFF'};
    EXPECT_EQ(NarrowToWide(WideToNarrow(edges)), edges);
    EXPECT_EQ(WideToNarrow(edges).size(), 1u + 2 + 2 + 3 + 3 + 4 + 4);

    // The narrow name really opens the file the wide name stands for.
    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    const std::string name = WideToNarrow(L"Größe ✓.txt");
    ASSERT_TRUE(WriteBytes(dir.Path(name), "x"));
    EXPECT_EQ(ReadBytes(dir.Dir() + "Gr\xC3\xB6\xC3\x9F" "e \xE2\x9C\x93.txt"), "x");
}

TEST(PlatformEncoding, InvalidInputBecomesReplacementCharacters) {
    // Code points without a UTF-8 form become the default character.
    std::wstring bad;
    bad += L'a';
    bad += static_cast<wchar_t>(0xD800);
    bad += static_cast<wchar_t>(0xDFFF);
    bad += static_cast<wchar_t>(0x110000);
    bad += static_cast<wchar_t>(0x7FFFFFFF);
    bad += L'b';
    EXPECT_EQ(WideToNarrow(bad), "a????b");

    const std::wstring r(1, L'\xFFFD');
    EXPECT_EQ(NarrowToWide("a\xFF" "b"), L"a" + r + L"b");
    EXPECT_EQ(NarrowToWide("\x80"), r);                             // stray continuation
    EXPECT_EQ(NarrowToWide("\xC0\xAF"), r + r);                     // overlong '/'
    EXPECT_EQ(NarrowToWide("\xE0\x80\xAF"), r + r + r);             // overlong '/'
    EXPECT_EQ(NarrowToWide("\xED\xA0\x80"), r + r + r);             // encoded surrogate
    EXPECT_EQ(NarrowToWide("\xF4\x90\x80\x80"), r + r + r + r);     // past U+10FFFF
    EXPECT_EQ(NarrowToWide("x\xE6\x97"), L"x" + r + r);             // cut short at the end
    EXPECT_EQ(NarrowToWide("\xE6\x97" "a"), r + r + L"a");          // cut short before ASCII
    EXPECT_EQ(NarrowToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));
}

TEST(PlatformModule, ProgramDirectoryIsTheExecutablesDirectory) {
    const std::wstring exe = platform::GetModuleFileName();
    ASSERT_FALSE(exe.empty());
    EXPECT_EQ(exe.front(), L'/');
    EXPECT_TRUE(std::filesystem::equivalent(std::filesystem::path(WideToNarrow(exe)), "/proc/self/exe"));

    const std::wstring& dir = GetAppDir();
    ASSERT_GE(dir.size(), 2u);
    EXPECT_EQ(dir.back(), L'/');
    EXPECT_NE(dir[dir.size() - 2], L'/');
    EXPECT_EQ(dir, exe.substr(0, exe.rfind(L'/') + 1));
    EXPECT_TRUE(dir.ends_with(L"/testbin/"));

    // Kept, and the same from every thread.
    std::vector<const std::wstring*> seen(4, nullptr);
    std::vector<std::thread> threads;
    for (size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back([&seen, i] { seen[i] = &GetAppDir(); });
    for (auto& t : threads)
        t.join();
    for (const std::wstring* p : seen)
        EXPECT_EQ(p, &dir);
}

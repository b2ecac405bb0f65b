#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "platform/AppDir.h"
#include "platform/Encoding.h"

using platform::NarrowToWide;
using platform::WideToNarrow;

TEST(PlatformEncoding, PathsRoundTripThroughUtf8) {
    const std::wstring wide = L"/home/jürgen/Aufnahmen/日本/clip 😀.h264";
    const std::string narrow = WideToNarrow(wide);
    EXPECT_EQ(narrow, "/home/j\xC3\xBCrgen/Aufnahmen/\xE6\x97\xA5\xE6\x9C\xAC/clip \xF0\x9F\x98\x80.h264");
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
    EXPECT_EQ(ReadBytes(dir.Dir() + "Gr\xC3\xB6\xC3\x9F"
                                    "e \xE2\x9C\x93.txt"),
              "x");
}

namespace {

std::wstring Escapes(std::initializer_list<unsigned> bytes) {
    std::wstring out;
    for (unsigned b : bytes) out += static_cast<wchar_t>(0xDC00 + b);
    return out;
}

}  // namespace

TEST(PlatformEncoding, UndecodableBytesTravelAsLoneSurrogatesAndComeBack) {
    // Each byte that is not part of valid UTF-8 stands alone, whatever
    // surrounds it, and goes out as that byte again.
    const std::pair<std::string, std::wstring> cases[] = {
        {"a\xFF"
         "b",
         L"a" + Escapes({0xFF}) + L"b"},
        {"\x80", Escapes({0x80})},                                // stray continuation
        {"\xC0\xAF", Escapes({0xC0, 0xAF})},                      // overlong '/'
        {"\xE0\x80\xAF", Escapes({0xE0, 0x80, 0xAF})},            // overlong '/'
        {"\xED\xA0\x80", Escapes({0xED, 0xA0, 0x80})},            // encoded surrogate
        {"\xF4\x90\x80\x80", Escapes({0xF4, 0x90, 0x80, 0x80})},  // past U+10FFFF
        {"x\xE6\x97", L"x" + Escapes({0xE6, 0x97})},              // cut short at the end
        {"\xE6\x97"
         "a\xC3\xA9",
         Escapes({0xE6, 0x97}) + L"a\xE9"},  // cut short before more
    };
    for (const auto& [narrow, wide] : cases) {
        EXPECT_EQ(NarrowToWide(narrow), wide);
        EXPECT_EQ(WideToNarrow(wide), narrow);
    }
    EXPECT_EQ(NarrowToWide(std::string("a\0b", 3)), std::wstring(L"a\0b", 3));

    // Every string of up to two bytes, and many longer ones.
    for (unsigned n = 0; n < 0x10000; ++n) {
        const std::string one(1, static_cast<char>(n & 0xFF));
        const std::string two = {static_cast<char>(n >> 8), static_cast<char>(n & 0xFF)};
        ASSERT_EQ(WideToNarrow(NarrowToWide(one)), one);
        ASSERT_EQ(WideToNarrow(NarrowToWide(two)), two) << n;
    }
    uint32_t seed = 12345;
    for (int k = 0; k < 100000; ++k) {
        std::string bytes(2 + k % 7, '\0');
        for (char& c : bytes) {
            seed = seed * 1664525u + 1013904223u;
            // Mostly high bytes, where UTF-8 goes wrong.
            c = static_cast<char>((seed >> 24) | ((seed >> 20) & 1 ? 0x80 : 0));
        }
        ASSERT_EQ(WideToNarrow(NarrowToWide(bytes)), bytes);
    }

    // Code points with no UTF-8 form that did not come from a byte still
    // become the default character.
    std::wstring bad;
    for (uint32_t c : {0xD800u, 0xDBFFu, 0xDC7Fu, 0xDD00u, 0xDFFFu, 0x110000u, 0x7FFFFFFFu})
        bad += static_cast<wchar_t>(c);
    EXPECT_EQ(WideToNarrow(L"a" + bad + L"b"), "a???????b");
}

TEST(PlatformEncoding, ALatin1NameAndItsReplacementTwinAreTwoFiles) {
    const std::string latin1 = "lat\xE9in1.ps";
    const std::string twin = "lat\xEF\xBF\xBDin1.ps";
    const std::wstring wideLatin1 = NarrowToWide(latin1);
    const std::wstring wideTwin = NarrowToWide(twin);
    EXPECT_NE(wideLatin1, wideTwin);
    // Shown alike to people, but never opened by what is shown.
    EXPECT_EQ(platform::DisplayText(wideLatin1), L"lat\xFFFDin1.ps");
    EXPECT_EQ(platform::DisplayText(wideTwin), L"lat\xFFFDin1.ps");
    EXPECT_EQ(platform::DisplayText(L"a\xE9\U0001F600" + Escapes({0x80, 0xFF}) + std::wstring(1, wchar_t(0xD800))),
              L"a\xE9\U0001F600\xFFFD\xFFFD\xFFFD");

    TempDir dir;
    ASSERT_TRUE(dir.Valid());
    ASSERT_TRUE(WriteBytes(dir.Dir() + latin1, "latin-1"));
    ASSERT_TRUE(WriteBytes(dir.Dir() + twin, "twin"));
    EXPECT_EQ(ReadBytes(WideToNarrow(dir.WDir() + wideLatin1)), "latin-1");
    EXPECT_EQ(ReadBytes(WideToNarrow(dir.WDir() + wideTwin)), "twin");
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
    for (size_t i = 0; i < seen.size(); ++i) threads.emplace_back([&seen, i] { seen[i] = &GetAppDir(); });
    for (auto& t : threads) t.join();
    for (const std::wstring* p : seen) EXPECT_EQ(p, &dir);
}

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <string>

#include "convert/ConversionList.h"

namespace fs = std::filesystem;

namespace {

class ConvertListTest : public ::testing::Test {
protected:
    void SetUp() override { m_dir = m_tmp.Root(); }

    std::wstring MakeFile(const std::string& strName, size_t nBytes, const fs::path& dir = {}) {
        const fs::path path = (dir.empty() ? m_dir : dir) / strName;
        std::ofstream(path, std::ios::binary) << std::string(nBytes, 'x');
        return path.wstring();
    }

    TempDir m_tmp;
    fs::path m_dir;
};

TEST_F(ConvertListTest, BatchFromOneFolderNumbersTicksAndSizesRows) {
    CConversionList list;
    EXPECT_TRUE(list.m_strSourceDir.empty());
    EXPECT_TRUE(list.AddFileRow(MakeFile("a.h264", 10)));
    EXPECT_TRUE(list.AddFileRow(MakeFile("b.c.h264", 1048576)));
    EXPECT_TRUE(list.AddFileRow(MakeFile("empty", 0)));
    ASSERT_EQ(list.GetRowCount(), 3);
    const wchar_t* names[] = {L"a.h264", L"b.c.h264", L"empty"};
    const wchar_t* sizes[] = {L"10", L"1048576", L"0"};
    for (int32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(list.GetRowText(i, COL_NO), std::to_wstring(i + 1));
        EXPECT_EQ(list.GetRowText(i, COL_FILENAME), names[i]);
        EXPECT_EQ(list.GetRowText(i, COL_SIZE), sizes[i]);
        EXPECT_EQ(list.GetRowText(i, COL_PROGRESS), L"");
        EXPECT_EQ(list.GetRowText(i, COL_DESTRIBE), L"");
        EXPECT_TRUE(list.IsRowChecked(i));
    }
    EXPECT_EQ(list.m_strSourceDir, m_dir.wstring() + L"/");
}

TEST_F(ConvertListTest, SizeOfAFileBeyondFourGiBIsWhole) {
    const fs::path path = m_dir / "big.h264";
    const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY, 0644);
    ASSERT_GE(fd, 0);
    const bool bSized = ::ftruncate(fd, 5000000000LL) == 0;  // sparse: no disk used
    ::close(fd);
    ASSERT_TRUE(bSized);
    CConversionList list;
    EXPECT_TRUE(list.AddFileRow(path.wstring()));
    EXPECT_EQ(list.GetRowText(0, COL_SIZE), L"5000000000");
}

TEST_F(ConvertListTest, UnreadableFileIsAddedUntickedWithoutSize) {
    CConversionList list;
    EXPECT_FALSE(list.AddFileRow((m_dir / "missing.h264").wstring()));
    fs::create_directories(m_dir / "sub.h264");
    EXPECT_FALSE(list.AddFileRow((m_dir / "sub.h264").wstring()));
    EXPECT_TRUE(list.AddFileRow(MakeFile("ok.h264", 3)));
    ASSERT_EQ(list.GetRowCount(), 3);
    EXPECT_EQ(list.GetRowText(0, COL_NO), L"1");
    EXPECT_EQ(list.GetRowText(0, COL_FILENAME), L"missing.h264");
    EXPECT_EQ(list.GetRowText(0, COL_SIZE), L"");
    EXPECT_FALSE(list.IsRowChecked(0));
    EXPECT_EQ(list.GetRowText(1, COL_SIZE), L"");
    EXPECT_FALSE(list.IsRowChecked(1));
    EXPECT_EQ(list.GetRowText(2, COL_NO), L"3");
    EXPECT_TRUE(list.IsRowChecked(2));
}

TEST_F(ConvertListTest, RemoveCheckedRowsKeepsOldNumbers) {
    CConversionList list;
    for (int i = 0; i < 5; ++i) list.AddFileRow(MakeFile("f" + std::to_string(i), static_cast<size_t>(i)));
    for (int32_t i = 0; i < 5; ++i) list.SetRowChecked(i, i == 1 || i == 3);
    list.SetRowText(2, COL_DESTRIBE, L"Fail");
    const std::wstring strSource = list.m_strSourceDir;

    list.RemoveCheckedRows();
    ASSERT_EQ(list.GetRowCount(), 3);
    EXPECT_EQ(list.GetRowText(0, COL_NO), L"1");
    EXPECT_EQ(list.GetRowText(1, COL_NO), L"3");
    EXPECT_EQ(list.GetRowText(2, COL_NO), L"5");
    EXPECT_EQ(list.GetRowText(1, COL_FILENAME), L"f2");
    EXPECT_EQ(list.GetRowText(1, COL_SIZE), L"2");
    EXPECT_EQ(list.GetRowText(1, COL_DESTRIBE), L"Fail");
    for (int32_t i = 0; i < 3; ++i) EXPECT_FALSE(list.IsRowChecked(i));
    EXPECT_EQ(list.m_strSourceDir, strSource);

    // Nothing ticked: nothing changes. Adjacent ticked rows all go.
    list.RemoveCheckedRows();
    EXPECT_EQ(list.GetRowCount(), 3);
    list.SetRowChecked(1, true);
    list.SetRowChecked(2, true);
    list.RemoveCheckedRows();
    ASSERT_EQ(list.GetRowCount(), 1);
    EXPECT_EQ(list.GetRowText(0, COL_NO), L"1");

    list.RemoveAllRows();
    EXPECT_EQ(list.GetRowCount(), 0);
    EXPECT_EQ(list.m_strSourceDir, strSource);
}

TEST_F(ConvertListTest, LastAddedFileDecidesTheSourceDirectory) {
    fs::create_directories(m_dir / "one");
    fs::create_directories(m_dir / "two");
    CConversionList list;
    list.AddFileRow(MakeFile("a.h264", 1, m_dir / "one"));
    list.AddFileRow(MakeFile("a.h264", 1, m_dir / "one"));  // no duplicate test
    list.AddFileRow(MakeFile("b.h264", 2, m_dir / "two"));
    EXPECT_EQ(list.GetRowCount(), 3);
    EXPECT_EQ(list.m_strSourceDir, (m_dir / "two").wstring() + L"/");
}

TEST_F(ConvertListTest, OutOfRangeIndexesAreHarmless) {
    CConversionList list;
    list.AddFileRow(MakeFile("a", 1));
    EXPECT_EQ(list.GetRowText(1, COL_FILENAME), L"");
    EXPECT_EQ(list.GetRowText(-1, COL_FILENAME), L"");
    EXPECT_EQ(list.GetRowText(0, COL_COUNT), L"");
    EXPECT_FALSE(list.IsRowChecked(1));
    EXPECT_FALSE(list.IsRowChecked(-1));
    list.SetRowText(1, COL_PROGRESS, L"5");
    list.SetRowText(0, -1, L"5");
    list.SetRowChecked(7, true);
    EXPECT_EQ(list.GetRowCount(), 1);
    EXPECT_EQ(list.GetRowText(0, COL_PROGRESS), L"");

    // A bare name lies in the current directory.
    list.AddFileRow(L"bare.h264");
    EXPECT_EQ(list.m_strSourceDir, L"./");
}

}  // namespace

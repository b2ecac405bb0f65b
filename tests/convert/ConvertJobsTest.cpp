#include <gtest/gtest.h>
#include <unistd.h>
#include "TempDir.h"

#include <filesystem>
#include <fstream>
#include <iterator>

#include "ConvertFakeBackend.h"
#include "ConvertTestHost.h"
#include "lang/MultiLanguage.h"

namespace fs = std::filesystem;
using convert::ComputePercent;
using convert::MakeOutputName;

namespace {

const std::wstring kSuccess = CMultiLanguage::GetText(L"Trelvo.Success");
const std::wstring kFail = CMultiLanguage::GetText(L"Trelvo.Fail");

std::vector<std::wstring> Numbers(std::initializer_list<int> values) {
    std::vector<std::wstring> out;
    for (int v : values) out.push_back(std::to_wstring(v));
    return out;
}

TEST(ConvertJobsTest, OutputNamesReplaceOnlyTheLastExtension) {
    EXPECT_EQ(MakeOutputName(L"cam1.h264", L".mp4"), L"cam1.mp4");
    EXPECT_EQ(MakeOutputName(L"x.y.z", L".mp4"), L"x.y.mp4");
    EXPECT_EQ(MakeOutputName(L"clip", L".mp4"), L"clip.mp4");
    EXPECT_EQ(MakeOutputName(L".h264", L".avi"), L".avi");
    EXPECT_EQ(MakeOutputName(L"x.y.z", L".avi"), L"x.y.avi");

    // The job joins the directories and names exactly so.
    CTestHost host;
    CFakeBackend backend;
    for (const wchar_t* name : {L"x.y.z", L"clip", L".h264"}) host.AddRow(name);
    convert::Mp4ConvertRows(host, backend);
    EXPECT_EQ(backend.opened, (std::vector<std::string>{"/in/x.y.z", "/in/clip", "/in/.h264"}));
}

TEST(ConvertJobsTest, PercentIsQuotientFirstAndTruncated) {
    EXPECT_EQ(ComputePercent(475136, 1638400), 28);  // mathematically 29
    EXPECT_EQ(ComputePercent(16384, 40000), 40);
    EXPECT_EQ(ComputePercent(32768, 40000), 81);
    EXPECT_EQ(ComputePercent(40000, 40000), 100);
    EXPECT_EQ(ComputePercent(1, 3), 33);
    EXPECT_EQ(ComputePercent(0, 0), 100);
    EXPECT_EQ(ComputePercent(3000000000ULL, 6000000000ULL), 50);  // beyond 32 bits
    EXPECT_EQ(ComputePercent(UINT64_MAX, 1), INT32_MAX);
}

TEST(ConvertJobsTest, ProgressOfAFortyThousandByteFile) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/cam1.h264"] = {40000, 40000, 0};
    host.AddRow(L"cam1.h264");
    convert::Mp4ConvertRows(host, backend);

    EXPECT_EQ(host.Written(0, COL_PROGRESS), Numbers({40, 81, 100, 100}));
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kSuccess});
    EXPECT_EQ(backend.writerPaths, std::vector<std::string>{"/out/cam1.mp4"});
    EXPECT_EQ(backend.nChunksFed, 3);
    EXPECT_EQ(backend.nInputEnds, 1);  // the end of the input is told once
    // Released in order: input, writer, parser.
    EXPECT_EQ(backend.events, (std::vector<std::string>{"input", "writer", "parser"}));
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kSuccess});
    ASSERT_EQ(host.rowsDone.size(), 1u);
    EXPECT_TRUE(std::get<1>(host.rowsDone[0]));
    EXPECT_EQ(std::get<2>(host.rowsDone[0]), L"/out/cam1.mp4");
}

TEST(ConvertJobsTest, ProgressSequencesForExactAndLargeFiles) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/a"] = {16384, 16384, 0};
    backend.inputs["/in/b"] = {1638400, 1638400, 0};
    backend.inputs["/in/c"] = {100u << 20, 100u << 20, 0};
    host.AddRow(L"a");
    host.AddRow(L"b");
    host.AddRow(L"c");
    convert::Mp4ConvertRows(host, backend);

    EXPECT_EQ(host.Written(0, COL_PROGRESS), Numbers({100, 100}));

    const std::vector<std::wstring> b = host.Written(1, COL_PROGRESS);
    ASSERT_GE(b.size(), 30u);
    for (int i = 0; i < 28; ++i) EXPECT_EQ(b[static_cast<size_t>(i)], std::to_wstring(i + 1));
    EXPECT_EQ(b[28], L"30");
    EXPECT_EQ(std::count(b.begin(), b.end(), L"29"), 0);
    EXPECT_EQ(std::count(b.begin(), b.end(), L"58"), 0);
    EXPECT_NE(std::find(b.begin(), b.end(), L"57"), b.end());
    EXPECT_EQ(*(std::find(b.begin(), b.end(), L"57") + 1), L"59");
    EXPECT_EQ(b.back(), L"100");

    // The cell is rewritten only when the number changes: 0 once, then 1..100
    // once each, then the final 100.
    const std::vector<std::wstring> c = host.Written(2, COL_PROGRESS);
    EXPECT_EQ(std::count(c.begin(), c.end(), L"0"), 1);
    EXPECT_EQ(c.front(), L"0");
    EXPECT_EQ(c.size(), 102u);
}

TEST(ConvertJobsTest, InputsBeyondTwoGiBShowTrueProgress) {
    CTestHost host;
    CFakeBackend backend;
    const uint64_t nSize = 3ULL << 30;
    backend.inputs["/in/big.ps"] = {nSize, nSize, 0};
    host.AddRow(L"big.ps");
    convert::Mp4ConvertRows(host, backend);
    const std::vector<std::wstring> p = host.Written(0, COL_PROGRESS);
    // 0..100 once each in rising order, then the final 100.
    ASSERT_EQ(p.size(), 102u);
    for (int i = 0; i <= 100; ++i) EXPECT_EQ(p[static_cast<size_t>(i)], std::to_wstring(i));
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kSuccess});
}

TEST(ConvertJobsTest, FailureInTheThirdChunkKeepsItsPercentage) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/cam.h264"] = {163840, 163840, 0};
    backend.output.nFailAtFrame = 3;
    backend.output.nFinish = -1;
    host.AddRow(L"cam.h264");
    convert::Mp4ConvertRows(host, backend);

    EXPECT_EQ(backend.nChunksFed, 3);  // no fourth chunk
    EXPECT_EQ(backend.nInputEnds, 0);
    EXPECT_EQ(host.Written(0, COL_PROGRESS), Numbers({10, 20, 30}));
    EXPECT_EQ(host.list.GetRowText(0, COL_PROGRESS), L"30");
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kFail});
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kFail});
}

TEST(ConvertJobsTest, OnlyTickedRowsAreConvertedAndOthersStayUntouched) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/two"] = {10, 10, 0};
    host.AddRow(L"one", false);
    host.AddRow(L"two");
    host.AddRow(L"three", false);
    host.list.SetRowText(0, COL_DESTRIBE, L"old");
    host.writes.clear();
    convert::Mp4ConvertRows(host, backend);
    for (const SCellWrite& w : host.writes) EXPECT_EQ(w.nRow, 1);
    EXPECT_EQ(host.list.GetRowText(0, COL_DESTRIBE), L"old");
    EXPECT_EQ(backend.opened, std::vector<std::string>{"/in/two"});
}

TEST(ConvertJobsTest, UnopenableInputFailsItsRowAndTheNextGoesOn) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/good"] = {100, 100, 0};
    host.AddRow(L"missing");
    host.AddRow(L"good");
    convert::Mp4ConvertRows(host, backend);
    EXPECT_EQ(host.Written(0, COL_PROGRESS), std::vector<std::wstring>{});
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kFail});
    EXPECT_EQ(host.Written(1, COL_DESTRIBE), std::vector<std::wstring>{kSuccess});
    EXPECT_EQ(backend.writerPaths, std::vector<std::string>{"/out/good.mp4"});
    // One row failed, so the closing message is the fail text, shown once.
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kFail});
}

TEST(ConvertJobsTest, ReadErrorMidFileFailsTheRow) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/bad"] = {100000, 100000, 3};
    host.AddRow(L"bad");
    convert::Mp4ConvertRows(host, backend);
    EXPECT_EQ(backend.nChunksFed, 2);
    EXPECT_EQ(backend.nInputEnds, 0);  // a read error is not the end of the input
    EXPECT_EQ(host.Written(0, COL_PROGRESS), Numbers({16, 32}));
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kFail});
}

TEST(ConvertJobsTest, NoOutputMeansFailure) {
    CTestHost host;
    CFakeBackend backend;
    backend.inputs["/in/empty"] = {0, 0, 0};
    backend.inputs["/in/noise"] = {20000, 20000, 0};
    backend.output.nFinish = 0;
    host.AddRow(L"empty");
    host.AddRow(L"noise");
    convert::Mp4ConvertRows(host, backend);
    EXPECT_EQ(host.Written(0, COL_PROGRESS), std::vector<std::wstring>{});
    EXPECT_EQ(host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kFail});
    EXPECT_EQ(host.Written(1, COL_PROGRESS), Numbers({81, 100}));
    EXPECT_EQ(host.Written(1, COL_DESTRIBE), std::vector<std::wstring>{kFail});
    EXPECT_EQ(backend.nFinishCalls, 2);
    // Every row failed: the message still comes, once.
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kFail});
}

TEST(ConvertJobsTest, NoRowsStillEndsWithTheSuccessMessage) {
    CTestHost host;
    CFakeBackend backend;
    EXPECT_EQ(convert::Mp4ConvertRows(host, backend), 1u);
    EXPECT_EQ(host.messages, std::vector<std::wstring>{kSuccess});
}

class ConvertJobsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = m_tmp.Root();
        m_host.strSourceDir = m_dir.wstring() + L"/";
        m_host.strSaveDir = m_host.strSourceDir;
    }

    std::string Path(const std::string& strName) const { return (m_dir / strName).string(); }
    static std::string Contents(const std::string& strPath) {
        std::ifstream in(strPath, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), {}};
    }

    TempDir m_tmp;
    fs::path m_dir;
    CTestHost m_host;
    CFakeBackend m_backend;
};

TEST_F(ConvertJobsFileTest, OutputThatIsTheInputItselfFailsAndKeepsTheInput) {
    std::ofstream(Path("cam1.mp4"), std::ios::binary) << "recording";
    std::ofstream(Path("real.h264"), std::ios::binary) << "recording2";
    fs::create_symlink(Path("real.h264"), Path("link.h264"));
    fs::create_symlink(Path("real.h264"), Path("link.mp4"));
    fs::create_hard_link(Path("real.h264"), Path("hard.mp4"));
    fs::create_hard_link(Path("real.h264"), Path("hard.h264"));
    m_backend.inputs[Path("cam1.mp4")] = {9, 9, 0};
    m_backend.output.bCreateFile = true;
    m_host.AddRow(L"cam1.mp4");   // beside itself
    m_host.AddRow(L"link.h264");  // output a symlink to the same file
    m_host.AddRow(L"hard.h264");  // output a hard link to the same file
    convert::Mp4ConvertRows(m_host, m_backend);

    for (int32_t nRow = 0; nRow < 3; ++nRow) {
        EXPECT_EQ(m_host.Written(nRow, COL_DESTRIBE), std::vector<std::wstring>{kFail}) << nRow;
    }
    EXPECT_TRUE(m_backend.opened.empty());
    EXPECT_TRUE(m_backend.writerPaths.empty());
    EXPECT_EQ(Contents(Path("cam1.mp4")), "recording");
    EXPECT_EQ(Contents(Path("real.h264")), "recording2");
}

TEST_F(ConvertJobsFileTest, FailedOrStoppedRowLeavesNoPartialOutput) {
    m_backend.inputs[Path("a.ps")] = {100000, 100000, 0};
    m_backend.inputs[Path("b.ps")] = {100000, 100000, 3};
    m_backend.inputs[Path("c.ps")] = {100000, 100000, 0};
    m_backend.output.bCreateFile = true;  // the writer produced a file
    m_backend.output.nFinish = 1;         // and could finish it
    m_backend.output.nFailAtFrame = 2;
    m_host.AddRow(L"a.ps");  // writer refuses the 2nd frame
    convert::Mp4ConvertRows(m_host, m_backend);
    EXPECT_FALSE(fs::exists(Path("a.mp4")));

    m_backend.output.nFailAtFrame = 0;
    m_host.list.RemoveAllRows();
    m_host.AddRow(L"b.ps");  // read error in the 3rd read
    convert::Mp4ConvertRows(m_host, m_backend);
    EXPECT_FALSE(fs::exists(Path("b.mp4")));

    // A stop request ends the row after its chunk; the next row is not begun.
    m_host.list.RemoveAllRows();
    m_host.writes.clear();
    m_host.messages.clear();
    m_host.AddRow(L"c.ps");
    m_host.AddRow(L"a.ps");
    m_host.nStopChecks = 0;
    m_host.nStopAfterChecks = 3;  // 1 before the row, 2 after the first chunk
    const int nFedBefore = m_backend.nChunksFed;
    convert::Mp4ConvertRows(m_host, m_backend);
    EXPECT_EQ(m_backend.nChunksFed - nFedBefore, 2);
    EXPECT_FALSE(fs::exists(Path("c.mp4")));
    EXPECT_EQ(m_host.Written(0, COL_DESTRIBE), std::vector<std::wstring>{kFail});
    EXPECT_TRUE(m_host.Written(1, COL_DESTRIBE).empty());
    EXPECT_EQ(m_host.messages, std::vector<std::wstring>{kFail});

    // And a good row keeps its file.
    m_host.list.RemoveAllRows();
    m_host.nStopAfterChecks = -1;
    m_host.AddRow(L"c.ps");
    convert::Mp4ConvertRows(m_host, m_backend);
    EXPECT_TRUE(fs::exists(Path("c.mp4")));
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConvertTestHost.h"
#include "convert/ConvertEngine.h"
#include "lang/MultiLanguage.h"

namespace {

const std::wstring kSuccess = CMultiLanguage::GetText(L"Trelvo.Success");
const std::wstring kFail = CMultiLanguage::GetText(L"Trelvo.Fail");

struct SCall {
    std::string strInput;
    std::string strOutput;
};

std::vector<SCall> g_calls;
int32_t g_nFailUser = -1;  // the row whose conversion fails
bool g_bCancelSeen = false;

// Stands in for the AVI library: reports a few positions, then succeeds
// unless told to fail for the g_nFailUser-th call.
int32_t FakeConvert(const char* pszInput, const char* pszOutput, KorvelProgressFn pfnProgress, KorvelCancelFn pfnCancel,
                    void* pUser, KorvelResult* pResult) {
    g_calls.push_back({pszInput, pszOutput});
    pfnProgress(1, 3, pUser);
    pfnProgress(2, 0, pUser);  // total 0: ignored
    if (pfnCancel(pUser) != 0) {
        g_bCancelSeen = true;
        return pResult->nCode = KORVEL_ERR_CANCELLED;
    }
    if (static_cast<int>(g_calls.size()) == g_nFailUser) {
        std::snprintf(pResult->szText, sizeof pResult->szText, "Permission denied");
        return pResult->nCode = KORVEL_ERR_INPUT;
    }
    pfnProgress(3, 3, pUser);
    pResult->nPictures = 7;
    return pResult->nCode = 0;
}

class ConvertAviJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        g_calls.clear();
        g_nFailUser = -1;
        g_bCancelSeen = false;
        g_pMainDlg = &m_host;
    }
    void TearDown() override { g_pMainDlg = nullptr; }
    CTestHost m_host;
};

TEST_F(ConvertAviJobTest, TickedRowsReachTheLibraryWithTheirIndex) {
    m_host.AddRow(L"skip.h264", false);
    m_host.AddRow(L"a.b.h264");
    m_host.AddRow(L"clip");
    m_host.list.SetRowText(1, COL_DESTRIBE, kFail);  // left from an earlier run
    g_nFailUser = 2;
    EXPECT_EQ(convert::AviConvertRows(m_host, FakeConvert), 1u);

    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[0].strInput, "/in/a.b.h264");
    EXPECT_EQ(g_calls[0].strOutput, "/out/a.b.avi");
    EXPECT_EQ(g_calls[1].strOutput, "/out/clip.avi");

    EXPECT_TRUE(m_host.Written(0, COL_PROGRESS).empty());
    EXPECT_TRUE(m_host.Written(0, COL_DESTRIBE).empty());
    EXPECT_EQ(m_host.Written(1, COL_PROGRESS), (std::vector<std::wstring>{L"33", L"100"}));
    // A good file gets the success word, replacing the stale fail text.
    EXPECT_EQ(m_host.list.GetRowText(1, COL_DESTRIBE), kSuccess);
    EXPECT_EQ(m_host.Written(2, COL_PROGRESS), std::vector<std::wstring>{L"33"});
    EXPECT_EQ(m_host.list.GetRowText(2, COL_DESTRIBE), kFail);
    EXPECT_TRUE(m_host.messages.empty());  // no closing message for AVI
    ASSERT_EQ(m_host.rowsDone.size(), 2u);
    EXPECT_TRUE(std::get<1>(m_host.rowsDone[0]));
    EXPECT_FALSE(std::get<1>(m_host.rowsDone[1]));
    // What the library said reaches the row's result.
    EXPECT_EQ(m_host.results[0].nPictures, 7u);
    EXPECT_EQ(m_host.results[1].reason, convert::EReason::OpenInput);
    EXPECT_EQ(m_host.results[1].strDetail, "Permission denied");
}

TEST_F(ConvertAviJobTest, SecondInputWithTheSameOutputNameFails) {
    m_host.AddRow(L"cam1.ps");
    m_host.AddRow(L"cam1.h264");
    convert::AviConvertRows(m_host, FakeConvert);
    ASSERT_EQ(g_calls.size(), 1u);  // the second never reaches the library
    ASSERT_EQ(m_host.results.size(), 2u);
    EXPECT_TRUE(m_host.results[0].bSuccess);
    EXPECT_FALSE(m_host.results[1].bSuccess);
    EXPECT_EQ(m_host.results[1].reason, convert::EReason::NameUsed);
    EXPECT_EQ(m_host.list.GetRowText(1, COL_DESTRIBE), kFail);
}

TEST_F(ConvertAviJobTest, ProgressCallbackFormatsEveryCall) {
    m_host.AddRow(L"a");
    AviProgressCallback(5, 0, 0);
    EXPECT_TRUE(m_host.writes.empty());
    AviProgressCallback(1, 3, 0);
    AviProgressCallback(1, 3, 0);  // rewritten even when unchanged
    AviProgressCallback(4294967295u, 4294967295u, 0);
    AviProgressCallback(5, 3, 0);  // not clamped
    AviProgressCallback(0, 10, 0);
    EXPECT_EQ(m_host.Written(0, COL_PROGRESS), (std::vector<std::wstring>{L"33", L"33", L"100", L"166", L"0"}));
    AviProgressCallback(1, 2, 7);  // no such row: nothing happens
    EXPECT_EQ(m_host.list.GetRowCount(), 1);

    g_pMainDlg = nullptr;
    AviProgressCallback(1, 2, 0);         // no list to reach
    EXPECT_EQ(m_host.writes.size(), 6u);  // the out-of-range write went through the host
}

TEST_F(ConvertAviJobTest, StopRequestCancelsTheConversionAndLaterRows) {
    m_host.AddRow(L"a");
    m_host.AddRow(L"b");
    m_host.nStopAfterChecks = 2;  // the check before row 0 passes, the library's does not
    convert::AviConvertRows(m_host, FakeConvert);
    EXPECT_TRUE(g_bCancelSeen);
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(m_host.list.GetRowText(0, COL_DESTRIBE), kFail);
    EXPECT_TRUE(m_host.Written(1, COL_DESTRIBE).empty());
}

}  // namespace

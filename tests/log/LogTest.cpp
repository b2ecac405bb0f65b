// The log names who spoke: the module, and the input the thread works on,
// from the host and from inside the shared libraries alike.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "log/Log.h"
#include "tests/cli/ProcessUtil.h"

namespace {

using trelvo::log::CInputScope;
using trelvo::log::ELevel;

struct SLine {
    std::string strModule, strInput, strText;
};

void Keep(ELevel, const char* pszModule, const char* pszInput, const char* pszText, void* pUser) {
    static_cast<std::vector<SLine>*>(pUser)->push_back({pszModule, pszInput, pszText});
}

TEST(LogTest, EachLineNamesItsModuleAndTheThreadsInput) {
    std::vector<SLine> lines;
    trelvo::log::SetSink(Keep, &lines);
    TRELVO_LOG_DEBUG("mp4", "before %d", 1);
    {
        const CInputScope outer("/rec/cam1.ps");
        TRELVO_LOG_WARNING("tessaro", "outer");
        {
            // A loop that knows no name keeps the one it runs under.
            const CInputScope unnamed("");
            TRELVO_LOG_INFO("feed", "unnamed");
            const CInputScope inner("/rec/cam2.ps");
            TRELVO_LOG_INFO("join", "inner\n");
        }
        TRELVO_LOG_INFO("avi", "back");
        // Another thread converts something else: it is not named so.
        std::string strOther = "unset";
        std::thread([&] { strOther = trelvo::log::CurrentInput(); }).join();
        EXPECT_EQ(strOther, "");
    }
    TRELVO_LOG_ERROR("cli", "after");
    trelvo::log::SetSink(nullptr, nullptr);

    const std::vector<std::vector<std::string>> want = {
        {"mp4", "", "before 1"},           {"tessaro", "/rec/cam1.ps", "outer"}, {"feed", "/rec/cam1.ps", "unnamed"},
        {"join", "/rec/cam2.ps", "inner"}, {"avi", "/rec/cam1.ps", "back"},      {"cli", "", "after"}};
    ASSERT_EQ(lines.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(lines[i].strModule, want[i][0]) << i;
        EXPECT_EQ(lines[i].strInput, want[i][1]) << i;
        EXPECT_EQ(lines[i].strText, want[i][2]) << i;
    }
}

// The parser and the AVI library are shared libraries: their lines reach the
// program's sink, named with the input, only when --verbose asks for them.
TEST(LogTest, VerboseShowsThePartsThatFollowAClockJumpWithTheirInput) {
    const std::string strInput = std::string(TRELVO_SOURCE_DIR) + "/tests/data/ps_h264_2997_wrap_jump.ps";
    const std::string strProgram = std::string(TRELVO_BIN_DIR) + "/trelvo-convert";
    TempDir tmp;
    for (const char* pszFormat : {"mp4", "avi"}) {
        SCOPED_TRACE(pszFormat);
        const SProcessResult quiet = RunProcess(
            {strProgram, "--format", pszFormat, "-o", tmp.Path(std::string("quiet-") + pszFormat), strInput});
        EXPECT_EQ(quiet.nStatus, 0) << quiet.strErr;
        EXPECT_EQ(quiet.strErr.find(": debug: "), std::string::npos) << quiet.strErr;

        const SProcessResult verbose =
            RunProcess({strProgram, "--verbose", "--format", pszFormat, "-o", tmp.Path(pszFormat), strInput});
        EXPECT_EQ(verbose.nStatus, 0) << verbose.strErr;
        EXPECT_NE(verbose.strErr.find(strInput + ": tessaro: debug: the recorder's clock jumped"), std::string::npos)
            << verbose.strErr;
    }
}

}  // namespace

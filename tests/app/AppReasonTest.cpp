// Why a row failed, or what its output lacks, reaches the user: as the
// tooltip of the row's result and in the message at the end of the job.
#include "AppTestSupport.h"

#include "app/ConversionModel.h"
#include "app/TrelvoDlg.h"

#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using apptest::CConfigFile;
using apptest::CModalWatcher;
using apptest::WaitFor;
namespace fs = std::filesystem;

namespace {

QVariant ToolTip(const CTrelvoDlg& dlg, int nRow, int nColumn = COL_DESTRIBE)
{
    return dlg.GetModel()->data(dlg.GetModel()->index(nRow, nColumn), Qt::ToolTipRole);
}

QString Result(const CTrelvoDlg& dlg, int nRow)
{
    return QString::fromStdWString(dlg.GetList().GetRowText(nRow, COL_DESTRIBE));
}

// Converts the dialog's rows as AVI or MP4 and returns the boxes shown.
std::vector<apptest::SBox> Convert(CTrelvoDlg& dlg, bool bAvi)
{
    dlg.findChild<QRadioButton*>(bAvi ? "radioAvi" : "radioMp4")->click();
    CModalWatcher watcher;
    dlg.findChild<QPushButton*>("btnConvert")->click();
    EXPECT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    return watcher.m_boxes;
}

}  // namespace

TEST(AppReason, RealRunsShowEachReasonInItsTooltipAndListTheFailedRows)
{
    CConfigFile config(nullptr);
    for (const bool bAvi : {true, false}) {
        SCOPED_TRACE(bAvi ? "AVI" : "MP4");
        QTemporaryDir dir;
        const fs::path tmp(dir.path().toStdString());
        apptest::CopyFixture("h264_320x180_25fps.h264", tmp, "good.h264");
        apptest::CopyFixture("ps_h264_then_h265.ps", tmp, "switch.ps");
        apptest::CopyFixture("mpeg2_160x96.m2v", tmp, "old.m2v");
        std::ofstream(tmp / "junk.ps", std::ios::binary) << std::string(4096, '\x5a');
        CTrelvoDlg dlg(QStringList(), &CTrelvoDlg::RunConversionJob);
        QList<QUrl> urls;
        for (const char* pszName : {"good.h264", "switch.ps", "old.m2v", "junk.ps"})
            urls << QUrl::fromLocalFile(QString::fromStdString((tmp / pszName).string()));
        dlg.OnDropFiles(urls);

        const std::vector<apptest::SBox> boxes = Convert(dlg, bAvi);

        // The result column keeps its words; the reason is the tooltip.
        EXPECT_EQ(Result(dlg, 0), "Success");
        EXPECT_FALSE(ToolTip(dlg, 0).isValid()) << ToolTip(dlg, 0).toString().toStdString();
        EXPECT_EQ(Result(dlg, 1), "Success");
        const QString strSwitch = ToolTip(dlg, 1).toString();
        EXPECT_TRUE(strSwitch.startsWith("ReasonCodecChanged: at byte ")) << strSwitch.toStdString();
        EXPECT_GT(apptest::DecodedVideoFrames(tmp / (bAvi ? "switch.avi" : "switch.mp4")), 0);
        EXPECT_EQ(Result(dlg, 2), "Fail");
        EXPECT_EQ(ToolTip(dlg, 2).toString(), QString::fromUtf8("Video nicht unterst\xC3\xBCtzt: MPEG-1/2 video"));
        EXPECT_EQ(Result(dlg, 3), "Fail");
        EXPECT_EQ(ToolTip(dlg, 3).toString(), "ReasonNotRecorderStream");
        for (const int nColumn : {COL_NO, COL_FILENAME, COL_SIZE, COL_PROGRESS})
            EXPECT_FALSE(ToolTip(dlg, 2, nColumn).isValid()) << nColumn;

        // One message, the MP4 job's own or the one the AVI job lacks.
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
        EXPECT_EQ(boxes[0].strText, QString::fromUtf8("Fail\n\n"
                                                      "old.m2v: Video nicht unterst\xC3\xBCtzt: MPEG-1/2 video\n"
                                                      "junk.ps: ReasonNotRecorderStream"));
    }
}

// Why a row failed, or what its output lacks, reaches the user: as the
// tooltip of the row's result, with what the log said while it converted,
// and in the message at the end of the job.
#include "AppTestSupport.h"

#include "app/ConversionModel.h"
#include "app/TrelvoDlg.h"
#include "log/Log.h"

#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <filesystem>
#include <fstream>

using apptest::CConfigFile;
using apptest::CModalWatcher;
using apptest::WaitFor;
namespace fs = std::filesystem;

namespace {

QVariant ToolTip(const CTrelvoDlg& dlg, int nRow, int nColumn = COL_DESTRIBE) {
    return dlg.GetModel()->data(dlg.GetModel()->index(nRow, nColumn), Qt::ToolTipRole);
}

QString Result(const CTrelvoDlg& dlg, int nRow) {
    return QString::fromStdWString(dlg.GetList().GetRowText(nRow, COL_DESTRIBE));
}

// Converts the dialog's rows as AVI or MP4 and returns the boxes shown.
std::vector<apptest::SBox> Convert(CTrelvoDlg& dlg, bool bAvi) {
    dlg.findChild<QRadioButton*>(bAvi ? "radioAvi" : "radioMp4")->click();
    CModalWatcher watcher;
    dlg.findChild<QPushButton*>("btnConvert")->click();
    EXPECT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    return watcher.m_boxes;
}

}  // namespace

TEST(AppReason, RealRunsShowEachReasonInItsTooltipAndListTheFailedRows) {
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
        if (!bAvi) {
            // The MP4 writer logs the change too.
            EXPECT_TRUE(strSwitch.contains("\nmp4: the video codec changes; pictures of the new codec are left out"))
                << strSwitch.toStdString();
        }
        EXPECT_GT(apptest::DecodedVideoFrames(tmp / (bAvi ? "switch.avi" : "switch.mp4")), 0);
        EXPECT_EQ(Result(dlg, 2), "Fail");
        EXPECT_EQ(ToolTip(dlg, 2).toString(), QString::fromUtf8("Video nicht unterst\xC3\xBCtzt: MPEG-1/2"));
        EXPECT_EQ(Result(dlg, 3), "Fail");
        EXPECT_EQ(ToolTip(dlg, 3).toString(), "ReasonNotRecorderStream");
        // The other cells name the input whole and where its output went.
        const QString strOld = QString::fromStdString((tmp / "old.m2v").string());
        const QString strOut = QString::fromStdString((tmp / (bAvi ? "old.avi" : "old.mp4")).string());
        for (const int nColumn : {COL_NO, COL_FILENAME, COL_SIZE, COL_PROGRESS})
            EXPECT_EQ(ToolTip(dlg, 2, nColumn).toString(), strOld + "\nOutputTip " + strOut) << nColumn;

        // One message, the MP4 job's own or the one the AVI job lacks.
        ASSERT_EQ(boxes.size(), 1u);
        EXPECT_EQ(boxes[0].icon, QMessageBox::Warning);
        // Each failed input by its whole path, with its reason.
        EXPECT_EQ(boxes[0].strText, QString::fromUtf8("Fail\n\n") + strOld +
                                        QString::fromUtf8(": Video nicht unterst\xC3\xBCtzt: MPEG-1/2\n") +
                                        QString::fromStdString((tmp / "junk.ps").string()) +
                                        ": ReasonNotRecorderStream\n\nFailAdvice");
    }
}

TEST(AppReason, TheLogKeepsARowsWarningsAndTheMessageCountsWhatItCannotList) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    QList<QUrl> urls;
    for (int n = 0; n < 14; ++n) {
        const QString strPath = dir.filePath(QStringLiteral("f%1.ps").arg(n, 2, 10, QLatin1Char('0')));
        std::ofstream(strPath.toStdString()) << "x";
        urls << QUrl::fromLocalFile(strPath);
    }
    // Stands in for a job: row 0 logs while it converts, rows 0 to 12 fail,
    // row 13 converts whole. The MP4 job closes with its own message.
    const auto job = [](IConversionHost* pHost, bool bAvi) {
        TRELVO_LOG_ERROR("avi", "before any row");
        for (int32_t nRow = 0; nRow < pHost->GetRowCount(); ++nRow) {
            pHost->OnRowStart(nRow);
            if (nRow == 0) {
                TRELVO_LOG_WARNING("avi", "first");
                TRELVO_LOG_INFO("avi", "only chatter");
                TRELVO_LOG_DEBUG("avi", "more chatter");
                av_log(nullptr, AV_LOG_ERROR, "muxer said %s\n", "no");
                TRELVO_LOG_WARNING("avi", "first");
                TRELVO_LOG_WARNING("avi", "second");
                TRELVO_LOG_WARNING("avi", "third");
                TRELVO_LOG_WARNING("avi", "fourth");
            }
            convert::SConversionResult result;
            result.bSuccess = true;
            if (nRow == 0)
                result = convert::Failure(convert::EReason::WriteOutput, "No space left on device");
            else if (nRow < 13)
                result = convert::Failure(convert::EReason::ReadInput, "row " + std::to_string(nRow));
            pHost->SetRowText(nRow, COL_DESTRIBE, result.bSuccess ? L"Success" : L"Fail");
            pHost->OnRowDone(nRow, result, L"");
        }
        TRELVO_LOG_ERROR("avi", "after the last row");
        if (!bAvi) pHost->ShowMessage(L"Fail");
        return 1u;
    };
    for (const bool bAvi : {true, false}) {
        SCOPED_TRACE(bAvi ? "AVI" : "MP4");
        CTrelvoDlg dlg(QStringList(), job);
        dlg.OnDropFiles(urls);
        const std::vector<apptest::SBox> boxes = Convert(dlg, bAvi);

        // Warnings and errors below the reason, each once, a few at most;
        // nothing from outside the row.
        EXPECT_EQ(ToolTip(dlg, 0).toString(), QString::fromUtf8("ReasonWriteOutput: No space left on device\n"
                                                                "avi: first\n"
                                                                "ffmpeg: muxer said no\n"
                                                                "avi: second\n"
                                                                "\xE2\x80\xA6"));
        EXPECT_EQ(ToolTip(dlg, 12).toString(), "ReasonReadInput: row 12");
        EXPECT_FALSE(ToolTip(dlg, 13).isValid());

        ASSERT_EQ(boxes.size(), 1u);
        const QString strDir = dir.path() + QLatin1Char('/');
        QString strExpected = "Fail\n\n" + strDir + "f00.ps: ReasonWriteOutput: No space left on device";
        for (int n = 1; n < CJobReport::kMaxListed; ++n)
            strExpected += QStringLiteral("\n%1f%2.ps: ReasonReadInput: row %3")
                               .arg(strDir)
                               .arg(n, 2, 10, QLatin1Char('0'))
                               .arg(n);
        EXPECT_EQ(boxes[0].strText, strExpected + "\nund 3 weitere\n\nFailAdvice");

        // The reason goes with its row when Clear removes the rows before
        // it, and a new batch has none.
        for (int n = 0; n < 14; ++n) dlg.GetModel()->SetRowChecked(n, n != 5);
        dlg.OnClear();
        ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
        EXPECT_EQ(ToolTip(dlg, 0).toString(), "ReasonReadInput: row 5");
        dlg.OnDropFiles(urls.mid(5, 1));
        EXPECT_FALSE(ToolTip(dlg, 0).isValid());
    }
}

// Whole runs through the real jobs: outputs must be readable by a real
// decoder.
#include "AppTestSupport.h"

#include "app/TrelvoDlg.h"

#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using apptest::CConfigFile;
using apptest::CModalWatcher;
using apptest::DecodedVideoFrames;
using apptest::WaitFor;
namespace fs = std::filesystem;

namespace {

fs::path TempPath(const QTemporaryDir& dir) {
    return fs::path(dir.path().toStdString());
}

QString Cell(const CTrelvoDlg& dlg, int nRow, int nColumn) {
    return QString::fromStdWString(dlg.GetList().GetRowText(nRow, nColumn));
}

}  // namespace

TEST(AppConvert, CommandLineFilesBecomeAviFilesBesideThem) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const fs::path a = apptest::CopyFixture("h264_320x180_25fps.h264", TempPath(dir), "cam1.h264");
    const fs::path b = apptest::CopyFixture("h264_320x180_25fps_repeat.h264", TempPath(dir), "cam2.h264");

    CModalWatcher watcher;
    CTrelvoDlg dlg(QStringList{QString::fromStdString(a.string()), QString::fromStdString(b.string())},
                   &CTrelvoDlg::RunConversionJob);
    ASSERT_EQ(dlg.GetList().GetRowCount(), 2);
    EXPECT_EQ(Cell(dlg, 0, COL_NO), "1");
    EXPECT_EQ(Cell(dlg, 1, COL_NO), "2");
    EXPECT_TRUE(dlg.IsJobRunning());
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));

    for (const char* pszName : {"cam1.avi", "cam2.avi"}) {
        const fs::path out = TempPath(dir) / pszName;
        ASSERT_TRUE(fs::exists(out)) << pszName;
        EXPECT_GT(DecodedVideoFrames(out), 0) << pszName;
    }
    EXPECT_EQ(Cell(dlg, 0, COL_PROGRESS), "100");
    EXPECT_EQ(Cell(dlg, 1, COL_PROGRESS), "100");
    EXPECT_NE(Cell(dlg, 0, COL_DESTRIBE), "Fail");
    // The AVI job ends without a message.
    EXPECT_TRUE(watcher.m_boxes.empty());
}

TEST(AppConvert, OutputsGoToTheStoredPathWhenTheDefaultIsOff) {
    QTemporaryDir dir;
    const fs::path out = TempPath(dir) / "out";
    fs::create_directory(out);
    const std::string strConfig = "[System]\nCheck=0\nPath=" + out.string() + "\n";
    CConfigFile config(strConfig.c_str());
    const fs::path a = apptest::CopyFixture("h264_320x180_25fps.h264", TempPath(dir), "cam1.h264");

    CTrelvoDlg dlg(QStringList{QString::fromStdString(a.string())}, &CTrelvoDlg::RunConversionJob);
    EXPECT_EQ(dlg.m_strSaveDir, out.wstring() + L"/");
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    EXPECT_GT(DecodedVideoFrames(out / "cam1.avi"), 0);
    EXPECT_FALSE(fs::exists(TempPath(dir) / "cam1.avi"));
}

TEST(AppConvert, Mp4RunEndsWithTheSuccessMessage) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const fs::path a = apptest::CopyFixture("h264_320x180_25fps.h264", TempPath(dir), "cam1.h264");
    CTrelvoDlg dlg(QStringList(), &CTrelvoDlg::RunConversionJob);
    dlg.OnDropFiles({QUrl::fromLocalFile(QString::fromStdString(a.string()))});
    dlg.findChild<QRadioButton*>("radioMp4")->click();

    CModalWatcher watcher;
    dlg.findChild<QPushButton*>("btnConvert")->click();
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));

    EXPECT_EQ(Cell(dlg, 0, COL_PROGRESS), "100");
    EXPECT_EQ(Cell(dlg, 0, COL_DESTRIBE), "Success");
    EXPECT_GT(DecodedVideoFrames(TempPath(dir) / "cam1.mp4"), 0);
    ASSERT_EQ(watcher.m_boxes.size(), 1u);
    // All converted: news, not a warning.
    EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(watcher.m_boxes[0].strText, "Success");
}

TEST(AppConvert, ClosingDuringAnMp4RunLeavesNoBrokenOutput) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    // A long input: many chunks, so the close lands in the middle.
    const fs::path one = apptest::CopyFixture("h264_320x180_25fps.h264", TempPath(dir), "one.h264");
    const fs::path big = TempPath(dir) / "long.h264";
    {
        std::ifstream in(one, std::ios::binary);
        const std::string strData((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::ofstream outFile(big, std::ios::binary);
        for (int n = 0; n < 300; ++n) outFile << strData;
    }
    fs::remove(one);
    CTrelvoDlg dlg(QStringList(), &CTrelvoDlg::RunConversionJob);
    dlg.OnDropFiles({QUrl::fromLocalFile(QString::fromStdString(big.string()))});
    dlg.findChild<QRadioButton*>("radioMp4")->click();
    dlg.show();

    CModalWatcher watcher;
    watcher.m_answer = QMessageBox::Yes;
    QSignalSpy finished(&dlg, &QDialog::finished);
    dlg.findChild<QPushButton*>("btnConvert")->click();
    // The worker waits for every progress update to be shown, so the close
    // lands in the middle of the file.
    ASSERT_TRUE(WaitFor([&] { return !Cell(dlg, 0, COL_PROGRESS).isEmpty(); }));
    dlg.close();
    ASSERT_TRUE(WaitFor([&] { return finished.count() == 1; }));
    EXPECT_LT(Cell(dlg, 0, COL_PROGRESS).toInt(), 100);
    EXPECT_FALSE(dlg.IsJobRunning());
    // Only the question whether to stop; the end message has nobody to read it.
    ASSERT_EQ(watcher.m_boxes.size(), 1u);
    EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Question);

    // Either finished properly or not there at all.
    const fs::path out = TempPath(dir) / "long.mp4";
    if (fs::exists(out)) {
        EXPECT_GT(DecodedVideoFrames(out), 0);
    }
}

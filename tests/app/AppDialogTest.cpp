// The main dialog with stand-in jobs: layout, batches, Clear, the convert
// checks, and how the worker's requests and the end of a run are handled.
#include "AppTestSupport.h"

#include "app/ConversionModel.h"
#include "app/TrelvoApp.h"
#include "app/TrelvoDlg.h"
#include "crash/CrashHandler.h"
#include "log/Log.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>
#include <QTreeView>
#include <QUrl>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <fstream>
#include <thread>

using apptest::CConfigFile;
using apptest::CModalWatcher;
using apptest::WaitFor;

namespace {

std::atomic<int> g_nJobsStarted{0};

uint32_t CountingJob(IConversionHost*, bool) {
    ++g_nJobsStarted;
    return 1;
}

class CTestDlg : public CTrelvoDlg {
public:
    using CTrelvoDlg::CTrelvoDlg;
    QStringList m_openResult;
    int m_nOpenAsked = 0;

protected:
    QStringList AskOpenFiles() override {
        ++m_nOpenAsked;
        return m_openResult;
    }
};

QString Cell(const CTrelvoDlg& dlg, int nRow, int nColumn) {
    return QString::fromStdWString(dlg.GetList().GetRowText(nRow, nColumn));
}

template <typename T>
T* Child(QWidget& dlg, const char* pszName) {
    T* p = dlg.findChild<T*>(QString::fromLatin1(pszName));
    EXPECT_NE(p, nullptr) << pszName;
    return p;
}

// Files with the given sizes in a temporary folder.
struct SFolder {
    QTemporaryDir dir;
    QString Make(const QString& strName, int nBytes) {
        QString strPath = dir.filePath(strName);
        std::ofstream(strPath.toStdString(), std::ios::binary) << std::string(size_t(nBytes), 'x');
        return strPath;
    }
    std::wstring DirWithSlash() const { return (dir.path() + QLatin1Char('/')).toStdWString(); }
};

// Drops the paths on the dialog as the window system would; true when the
// drag was accepted.
bool Drop(QWidget& target, const QStringList& paths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const QString& strPath : paths) urls << QUrl::fromLocalFile(strPath);
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &enter);
    if (!enter.isAccepted()) return false;
    QDropEvent drop(QPointF(100, 100), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&target, &drop);
    return drop.isAccepted();
}

void SetTicked(CTrelvoDlg& dlg, int nRow, bool bTicked) {
    CConversionModel* pModel = dlg.GetModel();
    pModel->setData(pModel->index(nRow, COL_NO), bTicked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
}

}  // namespace

TEST(AppDialog, StartsEmptyWithAviTickedAndTranslatedCaptions) {
    CConfigFile config(nullptr);
    g_nJobsStarted = 0;
    CTrelvoDlg dlg(QStringList(), &CountingJob);

    EXPECT_EQ(dlg.GetList().GetRowCount(), 0);
    EXPECT_FALSE(dlg.IsJobRunning());
    EXPECT_EQ(g_nJobsStarted, 0);
    EXPECT_EQ(g_pMainDlg, static_cast<IConversionHost*>(&dlg));
    EXPECT_TRUE(Child<QRadioButton>(dlg, "radioAvi")->isChecked());
    EXPECT_FALSE(Child<QRadioButton>(dlg, "radioMp4")->isChecked());

    // Keys with a translation in the test language file show it; the others
    // show the part after the first dot.
    EXPECT_EQ(dlg.windowTitle(), "Trelvo");
    EXPECT_EQ(Child<QLabel>(dlg, "labelFormat")->text(), "Format");
    EXPECT_EQ(Child<QRadioButton>(dlg, "radioAvi")->text(), "AVI");
    EXPECT_EQ(Child<QRadioButton>(dlg, "radioMp4")->text(), "MP4");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnOpen")->text(), QString::fromUtf8("\xC3\x96"
                                                                            "ffnen"));
    EXPECT_EQ(Child<QPushButton>(dlg, "btnClear")->text(), "Clear");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnConvert")->text(), "Conver");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnConfig")->text(), "Config");

    auto* pView = Child<QTreeView>(dlg, "listFiles");
    const QStringList expected = {"NO", "FileName",
                                  QString::fromUtf8("Gr\xC3\xB6\xC3\x9F"
                                                    "e"),
                                  "Progress", "Destribe"};
    const int widths[] = {40, 200, 60, 60, 100};
    ASSERT_EQ(pView->model()->columnCount(), 5);
    for (int n = 0; n < 5; ++n) {
        EXPECT_EQ(pView->model()->headerData(n, Qt::Horizontal).toString(), expected[n]);
        // The layout's widths are minimums (see AppFitTest).
        EXPECT_GE(pView->header()->sectionSize(n), widths[n]) << n;
    }
    EXPECT_EQ(pView->selectionMode(), QAbstractItemView::ExtendedSelection);
    EXPECT_EQ(pView->selectionBehavior(), QAbstractItemView::SelectRows);

    // Resizable, at least as large as its contents need.
    EXPECT_GE(dlg.width(), 480);
    EXPECT_GE(dlg.height(), 432);
    EXPECT_NE(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_FALSE(dlg.windowIcon().isNull());
    EXPECT_TRUE(dlg.acceptDrops());

    // Controls keep their template ids, and no button is a default one.
    const std::pair<const char*, int> ids[] = {{"radioAvi", 1000},  {"radioMp4", 1001}, {"listFiles", 1004},
                                               {"btnOpen", 1005},   {"btnClear", 1006}, {"btnConvert", 1007},
                                               {"btnConfig", 1008}, {"btnStop", 1009}};
    for (const auto& [pszName, nId] : ids)
        EXPECT_EQ(Child<QWidget>(dlg, pszName)->property("controlId").toInt(), nId) << pszName;
    for (QPushButton* pButton : dlg.findChildren<QPushButton*>()) {
        EXPECT_FALSE(pButton->isDefault());
        EXPECT_FALSE(pButton->autoDefault());
    }
    // Stop only while a job runs.
    EXPECT_FALSE(Child<QPushButton>(dlg, "btnStop")->isEnabled());
}

TEST(AppDialog, StartUpChoosesTheLanguageBeforeTheWindowAndEndsWithIt) {
    CConfigFile config("[themes]\nSolution=AppTest\n");
    int nSeen = 0;
    QString strOpen;
    CModalWatcher watcher([&](QWidget* pModal) {
        auto* pDlg = qobject_cast<CTrelvoDlg*>(pModal);
        ASSERT_NE(pDlg, nullptr);
        ++nSeen;
        strOpen = pDlg->findChild<QPushButton*>("btnOpen")->text();
        EXPECT_EQ(pDlg->GetList().GetRowCount(), 0);
        EXPECT_FALSE(pDlg->IsJobRunning());
        pDlg->close();
    });
    CTrelvoApp app;
    EXPECT_FALSE(app.InitInstance());
    // Start-up named this test program as the crash message command.
    SetCrashMessageCommand(nullptr);
    EXPECT_EQ(nSeen, 1);
    EXPECT_EQ(strOpen, QString::fromUtf8("\xC3\x96"
                                         "ffnen"));
    const QWidgetList windows = QApplication::topLevelWidgets();
    EXPECT_EQ(std::count_if(windows.begin(), windows.end(), [](QWidget* p) { return p->isVisible(); }), 0);
}

TEST(AppDialog, TheFatalErrorBoxSaysWhereTheDumpWent) {
    CModalWatcher watcher;
    CTrelvoApp::ShowFatalErrorBox(QStringLiteral("/home/ana/.local/state/trelvo/CrashDumpFile.dmp"));
    CTrelvoApp::ShowFatalErrorBox(QString());  // no dump could be written
    ASSERT_EQ(watcher.m_boxes.size(), 2u);
    EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(watcher.m_boxes[0].strText, "Fatal Error\nCrash dump: /home/ana/.local/state/trelvo/CrashDumpFile.dmp");
    EXPECT_EQ(watcher.m_boxes[1].strText, "Fatal Error");
}

TEST(AppDialog, CommandLineFilesAreAddedAndConvertedAsAviBeforeShowing) {
    CConfigFile config(nullptr);
    SFolder folder;
    const QString strA = folder.Make("a.h264", 10);
    folder.Make("b.h264", 20);

    // A relative name is taken from the current directory.
    const QString strOldCwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(folder.dir.path()));
    std::atomic<int> nAvi{0};
    std::wstring strSaveDir;
    {
        CTrelvoDlg dlg(QStringList{strA, QStringLiteral("b.h264")}, [&](IConversionHost* pHost, bool bAvi) {
            nAvi += bAvi ? 1 : 0;
            strSaveDir = pHost->GetSaveDir(0);
            return 1u;
        });
        QDir::setCurrent(strOldCwd);
        EXPECT_FALSE(dlg.isVisible());
        EXPECT_TRUE(dlg.IsJobRunning());
        ASSERT_EQ(dlg.GetList().GetRowCount(), 2);
        EXPECT_EQ(Cell(dlg, 0, COL_NO), "1");
        EXPECT_EQ(Cell(dlg, 1, COL_NO), "2");
        EXPECT_EQ(Cell(dlg, 1, COL_FILENAME), "b.h264");
        EXPECT_EQ(Cell(dlg, 1, COL_SIZE), "20");
        EXPECT_TRUE(dlg.GetList().IsRowChecked(0));
        EXPECT_TRUE(dlg.GetList().IsRowChecked(1));
        EXPECT_EQ(dlg.GetSourceDir(), folder.DirWithSlash());
        ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    }
    EXPECT_EQ(nAvi, 1);
    EXPECT_EQ(strSaveDir, folder.DirWithSlash());
}

TEST(AppDialog, DropSkipsFoldersAndAlwaysEmptiesTheListFirst) {
    SFolder folder;
    const QString strA = folder.Make("a.h264", 3);
    const QString strB = folder.Make("b.h264", 0);
    ASSERT_TRUE(QDir(folder.dir.path()).mkdir("sub"));
    const QString strSub = folder.dir.filePath("sub");

    CTrelvoDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, {strSub, strA, strB}));
    ASSERT_EQ(dlg.GetList().GetRowCount(), 2);
    EXPECT_EQ(Cell(dlg, 0, COL_NO), "1");
    EXPECT_EQ(Cell(dlg, 0, COL_FILENAME), "a.h264");
    EXPECT_EQ(Cell(dlg, 0, COL_SIZE), "3");
    EXPECT_EQ(Cell(dlg, 1, COL_NO), "2");
    EXPECT_EQ(Cell(dlg, 1, COL_FILENAME), "b.h264");
    EXPECT_EQ(Cell(dlg, 1, COL_SIZE), "0");
    EXPECT_TRUE(dlg.GetList().IsRowChecked(0) && dlg.GetList().IsRowChecked(1));
    EXPECT_EQ(dlg.GetSourceDir(), folder.DirWithSlash());
    EXPECT_EQ(dlg.GetModel()->rowCount(), 2);

    // A later drop replaces the rows, even when it brings only folders.
    ASSERT_TRUE(Drop(dlg, {strB}));
    ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
    EXPECT_EQ(Cell(dlg, 0, COL_FILENAME), "b.h264");
    ASSERT_TRUE(Drop(dlg, {strSub}));
    EXPECT_EQ(dlg.GetList().GetRowCount(), 0);
    EXPECT_EQ(dlg.GetModel()->rowCount(), 0);
}

TEST(AppDialog, UnreadableFileDoesNotEndTheBatch) {
    SFolder folder;
    const QString strA = folder.Make("a.h264", 5);
    const QString strGhost = folder.dir.filePath("missing.h264");
    const QString strC = folder.Make("c.h264", 7);

    CTrelvoDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, {strA, strGhost, strC}));
    ASSERT_EQ(dlg.GetList().GetRowCount(), 3);
    EXPECT_EQ(Cell(dlg, 1, COL_NO), "2");
    EXPECT_EQ(Cell(dlg, 1, COL_FILENAME), "missing.h264");
    EXPECT_EQ(Cell(dlg, 1, COL_SIZE), "");
    EXPECT_FALSE(dlg.GetList().IsRowChecked(1));
    EXPECT_EQ(Cell(dlg, 2, COL_NO), "3");
    EXPECT_EQ(Cell(dlg, 2, COL_SIZE), "7");
    EXPECT_TRUE(dlg.GetList().IsRowChecked(2));
}

TEST(AppDialog, OpenReplacesTheRowsAndCancelKeepsThem) {
    SFolder folder;
    QStringList five;
    for (int n = 0; n < 5; ++n) five << folder.Make(QStringLiteral("f%1.h264").arg(n), n);
    CTestDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, five));
    ASSERT_EQ(dlg.GetList().GetRowCount(), 5);

    Child<QPushButton>(dlg, "btnOpen")->click();
    EXPECT_EQ(dlg.m_nOpenAsked, 1);
    EXPECT_EQ(dlg.GetList().GetRowCount(), 5);

    dlg.m_openResult = {five[4], five[2], five[0]};
    Child<QPushButton>(dlg, "btnOpen")->click();
    ASSERT_EQ(dlg.GetList().GetRowCount(), 3);
    EXPECT_EQ(Cell(dlg, 0, COL_NO), "1");
    EXPECT_EQ(Cell(dlg, 0, COL_FILENAME), "f4.h264");
    EXPECT_EQ(Cell(dlg, 2, COL_NO), "3");
    EXPECT_EQ(Cell(dlg, 2, COL_FILENAME), "f0.h264");
}

TEST(AppDialog, ClearRemovesOnlyTheTickedRows) {
    SFolder folder;
    QStringList five;
    for (int n = 0; n < 5; ++n) five << folder.Make(QStringLiteral("f%1.h264").arg(n), n);
    CTrelvoDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, five));
    for (int n : {0, 2, 4}) SetTicked(dlg, n, false);

    Child<QPushButton>(dlg, "btnClear")->click();
    ASSERT_EQ(dlg.GetList().GetRowCount(), 3);
    ASSERT_EQ(dlg.GetModel()->rowCount(), 3);
    const char* numbers[] = {"1", "3", "5"};
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(Cell(dlg, n, COL_NO), numbers[n]);
        EXPECT_FALSE(dlg.GetList().IsRowChecked(n));
    }
    EXPECT_EQ(Cell(dlg, 1, COL_FILENAME), "f2.h264");
    EXPECT_EQ(Cell(dlg, 1, COL_SIZE), "2");

    // Nothing ticked: nothing goes.
    Child<QPushButton>(dlg, "btnClear")->click();
    EXPECT_EQ(dlg.GetList().GetRowCount(), 3);
    EXPECT_EQ(dlg.GetSourceDir(), folder.DirWithSlash());
}

TEST(AppDialog, ConvertWithNothingTickedAsksForAFile) {
    CConfigFile config(nullptr);
    SFolder folder;
    g_nJobsStarted = 0;
    CTrelvoDlg dlg(QStringList(), &CountingJob);
    CModalWatcher watcher;

    Child<QPushButton>(dlg, "btnConvert")->click();  // empty list
    ASSERT_TRUE(Drop(dlg, {folder.Make("a.h264", 1)}));
    SetTicked(dlg, 0, false);
    Child<QPushButton>(dlg, "btnConvert")->click();

    ASSERT_EQ(watcher.m_boxes.size(), 2u);
    for (const apptest::SBox& box : watcher.m_boxes) {
        EXPECT_EQ(box.icon, QMessageBox::NoIcon);
        EXPECT_EQ(box.strTitle, "Hinweis");
        EXPECT_EQ(box.strText, QString::fromUtf8("Bitte eine Datei w\xC3\xA4hlen"));
    }
    EXPECT_EQ(g_nJobsStarted, 0);
    EXPECT_FALSE(dlg.IsJobRunning());
}

TEST(AppDialog, ConvertWithAnEmptySaveDirectoryIsAnImproperArgument) {
    CConfigFile config("[System]\nCheck=0\n");
    SFolder folder;
    g_nJobsStarted = 0;
    CTrelvoDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, {folder.Make("a.h264", 1)}));
    CModalWatcher watcher;
    Child<QPushButton>(dlg, "btnConvert")->click();

    ASSERT_EQ(watcher.m_boxes.size(), 1u);
    EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Critical);
    EXPECT_EQ(watcher.m_boxes[0].strText, "Encountered an improper argument.");
    EXPECT_EQ(watcher.m_boxes[0].strTitle, QCoreApplication::applicationName());
    EXPECT_EQ(g_nJobsStarted, 0);
    EXPECT_TRUE(dlg.m_strSaveDir.empty());
    EXPECT_EQ(Cell(dlg, 0, COL_PROGRESS), "");
}

TEST(AppDialog, SaveDirectoryEndsInExactlyOneSlash) {
    SFolder folder;
    std::wstring strSeen;
    bool bOnWorker = false;
    CTrelvoDlg dlg(QStringList(), [&](IConversionHost* pHost, bool) {
        bOnWorker = QThread::currentThread() != qApp->thread();
        strSeen = pHost->GetSaveDir(0);
        return 1u;
    });
    ASSERT_TRUE(Drop(dlg, {folder.Make("a.h264", 1)}));

    const auto run = [&](const char* pszConfig) {
        CConfigFile config(pszConfig);
        strSeen.clear();
        Child<QPushButton>(dlg, "btnConvert")->click();
        EXPECT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
        return strSeen;
    };
    EXPECT_EQ(run("[System]\nCheck=0\nPath=/srv/out\n"), L"/srv/out/");
    EXPECT_TRUE(bOnWorker);
    EXPECT_EQ(run("[System]\nCheck=0\nPath=/srv/out/\n"), L"/srv/out/");
    EXPECT_EQ(run("[System]\nCheck=1\nPath=/srv/out\n"), folder.DirWithSlash());
    EXPECT_EQ(run(nullptr), folder.DirWithSlash());
}

TEST(AppDialog, WorkerRequestsAreCarriedOutByTheInterfaceThread) {
    CConfigFile config(nullptr);
    SFolder folder;
    struct SSeen {
        int32_t nRows = -1;
        bool bChecked0 = false, bChecked1 = true, bAvi = true;
        std::wstring strName, strSource, strOutside = L"x";
    } seen;
    CTrelvoDlg dlg(QStringList(), [&](IConversionHost* pHost, bool bAvi) {
        seen.bAvi = bAvi;
        seen.nRows = pHost->GetRowCount();
        seen.bChecked0 = pHost->IsRowChecked(0);
        seen.bChecked1 = pHost->IsRowChecked(1);
        seen.strName = pHost->GetRowText(0, COL_FILENAME);
        seen.strOutside = pHost->GetRowText(5, COL_FILENAME);
        seen.strSource = pHost->GetSourceDir(0);
        pHost->SetRowText(0, COL_PROGRESS, L"100");
        pHost->SetRowText(0, COL_DESTRIBE, L"Success");
        pHost->SetRowText(9, COL_DESTRIBE, L"ignored");
        pHost->ShowMessage(L"Done");
        return 1u;
    });
    ASSERT_TRUE(Drop(dlg, {folder.Make("a.h264", 1), folder.Make("b.h264", 1)}));
    SetTicked(dlg, 1, false);
    Child<QRadioButton>(dlg, "radioMp4")->click();
    CModalWatcher watcher;
    Child<QPushButton>(dlg, "btnConvert")->click();
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));

    EXPECT_FALSE(seen.bAvi);
    EXPECT_EQ(seen.nRows, 2);
    EXPECT_TRUE(seen.bChecked0);
    EXPECT_FALSE(seen.bChecked1);
    EXPECT_EQ(seen.strName, L"a.h264");
    EXPECT_EQ(seen.strOutside, L"");
    EXPECT_EQ(seen.strSource, folder.DirWithSlash());
    const QModelIndex progress = dlg.GetModel()->index(0, COL_PROGRESS);
    EXPECT_EQ(dlg.GetModel()->data(progress).toString(), "100");
    EXPECT_EQ(Cell(dlg, 0, COL_DESTRIBE), "Success");
    EXPECT_EQ(dlg.GetList().GetRowCount(), 2);

    // The closing message, shown for the worker; nothing failed.
    ASSERT_EQ(watcher.m_boxes.size(), 1u);
    EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Information);
    EXPECT_EQ(watcher.m_boxes[0].strText, "Done");
    EXPECT_EQ(watcher.m_boxes[0].strTitle, QCoreApplication::applicationName());
}

TEST(AppDialog, BatchesAndButtonsAreRefusedWhileAJobRuns) {
    CConfigFile config(nullptr);
    SFolder folder;
    std::atomic<bool> bRelease{false};
    std::atomic<bool> bInJob{false};
    std::atomic<int> nStarted{0};
    CTestDlg dlg(QStringList(), [&](IConversionHost* pHost, bool) {
        ++nStarted;
        pHost->SetRowText(0, COL_PROGRESS, L"1");
        bInJob = true;
        while (!bRelease) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return 1u;
    });
    const QString strA = folder.Make("a.h264", 1);
    const QString strB = folder.Make("b.h264", 1);
    ASSERT_TRUE(Drop(dlg, {strA, strB}));
    const char* buttons[] = {"btnOpen", "btnClear", "btnConvert", "btnConfig"};

    Child<QPushButton>(dlg, "btnConvert")->click();
    ASSERT_TRUE(WaitFor([&] { return bInJob.load(); }));
    for (const char* pszName : buttons) EXPECT_FALSE(Child<QPushButton>(dlg, pszName)->isEnabled()) << pszName;

    dlg.m_openResult = {strA};
    EXPECT_FALSE(Drop(dlg, {strB}));
    dlg.OnDropFiles({QUrl::fromLocalFile(strB)});
    dlg.OnOpen();
    dlg.OnClear();
    dlg.OnConvert();
    dlg.OnConfig();
    EXPECT_EQ(dlg.m_nOpenAsked, 0);
    EXPECT_EQ(dlg.GetList().GetRowCount(), 2);
    EXPECT_EQ(nStarted, 1);

    bRelease = true;
    QSignalSpy finished(&dlg, &CTrelvoDlg::JobFinished);
    ASSERT_TRUE(WaitFor([&] { return finished.count() == 1; }));
    for (const char* pszName : buttons) EXPECT_TRUE(Child<QPushButton>(dlg, pszName)->isEnabled()) << pszName;
    EXPECT_EQ(Cell(dlg, 0, COL_PROGRESS), "1");

    // And they work again.
    Child<QPushButton>(dlg, "btnConvert")->click();
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    EXPECT_EQ(nStarted, 2);
    EXPECT_TRUE(Drop(dlg, {strB}));
    EXPECT_EQ(dlg.GetList().GetRowCount(), 1);
}

// A job on one row that makes one kind of request until the dialog asks it
// to stop, then ends as the real jobs do: a warning, the row's failed result
// and the closing message, which nobody is left to read.
class AppDialogClose : public ::testing::Test {
protected:
    CTrelvoDlg::JobRoutine Job(const std::function<void(IConversionHost*)>& fnRequest) {
        return [this, fnRequest](IConversionHost* pHost, bool) {
            pHost->OnRowStart(0);
            while (!pHost->IsStopRequested()) {
                fnRequest(pHost);
                ++m_nCalls;
            }
            TRELVO_LOG_WARNING("avi", "stopping");
            pHost->SetRowText(0, COL_DESTRIBE, L"stopped");
            pHost->OnRowDone(0, convert::Failure(convert::EReason::Stopped), L"");
            pHost->ShowMessage(L"late");
            m_bEnded = true;
            return 1u;
        };
    }

    void AddRow(CTrelvoDlg& dlg) { ASSERT_TRUE(Drop(dlg, {m_folder.Make("a.h264", 1)})); }
    bool WaitForRequests() {
        return WaitFor([&] { return m_nCalls > 3; });
    }

    // Answers the question whether to stop with Yes.
    void SetUp() override { m_watcher.m_answer = QMessageBox::Yes; }

    CConfigFile m_config{nullptr};
    SFolder m_folder;
    CModalWatcher m_watcher;
    std::atomic<int> m_nCalls{0};
    std::atomic<bool> m_bEnded{false};
};

TEST_F(AppDialogClose, ClosingDuringAJobStopsItBeforeTheDialogEnds) {
    CTrelvoDlg dlg(QStringList(), Job([this](IConversionHost* pHost) {
                       pHost->SetRowText(0, COL_PROGRESS, std::to_wstring(m_nCalls + 1));
                   }));
    AddRow(dlg);
    dlg.show();
    QSignalSpy finished(&dlg, &QDialog::finished);
    Child<QPushButton>(dlg, "btnConvert")->click();
    ASSERT_TRUE(WaitForRequests());

    // Escape and Enter do not end a running job, nor does No to the question.
    QTest::keyClick(&dlg, Qt::Key_Escape);
    QTest::keyClick(Child<QTreeView>(dlg, "listFiles"), Qt::Key_Return);
    m_watcher.m_answer = QMessageBox::No;
    dlg.close();
    ASSERT_EQ(m_watcher.m_boxes.size(), 1u);
    EXPECT_EQ(m_watcher.m_boxes[0].icon, QMessageBox::Question);
    EXPECT_EQ(m_watcher.m_boxes[0].strText, "AskStopClose");
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.IsJobRunning());
    EXPECT_FALSE(m_bEnded);

    m_watcher.m_answer = QMessageBox::Yes;
    dlg.close();
    EXPECT_FALSE(dlg.isVisible());
    EXPECT_EQ(finished.count(), 0);
    ASSERT_TRUE(WaitFor([&] { return finished.count() == 1; }));
    EXPECT_TRUE(m_bEnded);
    EXPECT_FALSE(dlg.IsJobRunning());
    EXPECT_EQ(dlg.result(), QDialog::Rejected);
    EXPECT_EQ(m_watcher.m_boxes.size(), 2u);
    // The row still tells why it ended.
    const QModelIndex result = dlg.GetModel()->index(0, COL_DESTRIBE);
    EXPECT_EQ(dlg.GetModel()->data(result, Qt::ToolTipRole).toString(), "ReasonStopped\navi: stopping");
}

TEST_F(AppDialogClose, StopEndsTheJobAfterItsPieceAndMarksTheRowStopped) {
    CTrelvoDlg dlg(QStringList(), Job([this](IConversionHost* pHost) {
                       pHost->SetRowText(0, COL_PROGRESS, std::to_wstring(m_nCalls % 100));
                   }));
    AddRow(dlg);
    AddRow(dlg);  // the drop replaced the list: still one row
    dlg.show();
    auto* pStop = Child<QPushButton>(dlg, "btnStop");
    Child<QPushButton>(dlg, "btnConvert")->click();
    ASSERT_TRUE(WaitForRequests());
    EXPECT_TRUE(pStop->isEnabled());
    EXPECT_TRUE(dlg.StatusText().startsWith("StatusFiles 0 1")) << dlg.StatusText().toStdString();

    QSignalSpy finished(&dlg, &CTrelvoDlg::JobFinished);
    pStop->click();
    EXPECT_FALSE(pStop->isEnabled());
    ASSERT_TRUE(WaitFor([&] { return finished.count() == 1; }));
    EXPECT_TRUE(m_bEnded);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_EQ(Cell(dlg, 0, COL_DESTRIBE), "Stopped");
    EXPECT_EQ(dlg.StatusText(), "StatusStopped 0 1");
    // Stopping is no failure to report.
    EXPECT_TRUE(m_watcher.m_boxes.empty());
    EXPECT_FALSE(pStop->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(dlg, "btnConvert")->isEnabled());
}

TEST_F(AppDialogClose, DestroyingTheDialogDuringAJobWaitsWithoutDeadlock) {
    // Every request needs the interface thread while the owner is being
    // torn down.
    auto* pDlg = new CTrelvoDlg(QStringList(), Job([](IConversionHost* pHost) { pHost->GetRowCount(); }));
    AddRow(*pDlg);
    pDlg->OnConvert();
    ASSERT_TRUE(WaitForRequests());
    delete pDlg;
    EXPECT_TRUE(m_bEnded);
    EXPECT_EQ(g_pMainDlg, nullptr);
    EXPECT_TRUE(m_watcher.m_boxes.empty());
}

TEST_F(AppDialogClose, ClosingTheModalWindowDuringAJobEndsTheProgramCleanly) {
    // As the program runs it: the modal run returns when the window goes,
    // and the dialog is destroyed while the job may still be stopping.
    auto* pDlg =
        new CTrelvoDlg(QStringList(), Job([](IConversionHost* pHost) { pHost->SetRowText(0, COL_PROGRESS, L"5"); }));
    AddRow(*pDlg);
    pDlg->OnConvert();
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (m_nCalls > 3) pDlg->close();
    });
    closer.start(1);
    pDlg->exec();
    closer.stop();
    EXPECT_FALSE(pDlg->isVisible());
    delete pDlg;
    EXPECT_TRUE(m_bEnded);
    // The question only; the timer may have asked once more before it went.
    ASSERT_FALSE(m_watcher.m_boxes.empty());
    for (const apptest::SBox& box : m_watcher.m_boxes) EXPECT_EQ(box.icon, QMessageBox::Question);
}

TEST(AppDialog, KeyboardOpensRemovesConvertsAndNeverCloses) {
    CConfigFile config(nullptr);
    SFolder folder;
    g_nJobsStarted = 0;
    CTestDlg dlg(QStringList(), &CountingJob);
    const QString strA = folder.Make("a.h264", 1);
    dlg.m_openResult = {strA, folder.Make("b.h264", 1), folder.Make("c.h264", 1)};
    dlg.show();
    QApplication::setActiveWindow(&dlg);
    QSignalSpy finished(&dlg, &QDialog::finished);
    auto* pView = Child<QTreeView>(dlg, "listFiles");
    pView->setFocus();

    QTest::keyClick(pView, Qt::Key_O, Qt::ControlModifier);
    EXPECT_EQ(dlg.m_nOpenAsked, 1);
    ASSERT_EQ(dlg.GetList().GetRowCount(), 3);
    SetTicked(dlg, 1, false);
    // Delete removes the ticked rows, as Clear does.
    QTest::keyClick(pView, Qt::Key_Delete);
    ASSERT_EQ(dlg.GetList().GetRowCount(), 1);
    EXPECT_EQ(Cell(dlg, 0, COL_FILENAME), "b.h264");

    // Enter on a push button presses it; anywhere else it converts.
    dlg.m_openResult = {strA};
    auto* pOpen = Child<QPushButton>(dlg, "btnOpen");
    pOpen->setFocus();
    QTest::keyClick(pOpen, Qt::Key_Return);
    EXPECT_EQ(dlg.m_nOpenAsked, 2);
    pView->setFocus();
    QTest::keyClick(pView, Qt::Key_Return);
    ASSERT_TRUE(WaitFor([&] { return !dlg.IsJobRunning(); }));
    EXPECT_EQ(g_nJobsStarted, 1);

    // The format keeps its caption (the mnemonic comes from the language file).
    auto* pMp4 = Child<QRadioButton>(dlg, "radioMp4");
    EXPECT_EQ(pMp4->text(), "MP4");
    QTest::keyClick(&dlg, Qt::Key_Escape);
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dlg.isVisible());
}

TEST(AppDialog, TheFormatAndTheWindowAreRememberedAndRowsTellTheirOutput) {
    CConfigFile config(nullptr);
    SFolder folder;
    QRect geometry;
    {
        CTrelvoDlg dlg(QStringList(), &CountingJob);
        EXPECT_TRUE(Child<QRadioButton>(dlg, "radioAvi")->isChecked());
        ASSERT_TRUE(Drop(dlg, {folder.Make("cam.h264", 1)}));
        // Before a run the tooltip says where the output will go.
        const QModelIndex name = dlg.GetModel()->index(0, COL_FILENAME);
        const QString strIn = folder.dir.filePath("cam.h264");
        EXPECT_EQ(name.data(Qt::ToolTipRole).toString(), strIn + "\nOutputTip " + folder.dir.filePath("cam.avi"));
        Child<QRadioButton>(dlg, "radioMp4")->click();
        EXPECT_EQ(name.data(Qt::ToolTipRole).toString(), strIn + "\nOutputTip " + folder.dir.filePath("cam.mp4"));
        dlg.show();
        dlg.resize(1000, 700);
        QApplication::processEvents();
        // The list takes the room and the name column the width.
        auto* pView = Child<QTreeView>(dlg, "listFiles");
        EXPECT_GT(pView->height(), 500);
        EXPECT_EQ(pView->header()->length(), pView->viewport()->width());
        EXPECT_GT(pView->header()->sectionSize(COL_FILENAME), 500);
        geometry = dlg.geometry();
        dlg.close();
    }
    EXPECT_NE(CConfigFile::Read().find("Format=MP4"), std::string::npos);
    CTrelvoDlg again(QStringList(), &CountingJob);
    EXPECT_TRUE(Child<QRadioButton>(again, "radioMp4")->isChecked());
    EXPECT_EQ(again.size(), geometry.size());
}

TEST(AppDialog, ConfigOkRereadsTheSaveDirectoryAndCancelChangesNothing) {
    CConfigFile config(nullptr);
    SFolder folder;
    const std::string strOut = folder.dir.filePath("out").toStdString();
    CTrelvoDlg dlg(QStringList(), &CountingJob);
    ASSERT_TRUE(Drop(dlg, {folder.Make("a.h264", 1)}));

    bool bOk = true;
    int nSeen = 0;
    CModalWatcher watcher([&](QWidget* pModal) {
        ++nSeen;
        pModal->findChild<QCheckBox*>("checkDefaultPath")->click();
        pModal->findChild<QLineEdit*>("editPath")->setText(QString::fromStdString(strOut));
        pModal->findChild<QPushButton*>(bOk ? "btnOk" : "btnCancel")->click();
    });
    dlg.OnConfig();
    EXPECT_EQ(nSeen, 1);
    EXPECT_EQ(dlg.m_strSaveDir, QString::fromStdString(strOut).toStdWString());
    EXPECT_TRUE(QDir(QString::fromStdString(strOut)).exists());

    dlg.m_strSaveDir = L"kept";
    bOk = false;
    dlg.OnConfig();
    EXPECT_EQ(nSeen, 2);
    EXPECT_EQ(dlg.m_strSaveDir, L"kept");
}

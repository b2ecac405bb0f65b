#include "app/TrelvoDlg.h"

#include "app/ConversionModel.h"
#include "app/ProgressDelegate.h"
#include "convert/ConvertEngine.h"
#include "crash/CrashHandler.h"
#include "lang/MultiLanguage.h"
#include "platform/QtPaths.h"
#include "settings/ConverSet.h"
#include "settings/Settings.h"
#include "ui_TrelvoDlg.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QHeaderView>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QShortcut>
#include <QStyle>
#include <QStyleOptionViewItem>
#include <QThread>
#include <QUrl>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <type_traits>

// The icon lives in this static library, whose resources need registering.
static void InitTrelvoResources() {
    static const bool bDone = [] {
        Q_INIT_RESOURCE(trelvo);
        return true;
    }();
    (void)bDone;
}

namespace {

QString Text(const wchar_t* pszKey) {
    return QString::fromStdWString(CMultiLanguage::GetText(pszKey));
}

// A translated text with its place holders filled; a translation that lost
// them still shows the values.
QString Filled(const wchar_t* pszKey, const QStringList& values) {
    QString strText = Text(pszKey);
    for (int n = 0; n < values.size(); ++n) {
        const QString strMark = QLatin1Char('%') + QString::number(n + 1);
        strText =
            strText.contains(strMark) ? strText.replace(strMark, values[n]) : strText + QLatin1Char(' ') + values[n];
    }
    return strText;
}

// Besides the design's own entry, one for each kind of stream the converter
// reads; the last shows everything.
QString OpenFilter() {
    return QStringList{QStringLiteral("Video files (*.h264) (*)"),
                       Text(L"Trelvo.FilterElementary") + QStringLiteral(" (*.h264 *.264 *.avc *.h265 *.265 *.hevc)"),
                       Text(L"Trelvo.FilterProgram") + QStringLiteral(" (*.ps *.mpg *.mpeg *.vob *.dav)"),
                       Text(L"Trelvo.FilterTransport") + QStringLiteral(" (*.ts *.m2ts *.mts *.trp)"),
                       Text(L"Trelvo.FilterAll") + QStringLiteral(" (*)")}
        .join(QStringLiteral(";;"));
}

// A file URL that carries the name's bytes as they are.
QUrl LocalUrl(const QString& strPath) {
    return QUrl::fromEncoded(QByteArrayLiteral("file://") + QUrl::toPercentEncoding(qtpaths::ToBytes(strPath), "/"));
}

// Room for a name of a few words beside the other columns.
constexpr int kMinNameWidth = 120;

constexpr int kColumnWidths[COL_COUNT] = {40, 200, 60, 60, 100};
constexpr const wchar_t* kColumnKeys[COL_COUNT] = {L"Trelvo.NO", L"Trelvo.FileName", L"Trelvo.Size", L"Trelvo.Progress",
                                                   L"Trelvo.Destribe"};
// Sizes are shown in bytes: eleven digits cover files of tens of gigabytes.
constexpr int kSizeDigits = 11;

// Width of a cell showing the text, as the item delegate lays it out.
int CellWidth(const QTreeView* pView, const QString& strText) {
    QStyleOptionViewItem opt;
    opt.initFrom(pView);
    opt.font = pView->font();
    opt.fontMetrics = pView->fontMetrics();
    opt.features = QStyleOptionViewItem::HasDisplay;
    opt.displayAlignment = Qt::AlignLeft | Qt::AlignVCenter;
    opt.text = strText;
    return pView->style()->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), pView).width();
}

// The layout's width, or more when the header or the texts the column will
// hold need it.
void SizeColumns(QTreeView* pView) {
    QHeaderView* pHeader = pView->header();
    for (int nColumn = 0; nColumn < COL_COUNT; ++nColumn) {
        int nWidth = std::max(kColumnWidths[nColumn], pHeader->sectionSizeHint(nColumn));
        if (nColumn == COL_SIZE) nWidth = std::max(nWidth, CellWidth(pView, QString(kSizeDigits, QLatin1Char('0'))));
        if (nColumn == COL_DESTRIBE) {
            for (const wchar_t* pszKey : {L"Trelvo.Success", L"Trelvo.Fail"})
                nWidth = std::max(nWidth, CellWidth(pView, Text(pszKey)));
        }
        pHeader->resizeSection(nColumn, nWidth);
    }
    // The name takes whatever the window gives beyond the other columns.
    pHeader->setSectionResizeMode(COL_FILENAME, QHeaderView::Stretch);
    pHeader->setMinimumSectionSize(std::min(pHeader->minimumSectionSize(), kMinNameWidth));
}

// The list is never narrower than its columns at their least.
void SetListMinimumWidth(QTreeView* pView) {
    int nWidth = kMinNameWidth;
    for (int nColumn = 0; nColumn < COL_COUNT; ++nColumn) {
        if (nColumn != COL_FILENAME) nWidth += pView->header()->sectionSize(nColumn);
    }
    nWidth += 2 * pView->frameWidth() + pView->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, pView);
    pView->setMinimumWidth(nWidth);
}

// A path from outside (bytes in the lossless QString form) made absolute
// against the current directory, also taken as bytes.
QString AbsolutePath(const QString& strPath) {
    if (strPath.startsWith(QLatin1Char('/'))) return strPath;
    std::error_code ec;
    const std::string strCwd = std::filesystem::current_path(ec).native();
    return qtpaths::FromBytes(QByteArray::fromStdString(strCwd)) + QLatin1Char('/') + strPath;
}

bool IsDirectory(const QString& strPath) {
    struct stat st {};
    return ::stat(qtpaths::ToBytes(strPath).constData(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ShowBox(QWidget* pOwner, QMessageBox::Icon icon, const QString& strCaption, const QString& strText) {
    if (icon == QMessageBox::Information) QApplication::beep();
    QMessageBox box(icon, strCaption, strText, QMessageBox::Ok, pOwner);
    // File names in a message are not markup.
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

}  // namespace

CTrelvoDlg::CTrelvoDlg(const QStringList& files, JobRoutine fnJob, QWidget* pParent)
    : QDialog(pParent),
      m_hIcon((InitTrelvoResources(), QIcon(QStringLiteral(":/trelvo/trelvo.png")))),
      m_ui(std::make_unique<Ui::CTrelvoDlg>()),
      m_fnJob(std::move(fnJob)),
      m_rowLog(this, [this](int32_t nRow, const std::wstring& strLine) { m_report.AddLogLine(nRow, strLine); }) {
    m_ui->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                   Qt::WindowMaximizeButtonHint | Qt::WindowCloseButtonHint);
    setAcceptDrops(true);

    connect(m_ui->btnOpen, &QPushButton::clicked, this, &CTrelvoDlg::OnOpen);
    connect(m_ui->btnClear, &QPushButton::clicked, this, &CTrelvoDlg::OnClear);
    connect(m_ui->btnConvert, &QPushButton::clicked, this, &CTrelvoDlg::OnConvert);
    connect(m_ui->btnStop, &QPushButton::clicked, this, &CTrelvoDlg::OnStop);
    connect(m_ui->btnConfig, &QPushButton::clicked, this, &CTrelvoDlg::OnConfig);
    // A choice the user makes is the next start's choice too.
    for (QRadioButton* pRadio : {m_ui->radioAvi, m_ui->radioMp4})
        connect(pRadio, &QRadioButton::clicked, this,
                [this] { settings::WriteMp4Chosen(m_ui->radioMp4->isChecked()); });
    connect(new QShortcut(QKeySequence::Open, this), &QShortcut::activated, this, &CTrelvoDlg::OnOpen);
    connect(new QShortcut(QKeySequence(Qt::Key_Delete), this), &QShortcut::activated, this, &CTrelvoDlg::OnClear);
    connect(m_ui->listFiles, &QTreeView::doubleClicked, this, &CTrelvoDlg::OnRowActivated);
    connect(m_ui->listFiles, &QTreeView::customContextMenuRequested, this, &CTrelvoDlg::OnContextMenu);
    m_statusTimer.setInterval(500);
    connect(&m_statusTimer, &QTimer::timeout, this, &CTrelvoDlg::UpdateStatus);

    OnInitDialog(files);
}

CTrelvoDlg::~CTrelvoDlg() {
    if (m_hThread.joinable()) {
        // The event loop may be gone: carry out the worker's pending requests
        // here until it has seen the stop and ended, so it never waits on us.
        m_bStopRequested = true;
        while (!m_bWorkerDone) {
            QCoreApplication::sendPostedEvents(this, QEvent::MetaCall);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        m_hThread.join();
    }
    if (g_pMainDlg == this) g_pMainDlg = nullptr;
    // The list dies before the base class hides a visible window, and the
    // view would read it then.
    m_ui->listFiles->setModel(nullptr);
}

uint32_t CTrelvoDlg::RunConversionJob(IConversionHost* pHost, bool bAvi) {
    return bAvi ? AviConvertThread(pHost) : Mp4ConvertThread(pHost);
}

void CTrelvoDlg::OnInitDialog(const QStringList& files) {
    setWindowIcon(m_hIcon);
    InstallCrashHandler();
    CMultiLanguage::TranslateDialog(this);

    m_pModel = new CConversionModel(m_list, this);
    QStringList headers;
    for (const wchar_t* pszKey : kColumnKeys) headers << Text(pszKey);
    m_pModel->SetHeaders(headers);
    QTreeView* pView = m_ui->listFiles;
    pView->setModel(m_pModel);
    pView->header()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    pView->header()->setStretchLastSection(false);
    pView->header()->setSectionsMovable(false);
    pView->setItemDelegateForColumn(COL_PROGRESS, new CProgressDelegate(pView));
    SizeColumns(pView);
    SetListMinimumWidth(pView);
    m_pModel->SetPlannedOutput([this](int32_t nRow) { return PlannedOutput(nRow); });
    // The layout gives every caption its room; the window opens where and as
    // large as it was left.
    const QByteArray geometry = QByteArray::fromHex(QByteArray::fromStdString(settings::ReadWindowGeometry()));
    if (geometry.isEmpty() || !restoreGeometry(geometry)) resize(size().expandedTo(minimumSizeHint()));

    g_pMainDlg = this;
    // AVI unless the user chose MP4 last time.
    (settings::ReadMp4Chosen() ? m_ui->radioMp4 : m_ui->radioAvi)->setChecked(true);
    UpdateControls();

    if (!files.isEmpty()) {
        // The list is still empty; relative names are taken from the
        // current directory so that every row has a real folder.
        QStringList paths;
        for (const QString& strFile : files) paths << AbsolutePath(strFile);
        AddBatch(paths);
        OnConvert();
    }
}

void CTrelvoDlg::AddBatch(const QStringList& paths) {
    // A file whose size cannot be read gets an unticked row; the batch goes on.
    for (const QString& strPath : paths) m_pModel->AddFileRow(qtpaths::ToWide(strPath));
    // Beyond what the column was made for, it grows (the list scrolls).
    QHeaderView* pHeader = m_ui->listFiles->header();
    for (int32_t nRow = 0; nRow < m_list.GetRowCount(); ++nRow) {
        const QString strSize = QString::fromStdWString(m_list.GetRowText(nRow, COL_SIZE));
        pHeader->resizeSection(COL_SIZE, std::max(pHeader->sectionSize(COL_SIZE), CellWidth(m_ui->listFiles, strSize)));
    }
}

QStringList CTrelvoDlg::AskOpenFiles() {
    // As URLs: a native dialog hands over names byte for byte that way.
    QStringList paths;
    for (const QUrl& url : QFileDialog::getOpenFileUrls(this, QString(), QUrl(), OpenFilter()))
        paths << qtpaths::FindDecodedName(qtpaths::FromUrl(url));
    paths.removeAll(QString());
    return paths;
}

void CTrelvoDlg::OnOpen() {
    if (m_bJobRunning) return;
    const QStringList files = AskOpenFiles();
    if (files.isEmpty()) return;
    m_pModel->RemoveAllRows();
    AddBatch(files);
}

void CTrelvoDlg::OnClear() {
    if (m_bJobRunning) return;
    m_pModel->RemoveCheckedRows();
}

void CTrelvoDlg::OnDropFiles(const QList<QUrl>& urls) {
    if (m_bJobRunning) return;
    m_pModel->RemoveAllRows();
    QStringList paths;
    for (const QUrl& url : urls) {
        const QString strPath = qtpaths::FromUrl(url);
        if (strPath.isEmpty() || IsDirectory(strPath)) continue;
        paths << strPath;
    }
    AddBatch(paths);
}

void CTrelvoDlg::OnConfig() {
    if (m_bJobRunning) return;
    CConverSet dlg(this);
    if (dlg.exec() == QDialog::Accepted) m_strSaveDir = settings::SaveDirFromConfig(m_list.m_strSourceDir);
}

void CTrelvoDlg::OnConvert() {
    if (m_bJobRunning) return;
    int nChecked = 0;
    for (int32_t nRow = 0; nRow < m_list.GetRowCount(); ++nRow) {
        if (m_list.IsRowChecked(nRow)) ++nChecked;
    }
    if (nChecked == 0) {
        ShowBox(this, QMessageBox::NoIcon, Text(L"Ambrel.Prompt"), Text(L"Trelvo.SelectFile"));
        return;
    }
    m_strSaveDir = settings::SaveDirFromConfig(m_list.m_strSourceDir);
    if (m_strSaveDir.empty()) {
        ShowBox(this, QMessageBox::Critical, QCoreApplication::applicationName(),
                QStringLiteral("Encountered an improper argument."));
        return;
    }
    if (m_strSaveDir.back() != L'/') m_strSaveDir += L'/';
    StartJob(m_ui->radioAvi->isChecked());
}

void CTrelvoDlg::OnStop() {
    if (!m_bJobRunning || m_bStopRequested) return;
    m_bStoppedByUser = true;
    m_bStopRequested = true;
    UpdateControls();
    UpdateStatus();
}

void CTrelvoDlg::StartJob(bool bAvi) {
    std::map<int32_t, uint64_t> rows;
    for (int32_t nRow = 0; nRow < m_list.GetRowCount(); ++nRow) {
        if (!m_list.IsRowChecked(nRow)) continue;
        rows[nRow] = QString::fromStdWString(m_list.GetRowText(nRow, COL_SIZE)).toULongLong();
        // Where the last run went no longer says where this one goes.
        m_pModel->SetRowOutput(nRow, {});
    }
    m_progress.Start(rows, CJobProgress::Clock::now());
    m_bStoppedByUser = false;
    m_bStopRequested = false;
    m_bWorkerDone = false;
    m_bJobRunning = true;
    m_report.Clear();
    m_bMessageShown = false;
    UpdateControls();
    UpdateStatus();
    m_statusTimer.start();
    m_hThread = std::thread([this, bAvi] {
        // Gives this thread its own signal stack, so a stack overflow in a
        // job still ends in the crash report.
        InstallCrashHandler();
        m_fnJob(this, bAvi);
        QMetaObject::invokeMethod(this, &CTrelvoDlg::OnJobFinished, Qt::QueuedConnection);
        m_bWorkerDone = true;
    });
}

void CTrelvoDlg::OnJobFinished() {
    if (m_hThread.joinable()) m_hThread.join();
    m_statusTimer.stop();
    m_bJobRunning = false;
    UpdateStatus();
    // The AVI job has no closing message of its own; failed rows still get one.
    if (!m_bCloseWhenIdle && !m_bMessageShown && m_report.HasFailures()) ShowJobMessage(Text(L"Trelvo.Fail"));
    if (m_bCloseWhenIdle) {
        m_bCloseWhenIdle = false;
        QDialog::done(m_nCloseResult);
    } else {
        UpdateControls();
    }
    emit JobFinished();
}

void CTrelvoDlg::UpdateControls() {
    // One job at a time, and the rows and directories it reads stay put.
    const bool bIdle = !m_bJobRunning;
    m_ui->btnOpen->setEnabled(bIdle);
    m_ui->btnClear->setEnabled(bIdle);
    m_ui->btnConvert->setEnabled(bIdle);
    m_ui->btnConfig->setEnabled(bIdle);
    m_ui->btnStop->setEnabled(m_bJobRunning && !m_bStopRequested);
    // Keys may not act where the buttons cannot.
    m_ui->radioAvi->setEnabled(bIdle);
    m_ui->radioMp4->setEnabled(bIdle);
}

QString CTrelvoDlg::StatusText() const {
    return m_ui->labelStatus->text();
}

void CTrelvoDlg::UpdateStatus() {
    const QString strFiles = QString::number(m_progress.FilesDone());
    const QString strAll = QString::number(m_progress.Files());
    if (!m_bJobRunning) {
        if (m_progress.Files() == 0) return;
        const QString strConverted = QString::number(m_progress.FilesConverted());
        m_ui->labelStatus->setText(
            Filled(m_bStoppedByUser ? L"Trelvo.StatusStopped" : L"Trelvo.StatusDone", {strConverted, strAll}));
        return;
    }
    QStringList parts{Filled(L"Trelvo.StatusFiles", {strFiles, strAll})};
    if (m_bStoppedByUser) {
        parts << Text(L"Trelvo.StatusStopping");
    } else {
        const auto now = CJobProgress::Clock::now();
        const double dSpeed = m_progress.BytesPerSecond(now);
        if (dSpeed > 0) parts << Filled(L"Trelvo.StatusSpeed", {QLocale().toString(dSpeed / 1e6, 'f', 1)});
        const double dLeft = m_progress.SecondsLeft(now);
        if (dLeft >= 0)
            parts << Filled(L"Trelvo.StatusLeft", {QString::fromStdWString(CJobProgress::FormatDuration(dLeft))});
    }
    m_ui->labelStatus->setText(parts.join(QStringLiteral(" \u00b7 ")));
}

void CTrelvoDlg::RememberGeometry() {
    if (isVisible()) settings::WriteWindowGeometry(saveGeometry().toHex().toStdString());
}

bool CTrelvoDlg::AskStopToClose() {
    QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), Text(L"Trelvo.AskStopClose"),
                    QMessageBox::Yes | QMessageBox::No, this);
    // Going on is the safe answer to a stray key.
    box.setDefaultButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

void CTrelvoDlg::closeEvent(QCloseEvent* pEvent) {
    if (m_bJobRunning && !m_bCloseWhenIdle && !AskStopToClose()) {
        pEvent->ignore();
        return;
    }
    QDialog::closeEvent(pEvent);
}

void CTrelvoDlg::OpenExternal(const QUrl& url) {
    QDesktopServices::openUrl(url);
}

QString CTrelvoDlg::ExistingOutput(int32_t nRow) const {
    const std::wstring strOutput = m_pModel->GetRowOutput(nRow);
    if (strOutput.empty()) return {};
    const QString strPath = qtpaths::FromWide(strOutput);
    struct stat st {};
    return ::stat(qtpaths::ToBytes(strPath).constData(), &st) == 0 && S_ISREG(st.st_mode) ? strPath : QString();
}

std::wstring CTrelvoDlg::PlannedOutput(int32_t nRow) const {
    std::wstring strDir = m_bJobRunning ? m_strSaveDir : settings::SaveDirFromConfig(m_list.m_strSourceDir);
    if (strDir.empty()) return {};
    if (strDir.back() != L'/') strDir += L'/';
    const wchar_t* pszExt = m_ui->radioMp4->isChecked() ? L".mp4" : L".avi";
    return strDir + convert::MakeOutputName(m_list.GetRowText(nRow, COL_FILENAME), pszExt);
}

void CTrelvoDlg::OnRowActivated(const QModelIndex& index) {
    const QString strOutput = ExistingOutput(index.row());
    if (strOutput.isEmpty()) return;
    OpenExternal(LocalUrl(strOutput.left(strOutput.lastIndexOf(QLatin1Char('/')) + 1)));
}

void CTrelvoDlg::OnContextMenu(const QPoint& pos) {
    const QModelIndex index = m_ui->listFiles->indexAt(pos);
    if (!index.isValid()) return;
    const QString strOutput = ExistingOutput(index.row());
    QMenu menu(this);
    QAction* pFolder = menu.addAction(Text(L"Trelvo.OpenFolder"));
    QAction* pPlay = menu.addAction(Text(L"Trelvo.PlayOutput"));
    pFolder->setEnabled(!strOutput.isEmpty());
    pPlay->setEnabled(!strOutput.isEmpty());
    const QAction* pChosen = menu.exec(m_ui->listFiles->viewport()->mapToGlobal(pos));
    if (pChosen == pFolder) OnRowActivated(index);
    if (pChosen == pPlay) OpenExternal(LocalUrl(strOutput));
}

void CTrelvoDlg::done(int nResult) {
    RememberGeometry();
    if (m_bJobRunning) {
        // Let the job finish or drop its current output first; the window
        // goes away now and the dialog ends when the worker reports back.
        m_bStopRequested = true;
        m_bCloseWhenIdle = true;
        m_nCloseResult = nResult;
        hide();
        return;
    }
    QDialog::done(nResult);
}

template <typename F>
auto CTrelvoDlg::OnInterfaceThread(F fn) {
    using R = std::invoke_result_t<F>;
    if (QThread::currentThread() == thread()) return fn();
    if constexpr (std::is_void_v<R>) {
        QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
    } else {
        R result{};
        QMetaObject::invokeMethod(
            this, [&result, &fn] { result = fn(); }, Qt::BlockingQueuedConnection);
        return result;
    }
}

int32_t CTrelvoDlg::GetRowCount() {
    return OnInterfaceThread([this] { return m_list.GetRowCount(); });
}

bool CTrelvoDlg::IsRowChecked(int32_t nRow) {
    return OnInterfaceThread([this, nRow] { return m_list.IsRowChecked(nRow); });
}

std::wstring CTrelvoDlg::GetRowText(int32_t nRow, int32_t nColumn) {
    return OnInterfaceThread([this, nRow, nColumn] { return m_list.GetRowText(nRow, nColumn); });
}

void CTrelvoDlg::SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) {
    OnInterfaceThread([this, nRow, nColumn, &strText] {
        m_pModel->SetRowText(nRow, nColumn, strText);
        if (nColumn != COL_PROGRESS || !m_bJobRunning) return;
        bool bNumber = false;
        const int nPercent = QString::fromStdWString(strText).toInt(&bNumber);
        if (bNumber) m_progress.SetPercent(nRow, nPercent, CJobProgress::Clock::now());
    });
}

std::wstring CTrelvoDlg::GetSourceDir(int32_t /*nRow*/) {
    return OnInterfaceThread([this] { return m_list.m_strSourceDir; });
}

std::wstring CTrelvoDlg::GetSaveDir(int32_t /*nRow*/) {
    return OnInterfaceThread([this] { return m_strSaveDir; });
}

void CTrelvoDlg::ShowMessage(const std::wstring& strText) {
    // Nobody is left to read it once the window is closing.
    if (m_bStopRequested) return;
    OnInterfaceThread([this, &strText] { ShowJobMessage(qtpaths::ForDisplay(strText)); });
}

void CTrelvoDlg::ShowJobMessage(const QString& strHeading) {
    m_bMessageShown = true;
    ShowBox(this, m_report.HasFailures() ? QMessageBox::Warning : QMessageBox::Information,
            QCoreApplication::applicationName(), m_report.Message(strHeading));
}

void CTrelvoDlg::OnRowStart(int32_t nRow) {
    CRowLog::SetThreadRow(nRow);
    // What the row's last run left goes before anything of this run arrives.
    OnInterfaceThread([this, nRow] { m_pModel->SetRowReason(nRow, {}); });
}

void CTrelvoDlg::OnRowDone(int32_t nRow, const convert::SConversionResult& result, const std::wstring& strOutputPath) {
    CRowLog::SetThreadRow(-1);
    // The row's log lines were queued before this call, so they are in.
    OnInterfaceThread([this, nRow, &result, &strOutputPath] {
        const std::wstring strInput = m_list.m_strSourceDir + m_list.GetRowText(nRow, COL_FILENAME);
        m_pModel->SetRowReason(nRow, m_report.FinishRow(nRow, strInput, result));
        m_pModel->SetRowOutput(nRow, strOutputPath);
        // A row the user stopped did not fail.
        if (result.reason == convert::EReason::Stopped)
            m_pModel->SetRowText(nRow, COL_DESTRIBE, Text(L"Trelvo.Stopped").toStdWString());
        m_progress.RowDone(nRow, result.bSuccess, CJobProgress::Clock::now());
        UpdateStatus();
    });
}

bool CTrelvoDlg::IsStopRequested() {
    return m_bStopRequested;
}

void CTrelvoDlg::dragEnterEvent(QDragEnterEvent* pEvent) {
    if (!m_bJobRunning && pEvent->mimeData()->hasUrls())
        pEvent->acceptProposedAction();
    else
        pEvent->ignore();
}

void CTrelvoDlg::dragMoveEvent(QDragMoveEvent* pEvent) {
    if (!m_bJobRunning && pEvent->mimeData()->hasUrls())
        pEvent->acceptProposedAction();
    else
        pEvent->ignore();
}

void CTrelvoDlg::dropEvent(QDropEvent* pEvent) {
    if (m_bJobRunning || !pEvent->mimeData()->hasUrls()) {
        pEvent->ignore();
        return;
    }
    pEvent->acceptProposedAction();
    OnDropFiles(pEvent->mimeData()->urls());
}

void CTrelvoDlg::keyPressEvent(QKeyEvent* pEvent) {
    if (pEvent->modifiers() == Qt::NoModifier || pEvent->modifiers() == Qt::KeypadModifier) {
        // The window is the program: a key never closes it, only the close
        // box does.
        if (pEvent->key() == Qt::Key_Escape) return;
        // Enter presses the focused push button, and anywhere else converts.
        if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
            if (auto* pButton = qobject_cast<QPushButton*>(focusWidget()); pButton != nullptr) {
                if (pButton->isEnabled()) pButton->click();
            } else {
                OnConvert();
            }
            return;
        }
    }
    QDialog::keyPressEvent(pEvent);
}

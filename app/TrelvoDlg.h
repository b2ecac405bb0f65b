// The main window: the list of input files, the output format and the four
// buttons. It owns the list and answers the conversion jobs' requests.
#pragma once

#include "app/JobProgress.h"
#include "app/JobReport.h"
#include "app/RowLog.h"
#include "convert/ConversionList.h"
#include "convert/ConvertJobs.h"

#include <QDialog>
#include <QIcon>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

namespace Ui {
class CTrelvoDlg;
}

class CConversionModel;
class QModelIndex;
class QUrl;

class CTrelvoDlg : public QDialog, public IConversionHost {
    Q_OBJECT

public:
    // What the worker thread runs: the AVI job when bAvi, else the MP4 job.
    using JobRoutine = std::function<uint32_t(IConversionHost* pHost, bool bAvi)>;

    // Files named on the program's command line (see qtpaths for their form;
    // relative to the current directory) are added and converted.
    CTrelvoDlg(const QStringList& files, JobRoutine fnJob, QWidget* pParent = nullptr);
    ~CTrelvoDlg() override;

    static uint32_t RunConversionJob(IConversionHost* pHost, bool bAvi);

    // Requests of the jobs; from a worker they run on the interface thread
    // while the worker waits.
    int32_t GetRowCount() override;
    bool IsRowChecked(int32_t nRow) override;
    std::wstring GetRowText(int32_t nRow, int32_t nColumn) override;
    void SetRowText(int32_t nRow, int32_t nColumn, const std::wstring& strText) override;
    std::wstring GetSourceDir(int32_t nRow) override;
    std::wstring GetSaveDir(int32_t nRow) override;
    // The job's closing message, followed by the rows that failed and why.
    void ShowMessage(const std::wstring& strText) override;
    bool IsStopRequested() override;
    // A row's reason and what was logged while it converted become the
    // tooltip of its result.
    void OnRowStart(int32_t nRow) override;
    void OnRowDone(int32_t nRow, const convert::SConversionResult& result, const std::wstring& strOutputPath) override;

    void OnOpen();
    void OnClear();
    void OnConvert();
    // Asks the running job to end after its current piece.
    void OnStop();
    void OnConfig();
    void OnDropFiles(const QList<QUrl>& urls);

    bool IsJobRunning() const { return m_bJobRunning; }
    const CConversionList& GetList() const { return m_list; }
    CConversionModel* GetModel() const { return m_pModel; }
    const std::wstring& GetSourceDir() const { return m_list.m_strSourceDir; }
    // The status line under the list.
    QString StatusText() const;

    void done(int nResult) override;

    // Output directory of the next job, ending in '/' once a run starts.
    std::wstring m_strSaveDir;

signals:
    // A job has ended and the controls are available again.
    void JobFinished();

protected:
    // The files chosen in the open-file dialog, byte for byte in the form of
    // qtpaths::FromBytes; empty when cancelled.
    virtual QStringList AskOpenFiles();
    // Asks whether a running job may be stopped so the window can close.
    virtual bool AskStopToClose();
    // Hands a folder or file to the desktop (file manager, player).
    virtual void OpenExternal(const QUrl& url);
    void closeEvent(QCloseEvent* pEvent) override;
    void dragEnterEvent(QDragEnterEvent* pEvent) override;
    void dragMoveEvent(QDragMoveEvent* pEvent) override;
    void dropEvent(QDropEvent* pEvent) override;
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void OnInitDialog(const QStringList& files);
    void AddBatch(const QStringList& paths);
    void StartJob(bool bAvi);
    void OnJobFinished();
    void ShowJobMessage(const QString& strHeading);
    void UpdateControls();
    void UpdateStatus();
    void RememberGeometry();
    void OnRowActivated(const QModelIndex& index);
    void OnContextMenu(const QPoint& pos);
    // The row's output as it is on disk now; empty when there is none.
    QString ExistingOutput(int32_t nRow) const;
    std::wstring PlannedOutput(int32_t nRow) const;
    template <typename F>
    auto OnInterfaceThread(F fn);

    QIcon m_hIcon;
    CConversionList m_list;
    std::unique_ptr<Ui::CTrelvoDlg> m_ui;
    CConversionModel* m_pModel = nullptr;
    JobRoutine m_fnJob;
    std::thread m_hThread;
    bool m_bJobRunning = false;
    bool m_bCloseWhenIdle = false;
    int m_nCloseResult = 0;
    std::atomic<bool> m_bStopRequested{false};
    bool m_bStoppedByUser = false;
    CJobProgress m_progress;
    QTimer m_statusTimer;
    std::atomic<bool> m_bWorkerDone{true};
    CJobReport m_report;
    bool m_bMessageShown = false;
    // Last, so that the sink goes before anything it reaches.
    CRowLog m_rowLog;
};

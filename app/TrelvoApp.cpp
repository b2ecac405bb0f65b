#include "app/TrelvoApp.h"

#include "app/TrelvoDlg.h"
#include "crash/CrashHandler.h"
#include "lang/MultiLanguage.h"
#include "mp4/FfmpegLog.h"
#include "platform/Platform.h"
#include "platform/QtPaths.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <string>

bool CTrelvoApp::InitInstance() {
    // The first call fixes the program directory while no other thread runs.
    CMultiLanguage::LoadLanguage(GetAppDir());
    // FFmpeg speaks through the program's log, which the dialog hands to the
    // rows it concerns.
    trelvo::ffmpeg::RouteLogToTrelvo(false);

    // After a crash the handler starts this program once more just to tell
    // the user; a process that crashed cannot safely draw a window itself.
    const std::string strSelf = platform::WideToNarrow(platform::GetModuleFileName());
    const char* const argv[] = {strSelf.c_str(), kFatalErrorArg, nullptr};
    SetCrashMessageCommand(argv);

    CTrelvoDlg dlg(m_files, &CTrelvoDlg::RunConversionJob);
    dlg.exec();
    return false;
}

QStringList CTrelvoApp::FilesFromArguments(int argc, char* argv[]) {
    QStringList files;
    for (int i = 1; i < argc; ++i) files << qtpaths::FromBytes(QByteArray(argv[i]));
    return files;
}

void CTrelvoApp::ShowFatalErrorBox(const QString& strDumpPath) {
    QString strText = QStringLiteral("Fatal Error");
    if (!strDumpPath.isEmpty()) strText += QStringLiteral("\nCrash dump: ") + strDumpPath;
    QMessageBox box(QMessageBox::Critical, QCoreApplication::applicationName(), strText, QMessageBox::Ok);
    box.exec();
}

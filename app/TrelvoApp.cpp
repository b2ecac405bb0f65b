#include "app/TrelvoApp.h"

#include "app/TrelvoDlg.h"
#include "crash/CrashHandler.h"
#include "lang/MultiLanguage.h"
#include "mp4/FfmpegLog.h"
#include "platform/Platform.h"
#include "platform/QtPaths.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

#include <string>

CTrelvoApp::CTrelvoApp(QStringList files) : m_files(std::move(files)) {}

CTrelvoApp::~CTrelvoApp() {
    if (m_pQtTranslator) QCoreApplication::removeTranslator(m_pQtTranslator.get());
}

bool CTrelvoApp::InstallQtTranslations() {
    const std::wstring strKey = L"Trelvo.Locale";
    const QString strLocale = QString::fromStdWString(CMultiLanguage::GetText(strKey));
    // Without the entry the key's fallback comes back: Qt stays as it is.
    if (strLocale.isEmpty() || strLocale == QString::fromStdWString(strKey.substr(strKey.find(L'.') + 1))) return false;
    const QLocale locale(strLocale);
    QLocale::setDefault(locale);
    auto pTranslator = std::make_unique<QTranslator>();
    if (!pTranslator->load(locale, QStringLiteral("qtbase"), QStringLiteral("_"),
                           QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        return false;
    if (m_pQtTranslator) QCoreApplication::removeTranslator(m_pQtTranslator.get());
    m_pQtTranslator = std::move(pTranslator);
    QCoreApplication::installTranslator(m_pQtTranslator.get());
    return true;
}

bool CTrelvoApp::InitInstance() {
    // The first call fixes the program directory while no other thread runs.
    CMultiLanguage::LoadLanguage(GetAppDir());
    InstallQtTranslations();
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

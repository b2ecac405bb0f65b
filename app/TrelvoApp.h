// Start-up of the desktop program: language first, then the main dialog,
// which is the program's only window.
#pragma once

#include <QString>
#include <QStringList>

#include <memory>
#include <utility>

class QTranslator;

class CTrelvoApp {
public:
    // Files to add and convert at once (see CTrelvoDlg).
    explicit CTrelvoApp(QStringList files = {});
    ~CTrelvoApp();
    CTrelvoApp(const CTrelvoApp&) = delete;
    CTrelvoApp& operator=(const CTrelvoApp&) = delete;

    // Qt's own texts (file chooser, standard buttons) in the language the
    // language file names with "Trelvo.Locale", from Qt's translations.
    // Returns whether they were found; needs a QApplication.
    bool InstallQtTranslations();

    // The program's arguments after its name, byte for byte (QApplication's
    // arguments() loses bytes that are not UTF-8).
    static QStringList FilesFromArguments(int argc, char* argv[]);

    // The argument that makes the program only show the fatal message; the
    // crash handler starts the program with it after a crash.
    static constexpr const char* kFatalErrorArg = "--fatal-error-box";

    // Needs a QApplication. Returns false: the program ends when the main
    // dialog has closed.
    bool InitInstance();

    // Shows "Fatal Error" in a box, with where the crash dump went when
    // known, and returns when it is closed.
    static void ShowFatalErrorBox(const QString& strDumpPath);

private:
    QStringList m_files;
    std::unique_ptr<QTranslator> m_pQtTranslator;
};

// Start-up of the desktop program: language first, then the main dialog,
// which is the program's only window.
#pragma once

#include <QString>

class CTrelvoApp {
public:
    // The argument that makes the program only show the fatal message; the
    // crash handler starts the program with it after a crash.
    static constexpr const char* kFatalErrorArg = "--fatal-error-box";

    // Needs a QApplication. Returns false: the program ends when the main
    // dialog has closed.
    bool InitInstance();

    // Shows "Fatal Error" in a box, with where the crash dump went when
    // known, and returns when it is closed.
    static void ShowFatalErrorBox(const QString& strDumpPath);
};

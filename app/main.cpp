#include "app/TrelvoApp.h"

#include <QApplication>
#include <QFile>

#include <cstring>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], CTrelvoApp::kFatalErrorArg) == 0) {
        CTrelvoApp::ShowFatalErrorBox(argc == 3 ? QFile::decodeName(argv[2]) : QString());
        return 1;
    }
    // QApplication has taken its own options out of argv by now.
    CTrelvoApp theApp(CTrelvoApp::FilesFromArguments(argc, argv));
    theApp.InitInstance();
    return 0;
}

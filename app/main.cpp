#include "app/TrelvoApp.h"

#include <QApplication>

#include <cstring>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc == 2 && std::strcmp(argv[1], CTrelvoApp::kFatalErrorArg) == 0) {
        CTrelvoApp::ShowFatalErrorBox();
        return 1;
    }
    CTrelvoApp theApp;
    theApp.InitInstance();
    return 0;
}

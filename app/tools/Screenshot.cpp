// Renders the main dialog after a conversion of the bundled samples, and the
// settings dialog, into PNG files (docs/screenshot.png comes from here).
// Usage: trelvo_screenshot MAIN.png [SETTINGS.png]
#include "app/TrelvoDlg.h"
#include "lang/MultiLanguage.h"
#include "platform/Platform.h"
#include "settings/ConverSet.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s MAIN.png [SETTINGS.png]\n", argv[0]);
        return 2;
    }
    CMultiLanguage::LoadLanguage(GetAppDir());
    QTemporaryDir dir;
    const QString strData = QStringLiteral(TRELVO_SOURCE_DIR "/tests/data/");
    const std::pair<const char*, const char*> samples[] = {
        {"h264_320x180_25fps.h264", "front_door_0712.h264"},
        {"h264_320x180_25fps_repeat.h264", "garage_0712.h264"},
        {"h265_352x288_30fps.h265", "yard_0712.h265"},
    };
    QStringList files;
    for (const auto& [pszFrom, pszTo] : samples) {
        const QString strTo = dir.filePath(QString::fromLatin1(pszTo));
        QFile::copy(strData + QString::fromLatin1(pszFrom), strTo);
        files << strTo;
    }

    CTrelvoDlg dlg(files, &CTrelvoDlg::RunConversionJob);
    while (dlg.IsJobRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    dlg.show();
    QCoreApplication::processEvents();
    bool bOk = dlg.grab().save(QString::fromLocal8Bit(argv[1]));
    if (argc > 2) {
        CConverSet set(&dlg);
        set.show();
        QCoreApplication::processEvents();
        bOk = set.grab().save(QString::fromLocal8Bit(argv[2])) && bOk;
    }
    dlg.hide();
    return bOk ? 0 : 1;
}

// Renders the main window into PNG files for the documentation: during a
// run, after a real conversion of the bundled samples at the default size
// and at 1200x800, and the settings dialog. The language is the one
// Config.ini in the program directory chooses (scripts/screenshots.sh).
// Usage: trelvo_screenshot PREFIX   (writes PREFIX-running.png ...)
#include "app/ConversionModel.h"
#include "app/TrelvoApp.h"
#include "app/TrelvoDlg.h"
#include "lang/MultiLanguage.h"
#include "platform/Platform.h"
#include "settings/ConverSet.h"

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QUrl>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <thread>

namespace {

void Settle() {
    for (int n = 0; n < 10; ++n) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool Save(QWidget& w, const QString& strPrefix, const char* pszName) {
    Settle();
    return w.grab().save(strPrefix + QLatin1Char('-') + QString::fromLatin1(pszName) + QStringLiteral(".png"));
}

}  // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PREFIX\n", argv[0]);
        return 2;
    }
    const QString strPrefix = QString::fromLocal8Bit(argv[1]);
    CMultiLanguage::LoadLanguage(GetAppDir());
    CTrelvoApp start;
    start.InstallQtTranslations();
    QTemporaryDir dir;
    const QString strData = QStringLiteral(TRELVO_SOURCE_DIR "/tests/data/");
    const std::pair<const char*, const char*> samples[] = {
        {"h264_320x180_25fps.h264", "front_door_2026-07-12_0800.h264"},
        {"h264_320x180_25fps_repeat.h264", "garage_2026-07-12_0800.h264"},
        {"h265_352x288_30fps.h265", "yard_2026-07-12_0800.h265"},
    };
    QStringList files;
    for (const auto& [pszFrom, pszTo] : samples) {
        const QString strTo = dir.filePath(QString::fromLatin1(pszTo));
        QFile::copy(strData + QString::fromLatin1(pszFrom), strTo);
        files << strTo;
    }
    bool bOk = true;

    // During a run: a stand-in job paces the rows as a long recording would,
    // so that bars, speed and time left have something to show.
    {
        std::atomic<bool> bRelease{false};
        std::atomic<bool> bHalfway{false};
        CTrelvoDlg dlg(QStringList(), [&](IConversionHost* pHost, bool) {
            const auto step = [&](int32_t nRow, int nTo) {
                for (int n = 0; n <= nTo && !pHost->IsStopRequested(); ++n) {
                    pHost->SetRowText(nRow, COL_PROGRESS, std::to_wstring(n));
                    std::this_thread::sleep_for(std::chrono::milliseconds(15));
                }
            };
            pHost->OnRowStart(0);
            step(0, 100);
            pHost->SetRowText(0, COL_DESTRIBE, CMultiLanguage::GetText(L"Trelvo.Success"));
            convert::SConversionResult done;
            done.bSuccess = true;
            pHost->OnRowDone(0, done, L"");
            pHost->OnRowStart(1);
            step(1, 47);
            bHalfway = true;
            while (!bRelease) std::this_thread::sleep_for(std::chrono::milliseconds(5));
            pHost->OnRowDone(1, convert::Failure(convert::EReason::Stopped), L"");
            return 1u;
        });
        dlg.OnDropFiles([&] {
            QList<QUrl> urls;
            for (const QString& strFile : files) urls << QUrl::fromLocalFile(strFile);
            return urls;
        }());
        dlg.show();
        dlg.OnConvert();
        while (!bHalfway) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        bOk = Save(dlg, strPrefix, "running") && bOk;
        bRelease = true;
        while (dlg.IsJobRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        dlg.hide();
    }

    // After a real conversion, at the default size and larger.
    CTrelvoDlg dlg(files, &CTrelvoDlg::RunConversionJob);
    while (dlg.IsJobRunning()) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    dlg.show();
    bOk = Save(dlg, strPrefix, "done") && bOk;
    dlg.resize(1200, 800);
    bOk = Save(dlg, strPrefix, "1200x800") && bOk;
    dlg.resize(dlg.minimumSizeHint());
    CConverSet set(&dlg);
    set.show();
    bOk = Save(set, strPrefix, "settings") && bOk;
    set.hide();
    dlg.hide();
    return bOk ? 0 : 1;
}

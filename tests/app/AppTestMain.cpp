// The desktop program's tests need a QApplication, a chosen language and
// FFmpeg's messages in the program's log before any dialog exists, as the
// program itself does at start-up.
#include "AppTestSupport.h"

#include "lang/MultiLanguage.h"
#include "mp4/FfmpegLog.h"
#include "platform/Platform.h"

#include <QApplication>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

int main(int argc, char* argv[]) {
    ::testing::InitGoogleTest(&argc, argv);
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (::testing::GTEST_FLAG(list_tests)) return RUN_ALL_TESTS();

    // A language file that translates a few keys; the rest show the part
    // after the first dot, so one run sees both.
    const std::filesystem::path langFile = apptest::AppDir() / "AppTest.lang";
    std::ofstream(langFile, std::ios::binary) << "[String]\n"
                                                 "Trelvo.Open=\xC3\x96"
                                                 "ffnen\n"
                                                 "Trelvo.Size=Gr\xC3\xB6\xC3\x9F"
                                                 "e\n"
                                                 "Ambrel.Prompt=Hinweis\n"
                                                 "Trelvo.SelectFile=Bitte eine Datei w\xC3\xA4hlen\n"
                                                 "Trelvo.SavePath=\n"
                                                 "Trelvo.SaveFailed=Nicht gespeichert in %1!\n"
                                                 "Trelvo.ReasonUnsupportedVideo=Video nicht unterst\xC3\xBCtzt\n"
                                                 "Trelvo.MoreFailed=und %1 weitere\n";
    int nResult = 0;
    {
        apptest::CConfigFile config("[themes]\nSolution=AppTest\n");
        CMultiLanguage::LoadLanguage(GetAppDir());
    }
    trelvo::ffmpeg::RouteLogToTrelvo(false);
    nResult = RUN_ALL_TESTS();
    std::filesystem::remove(langFile);
    return nResult;
}

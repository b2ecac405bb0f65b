// The run's progress across rows (speed, time left) and Qt's own texts in
// the chosen language.
#include "AppTestSupport.h"

#include "app/JobProgress.h"
#include "app/TrelvoApp.h"
#include "lang/MultiLanguage.h"
#include "platform/Platform.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QLocale>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace std::chrono_literals;

TEST(AppProgress, SpeedAndTimeLeftFollowTheBytesOfEveryRow) {
    CJobProgress progress;
    const auto t0 = CJobProgress::Clock::now();
    // Rows 2 and 5 are ticked: 100 MB and 300 MB.
    progress.Start({{2, 100000000}, {5, 300000000}}, t0);
    EXPECT_EQ(progress.Files(), 2);
    EXPECT_EQ(progress.SecondsLeft(t0), -1);  // no measure yet

    progress.SetPercent(2, 50, t0 + 1s);
    EXPECT_EQ(progress.BytesDone(), 50000000u);
    EXPECT_DOUBLE_EQ(progress.BytesPerSecond(t0 + 1s), 50e6);
    EXPECT_DOUBLE_EQ(progress.SecondsLeft(t0 + 1s), 7.0);
    // A row not in the run and a percentage beyond 100 change nothing wrong.
    progress.SetPercent(3, 90, t0 + 1s);
    progress.RowDone(2, true, t0 + 2s);
    progress.SetPercent(2, 10, t0 + 2s);  // a finished row stays finished
    EXPECT_EQ(progress.FilesDone(), 1);
    EXPECT_EQ(progress.BytesDone(), 100000000u);

    // The speed is the recent one: after a slow stretch it drops.
    progress.SetPercent(5, 10, t0 + 12s);
    EXPECT_NEAR(progress.BytesPerSecond(t0 + 12s), 30e6 / 10.0, 1);
    progress.RowDone(5, false, t0 + 13s);
    EXPECT_EQ(progress.FilesDone(), 2);
    EXPECT_EQ(progress.FilesConverted(), 1);
    EXPECT_EQ(progress.SecondsLeft(t0 + 13s), 0);

    EXPECT_EQ(CJobProgress::FormatDuration(0), L"0:00");
    EXPECT_EQ(CJobProgress::FormatDuration(61.2), L"1:02");
    EXPECT_EQ(CJobProgress::FormatDuration(3725), L"1:02:05");
}

TEST(AppProgress, QtsOwnTextsFollowTheLanguageFile) {
    const QLocale oldLocale;
    const std::filesystem::path file = apptest::AppDir() / "QtDe.lang";
    std::ofstream(file) << "[String]\nTrelvo.Locale=de\n";
    {
        apptest::CConfigFile config("[themes]\nSolution=QtDe\n");
        CMultiLanguage::LoadLanguage(GetAppDir());
    }
    {
        CTrelvoApp app;
        const bool bFound = app.InstallQtTranslations();
        if (!std::filesystem::exists(QLibraryInfo::path(QLibraryInfo::TranslationsPath).toStdString() +
                                     "/qtbase_de.qm")) {
            EXPECT_FALSE(bFound);
        } else {
            EXPECT_TRUE(bFound);
            EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Abbrechen");
        }
    }
    // Gone with the application object, and no locale without the entry.
    EXPECT_EQ(QCoreApplication::translate("QPlatformTheme", "Cancel"), "Cancel");
    std::filesystem::remove(file);
    {
        apptest::CConfigFile config("[themes]\nSolution=AppTest\n");
        CMultiLanguage::LoadLanguage(GetAppDir());
    }
    CTrelvoApp plain;
    EXPECT_FALSE(plain.InstallQtTranslations());
    QLocale::setDefault(oldLocale);
}

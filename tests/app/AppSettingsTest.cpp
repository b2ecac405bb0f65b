// The save-path settings dialog and the translation of dialog captions.
#include "AppTestSupport.h"
#include "EnvGuard.h"

#include "lang/MultiLanguage.h"
#include "settings/ConverSet.h"
#include "settings/Settings.h"

#include <QCheckBox>
#include <QDir>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using apptest::CConfigFile;

namespace {

class CTestSet : public CConverSet {
public:
    using CConverSet::CConverSet;
    QString m_strChosen;
    int m_nAsked = 0;

protected:
    QString AskDirectory() override {
        ++m_nAsked;
        return m_strChosen;
    }
};

template <typename T>
T* Child(QWidget& dlg, const char* pszName) {
    T* p = dlg.findChild<T*>(QString::fromLatin1(pszName));
    EXPECT_NE(p, nullptr) << pszName;
    return p;
}

bool ConfigExists() {
    return std::filesystem::exists(apptest::AppDir() / "Config.ini");
}

}  // namespace

TEST(AppSettings, FirstRunUsesTheDefaultDirectory) {
    CConfigFile config(nullptr);
    CConverSet dlg;
    EXPECT_EQ(dlg.windowTitle(), "Config");
    EXPECT_GE(dlg.width(), 386);  // wider when the texts need it
    EXPECT_EQ(dlg.height(), 211);
    EXPECT_EQ(dlg.minimumSize(), dlg.maximumSize());
    EXPECT_TRUE(Child<QCheckBox>(dlg, "checkDefaultPath")->isChecked());
    EXPECT_FALSE(Child<QPushButton>(dlg, "btnCustomPath")->isEnabled());
    EXPECT_FALSE(Child<QLineEdit>(dlg, "editPath")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(dlg, "editPath")->text(), "");
    EXPECT_TRUE(dlg.m_strPath.empty());

    EXPECT_EQ(Child<QCheckBox>(dlg, "checkDefaultPath")->text(), "DefaultPath");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnCustomPath")->text(), "CustomPath");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnOk")->text(), "OK");
    EXPECT_EQ(Child<QPushButton>(dlg, "btnCancel")->text(), "Cancel");
    // Present in the language file with an empty text: the fallback shows.
    EXPECT_EQ(Child<QGroupBox>(dlg, "groupSavePath")->title(), "SavePath");

    const std::pair<const char*, int> ids[] = {
        {"checkDefaultPath", 1009}, {"btnCustomPath", 1005}, {"editPath", 1010}, {"btnOk", 1006}, {"btnCancel", 1007}};
    for (const auto& [pszName, nId] : ids)
        EXPECT_EQ(Child<QWidget>(dlg, pszName)->property("controlId").toInt(), nId) << pszName;
    for (QPushButton* pButton : dlg.findChildren<QPushButton*>())
        EXPECT_FALSE(pButton->isDefault() || pButton->autoDefault());
}

TEST(AppSettings, TheBoxTogglesTheCustomDirectoryControls) {
    CConfigFile config("[System]\nCheck=0\nPath=/srv/rec\n");
    CConverSet dlg;
    dlg.show();
    auto* pCheck = Child<QCheckBox>(dlg, "checkDefaultPath");
    auto* pBrowse = Child<QPushButton>(dlg, "btnCustomPath");
    auto* pEdit = Child<QLineEdit>(dlg, "editPath");
    EXPECT_FALSE(pCheck->isChecked());
    EXPECT_TRUE(pBrowse->isEnabled());
    EXPECT_TRUE(pEdit->isEnabled());
    EXPECT_EQ(pEdit->text(), "/srv/rec");

    // The group frame lies over the box but lets its clicks through.
    QTest::mouseClick(pCheck, Qt::LeftButton, Qt::NoModifier, QPoint(6, pCheck->height() / 2));
    EXPECT_TRUE(pCheck->isChecked());
    EXPECT_FALSE(pBrowse->isEnabled());
    EXPECT_FALSE(pEdit->isEnabled());
    pCheck->click();
    EXPECT_TRUE(pBrowse->isEnabled());
    EXPECT_TRUE(pEdit->isEnabled());
    EXPECT_EQ(dlg.childAt(pCheck->geometry().center()), pCheck);
}

TEST(AppSettings, OkWritesBothEntriesAndCreatesTheDirectory) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const QString strPath = dir.filePath("a/b/c");
    CConverSet dlg;
    QSignalSpy finished(&dlg, &QDialog::finished);
    // Still checked: the path is remembered and created all the same.
    Child<QLineEdit>(dlg, "editPath")->setText(strPath);
    Child<QPushButton>(dlg, "btnOk")->click();

    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(dlg.m_strPath, strPath.toStdWString());
    EXPECT_EQ(settings::ReadCheck(), 1);
    EXPECT_EQ(settings::ReadPath(), strPath.toStdWString());
    EXPECT_TRUE(QDir(strPath).exists());

    CConverSet again;
    Child<QCheckBox>(again, "checkDefaultPath")->click();
    Child<QLineEdit>(again, "editPath")->setText(dir.path());
    Child<QPushButton>(again, "btnOk")->click();
    EXPECT_EQ(settings::ReadCheck(), 0);
    EXPECT_EQ(settings::ReadPath(), dir.path().toStdWString());
}

TEST(AppSettings, OnlyTheOkButtonSaves) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const QString strPath = dir.filePath("never");

    const auto attempt = [&](const std::function<void(CConverSet&)>& fnEnd, int nResult) {
        CConverSet dlg;
        dlg.show();
        QSignalSpy finished(&dlg, &QDialog::finished);
        Child<QCheckBox>(dlg, "checkDefaultPath")->click();
        Child<QLineEdit>(dlg, "editPath")->setText(strPath);
        fnEnd(dlg);
        ASSERT_EQ(finished.count(), 1);
        EXPECT_EQ(dlg.result(), nResult);
        EXPECT_FALSE(ConfigExists());
        EXPECT_FALSE(QDir(strPath).exists());
    };
    attempt([](CConverSet& dlg) { Child<QPushButton>(dlg, "btnCancel")->click(); }, QDialog::Rejected);
    attempt([](CConverSet& dlg) { dlg.close(); }, QDialog::Rejected);
    attempt([](CConverSet& dlg) { QTest::keyClick(&dlg, Qt::Key_Escape); }, QDialog::Rejected);
    // Enter outside a push button ends the dialog as accepted, unsaved.
    attempt(
        [](CConverSet& dlg) {
            auto* pEdit = Child<QLineEdit>(dlg, "editPath");
            pEdit->setFocus();
            QTest::keyClick(pEdit, Qt::Key_Return);
        },
        QDialog::Accepted);

    // Enter on the focused OK button is a click on it.
    CConverSet dlg;
    dlg.show();
    Child<QLineEdit>(dlg, "editPath")->setText(strPath);
    auto* pOk = Child<QPushButton>(dlg, "btnOk");
    pOk->setFocus();
    QTest::keyClick(pOk, Qt::Key_Return);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_TRUE(ConfigExists());
    EXPECT_TRUE(QDir(strPath).exists());
}

TEST(AppSettings, AFailedSaveIsToldAndTheDialogStaysOpen) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const QString strOut = dir.filePath("out");
    // An installed program directory: its Config.ini cannot be written (a
    // folder in its place stops even root), nor can the user's, whose
    // configuration directory is a file.
    std::filesystem::create_directory(apptest::AppDir() / "Config.ini");
    std::ofstream(dir.filePath("blocker").toStdString()) << "x";
    EnvGuard env;
    env.Set("XDG_CONFIG_HOME", dir.filePath("blocker").toStdString());

    CConverSet dlg;
    dlg.show();
    QSignalSpy finished(&dlg, &QDialog::finished);
    Child<QCheckBox>(dlg, "checkDefaultPath")->click();
    Child<QLineEdit>(dlg, "editPath")->setText(strOut);
    {
        apptest::CModalWatcher watcher;
        Child<QPushButton>(dlg, "btnOk")->click();
        ASSERT_EQ(watcher.m_boxes.size(), 1u);
        EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Warning);
        EXPECT_EQ(watcher.m_boxes[0].strText,
                  "Nicht gespeichert in " + dir.filePath("blocker/trelvo/Config.ini") + "!");
    }
    EXPECT_EQ(finished.count(), 0);
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_FALSE(QDir(strOut).exists());

    // A user directory that works: the same OK saves there and closes.
    env.Set("XDG_CONFIG_HOME", dir.filePath("cfg").toStdString());
    Child<QPushButton>(dlg, "btnOk")->click();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_EQ(dlg.result(), QDialog::Accepted);
    EXPECT_EQ(settings::ConfigPath(), dir.filePath("cfg/trelvo/Config.ini").toStdWString());
    EXPECT_EQ(settings::ReadCheck(), 0);
    EXPECT_EQ(settings::ReadPath(), strOut.toStdWString());
    EXPECT_TRUE(QDir(strOut).exists());
    CConverSet again;
    EXPECT_FALSE(Child<QCheckBox>(again, "checkDefaultPath")->isChecked());
    EXPECT_EQ(Child<QLineEdit>(again, "editPath")->text(), strOut);
}

TEST(AppSettings, BrowseFillsThePathAndCancelKeepsIt) {
    CConfigFile config("[System]\nCheck=0\n");
    CTestSet dlg;
    auto* pEdit = Child<QLineEdit>(dlg, "editPath");
    pEdit->setText("typed");
    dlg.m_strChosen = "/media/disk/rec";
    Child<QPushButton>(dlg, "btnCustomPath")->click();
    EXPECT_EQ(dlg.m_nAsked, 1);
    EXPECT_EQ(pEdit->text(), "/media/disk/rec");
    EXPECT_EQ(dlg.m_strPath, L"/media/disk/rec");

    dlg.m_strChosen.clear();
    Child<QPushButton>(dlg, "btnCustomPath")->click();
    EXPECT_EQ(dlg.m_nAsked, 2);
    EXPECT_EQ(pEdit->text(), "/media/disk/rec");
}

TEST(AppTranslate, CaptionAndDirectChildrenButNotEditFields) {
    QDialog dlg;
    dlg.setWindowTitle("Trelvo.Trelvo");
    auto* pLabel = new QLabel("Trelvo.Format", &dlg);
    auto* pEdit = new QLineEdit("Trelvo.Open", &dlg);
    auto* pEmpty = new QPushButton(QString(), &dlg);
    auto* pDots = new QCheckBox("Trelvo.a.b", &dlg);
    auto* pNoDot = new QPushButton("MP4", &dlg);
    auto* pTrailing = new QPushButton("Trelvo.", &dlg);
    auto* pGroup = new QGroupBox("Ambrel.Cancel", &dlg);
    auto* pNested = new QPushButton("Trelvo.Clear", pGroup);

    CMultiLanguage::TranslateDialog(&dlg);
    EXPECT_EQ(dlg.windowTitle(), "Trelvo");
    EXPECT_EQ(pLabel->text(), "Format");
    EXPECT_EQ(pEdit->text(), "Trelvo.Open");
    EXPECT_EQ(pEmpty->text(), "");
    EXPECT_EQ(pDots->text(), "a.b");
    EXPECT_EQ(pNoDot->text(), "MP4");
    EXPECT_EQ(pTrailing->text(), "");
    EXPECT_EQ(pGroup->title(), "Cancel");
    EXPECT_EQ(pNested->text(), "Trelvo.Clear");

    QDialog untitled;
    CMultiLanguage::TranslateDialog(&untitled);
    EXPECT_EQ(untitled.windowTitle(), "");
    CMultiLanguage::TranslateDialog(nullptr);
}

TEST(AppSettings, AFolderThatCannotTakeFilesIsRefusedWithItsReason) {
    CConfigFile config(nullptr);
    QTemporaryDir dir;
    const QString strFile = dir.filePath("plain");
    std::ofstream(strFile.toStdString()) << "x";
    CConverSet dlg;
    dlg.show();
    QSignalSpy finished(&dlg, &QDialog::finished);
    Child<QCheckBox>(dlg, "checkDefaultPath")->click();
    const std::pair<QString, const char*> refused[] = {
        {QStringLiteral("/proc/trelvo/out"), "FolderMissing"},
        {strFile, "FolderNotFolder"},
        {QString(), "FolderEmpty"},
    };
    for (const auto& [strPath, pszWhy] : refused) {
        SCOPED_TRACE(strPath.toStdString());
        apptest::CModalWatcher watcher;
        Child<QLineEdit>(dlg, "editPath")->setText(strPath);
        Child<QPushButton>(dlg, "btnOk")->click();
        ASSERT_EQ(watcher.m_boxes.size(), 1u);
        EXPECT_EQ(watcher.m_boxes[0].icon, QMessageBox::Warning);
        EXPECT_EQ(watcher.m_boxes[0].strText, "FolderNotWritable " + strPath + ": " + pszWhy);
    }
    EXPECT_EQ(finished.count(), 0);
    EXPECT_FALSE(ConfigExists());

    // A folder that works is made, tried without a trace, and kept.
    const QString strNew = dir.filePath("new/level");
    Child<QLineEdit>(dlg, "editPath")->setText(strNew);
    Child<QPushButton>(dlg, "btnOk")->click();
    ASSERT_EQ(finished.count(), 1);
    EXPECT_TRUE(QDir(strNew).exists());
    EXPECT_EQ(settings::ReadPath(), strNew.toStdWString());
    EXPECT_EQ(QDir(strNew).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot).size(), 0);
}

#include "settings/ConverSet.h"

#include "lang/MultiLanguage.h"
#include "platform/Platform.h"
#include "platform/QtPaths.h"
#include "settings/Settings.h"
#include "ui_ConverSet.h"

#include <QCoreApplication>
#include <QFileDialog>
#include <QKeyEvent>
#include <QMessageBox>
#include <QPushButton>
#include <QUrl>

#include <cstring>

CConverSet::CConverSet(QWidget* pParent) : QDialog(pParent), m_ui(std::make_unique<Ui::CConverSet>()) {
    m_ui->setupUi(this);
    // The frame is drawn behind the controls it surrounds; clicks go to them.
    m_ui->groupSavePath->setAttribute(Qt::WA_TransparentForMouseEvents);

    connect(m_ui->checkDefaultPath, &QCheckBox::clicked, this, &CConverSet::OnDefaultPathClicked);
    connect(m_ui->btnCustomPath, &QPushButton::clicked, this, &CConverSet::OnBrowse);
    connect(m_ui->btnOk, &QPushButton::clicked, this, &CConverSet::OnOk);
    connect(m_ui->btnCancel, &QPushButton::clicked, this, &CConverSet::OnCancel);

    OnInitDialog();
}

CConverSet::~CConverSet() = default;

void CConverSet::OnInitDialog() {
    CMultiLanguage::TranslateDialog(this);
    // The title shares its key with a button, whose text may mark a mnemonic.
    setWindowTitle(QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.Config")).remove(QLatin1Char('&')));
    CMultiLanguage::FitDialog(this);
    m_ui->checkDefaultPath->setChecked(settings::ReadCheck() != 0);
    UpdateEnabledState();
    m_strPath = settings::ReadPath();
    // Byte for byte, so that a directory with an odd name is kept.
    m_ui->editPath->setText(qtpaths::FromWide(m_strPath));
}

void CConverSet::UpdateEnabledState() {
    const bool bEnabled = settings::CustomPathEnabled(m_ui->checkDefaultPath->isChecked());
    m_ui->btnCustomPath->setEnabled(bEnabled);
    m_ui->editPath->setEnabled(bEnabled);
}

void CConverSet::OnDefaultPathClicked() {
    UpdateEnabledState();
}

QString CConverSet::AskDirectory() {
    const QUrl url = QFileDialog::getExistingDirectoryUrl(this, QStringLiteral("Selection"));
    return url.isEmpty() ? QString() : qtpaths::FindDecodedName(qtpaths::FromUrl(url));
}

void CConverSet::OnBrowse() {
    const QString strChosen = AskDirectory();
    if (strChosen.isEmpty()) return;
    m_strPath = qtpaths::ToWide(strChosen);
    m_ui->editPath->setText(strChosen);
}

void CConverSet::OnOk() {
    m_strPath = qtpaths::ToWide(m_ui->editPath->text());
    const bool bDefault = m_ui->checkDefaultPath->isChecked();
    const std::string strPath = platform::WideToNarrow(m_strPath);
    // A folder that will take the outputs must take a file now: otherwise
    // every conversion into it would fail later. What was made only to find
    // that out goes again when the settings are not saved.
    std::vector<std::string> made;
    if (!bDefault) {
        made = CreateSaveLevels(strPath);
        int nErrno = 0;
        const settings::EFolderProblem problem = settings::CheckFolderWritable(strPath, nErrno);
        if (problem != settings::EFolderProblem::None) {
            RemoveSaveLevels(made);
            ShowFolderProblem(problem, nErrno);
            return;
        }
    }
    // The path is remembered even while the default directory is in use.
    if (!settings::WriteSettings(bDefault, m_strPath)) {
        RemoveSaveLevels(made);
        // Closing now would look like a save; the user can still cancel.
        ShowSaveFailed();
        return;
    }
    CreateSavePath(strPath);
    accept();
}

void CConverSet::ShowFolderProblem(settings::EFolderProblem problem, int nErrno) {
    const wchar_t* pszKey = settings::FolderProblemKey(problem);
    const QString strWhy = *pszKey != 0 ? QString::fromStdWString(CMultiLanguage::GetText(pszKey))
                                        : QString::fromLocal8Bit(std::strerror(nErrno));
    QString strText = QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.FolderNotWritable"));
    const QString strWhere = qtpaths::ForDisplay(m_strPath);
    if (strText.contains(QLatin1String("%2")))
        strText = strText.arg(strWhere, strWhy);
    else
        strText += QLatin1Char(' ') + strWhere + QStringLiteral(": ") + strWhy;
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), strText, QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
    m_ui->editPath->setFocus();
}

void CConverSet::ShowSaveFailed() {
    const QString strWhere = qtpaths::ForDisplay(settings::ConfigSavePath());
    QString strText = QString::fromStdWString(CMultiLanguage::GetText(L"Trelvo.SaveFailed"));
    if (strText.contains(QLatin1String("%1")))
        strText = strText.arg(strWhere);
    else
        strText += QLatin1Char(' ') + strWhere;
    QMessageBox box(QMessageBox::Warning, QCoreApplication::applicationName(), strText, QMessageBox::Ok, this);
    box.exec();
}

void CConverSet::OnCancel() {
    reject();
}

void CConverSet::keyPressEvent(QKeyEvent* pEvent) {
    // No button is the default: Enter presses the focused push button, and
    // anywhere else it ends the dialog as accepted without saving.
    if (pEvent->modifiers() == Qt::NoModifier || pEvent->modifiers() == Qt::KeypadModifier) {
        if (pEvent->key() == Qt::Key_Return || pEvent->key() == Qt::Key_Enter) {
            if (auto* pButton = qobject_cast<QPushButton*>(focusWidget()); pButton != nullptr) {
                if (pButton->isEnabled()) pButton->click();
            } else {
                m_strPath = qtpaths::ToWide(m_ui->editPath->text());
                accept();
            }
            return;
        }
    }
    QDialog::keyPressEvent(pEvent);
}

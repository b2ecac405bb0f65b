// The save-path settings dialog: default directory or a custom one, kept in
// Config.ini.
#pragma once

#include "settings/Settings.h"

#include <QDialog>

#include <memory>
#include <string>

namespace Ui {
class CConverSet;
}

class QKeyEvent;

class CConverSet : public QDialog {
    Q_OBJECT

public:
    explicit CConverSet(QWidget* pParent = nullptr);
    ~CConverSet() override;

    // The custom directory as the dialog holds it.
    std::wstring m_strPath;

protected:
    // Asks the user for a directory (in the form of qtpaths::FromBytes);
    // empty when cancelled.
    virtual QString AskDirectory();
    void keyPressEvent(QKeyEvent* pEvent) override;

private:
    void OnInitDialog();
    void OnDefaultPathClicked();
    void OnBrowse();
    void OnOk();
    void OnCancel();
    void UpdateEnabledState();
    void ShowSaveFailed();
    void ShowFolderProblem(settings::EFolderProblem problem, int nErrno);

    std::unique_ptr<Ui::CConverSet> m_ui;
};

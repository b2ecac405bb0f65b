// Language keys to display text, through the language file Config.ini chooses.
#pragma once

#include <string>

class QWidget;

class CMultiLanguage {
public:
    virtual ~CMultiLanguage() = default;

    // Chooses the language file once at start-up, before any other thread:
    // [themes] Solution in the Config.ini the settings use, NAME.lang in
    // strProgramDir.
    static void LoadLanguage(const std::wstring& strProgramDir);
    // The key's text, or the part after its first dot. Safe from any thread.
    static std::wstring GetText(std::wstring strKey);
    // Translates a dialog's caption and its direct children (Qt build only).
    static void TranslateDialog(QWidget* pDialog);
    // Grows a translated dialog's direct children until every caption fits
    // at the present font: the control itself, the controls after it on its
    // row, the group box around them, lists to show all their columns, and
    // the dialog. Sizes only grow (Qt build only).
    static void FitDialog(QWidget* pDialog);
};

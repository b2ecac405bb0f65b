// Translation of a Qt dialog's captions; the rest of CMultiLanguage has no Qt.
#include "lang/MultiLanguage.h"

#include <QAbstractButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QWidget>

namespace {

QString Translate(const QString& strKey) {
    return QString::fromStdWString(CMultiLanguage::GetText(strKey.toStdWString()));
}

// Edit fields hold data, never keys. Only the exact class counts, so a
// specialised line edit is translated like any other control.
bool IsEditField(const QWidget* pWidget) {
    return pWidget->metaObject() == &QLineEdit::staticMetaObject;
}

}  // namespace

void CMultiLanguage::TranslateDialog(QWidget* pDialog) {
    if (pDialog == nullptr) return;
    const QString strCaption = pDialog->windowTitle();
    if (!strCaption.isEmpty()) pDialog->setWindowTitle(Translate(strCaption));

    // Direct children only, in creation order (the dialogs place their
    // controls straight on the dialog, so this is the window order).
    for (QObject* pChild : pDialog->children()) {
        auto* pWidget = qobject_cast<QWidget*>(pChild);
        if (pWidget == nullptr || pWidget->isWindow() || IsEditField(pWidget)) continue;
        if (auto* pButton = qobject_cast<QAbstractButton*>(pWidget))
            pButton->setText(Translate(pButton->text()));
        else if (auto* pLabel = qobject_cast<QLabel*>(pWidget))
            pLabel->setText(Translate(pLabel->text()));
        else if (auto* pGroup = qobject_cast<QGroupBox*>(pWidget))
            pGroup->setTitle(Translate(pGroup->title()));
    }
}

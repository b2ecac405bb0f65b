// Growing a dialog's fixed layout until every caption fits. The layout was
// drawn for one language and one font; a longer translation or a larger
// font must not cut text. Nothing shrinks: the layout's sizes are minimums.
#include "lang/MultiLanguage.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTreeView>
#include <QWidget>

#include <algorithm>
#include <vector>

namespace {

// Least room between two controls of a row that one of them pushed.
constexpr int kMinGap = 6;

struct SControl {
    QWidget* pWidget;
    QRect orig;
    QRect now;
    bool bFrame;    // a group box: it encloses controls rather than sitting beside them
    bool bStretch;  // a view: it spans the dialog and grows with it
};

QString Caption(const QWidget* pWidget) {
    if (const auto* pButton = qobject_cast<const QAbstractButton*>(pWidget)) return pButton->text();
    if (const auto* pLabel = qobject_cast<const QLabel*>(pWidget))
        return pLabel->textFormat() == Qt::RichText ? QString() : pLabel->text();
    return {};
}

// Where the style draws the caption of a button, check box or radio button,
// or a label's text, at the widget's present size.
QRect TextRoom(const QWidget* pWidget) {
    QStyleOptionButton opt;
    opt.initFrom(pWidget);
    opt.text = Caption(pWidget);
    const QStyle* pStyle = pWidget->style();
    if (const auto* pPush = qobject_cast<const QPushButton*>(pWidget)) {
        if (pPush->autoDefault()) opt.features |= QStyleOptionButton::AutoDefaultButton;
        // The bevel's margin, which the text should not touch either.
        const int nMargin = pStyle->pixelMetric(QStyle::PM_ButtonMargin, &opt, pWidget) / 2;
        return pStyle->subElementRect(QStyle::SE_PushButtonContents, &opt, pWidget).adjusted(nMargin, 0, -nMargin, 0);
    }
    if (qobject_cast<const QCheckBox*>(pWidget))
        return pStyle->subElementRect(QStyle::SE_CheckBoxContents, &opt, pWidget);
    if (qobject_cast<const QRadioButton*>(pWidget))
        return pStyle->subElementRect(QStyle::SE_RadioButtonContents, &opt, pWidget);
    return pWidget->contentsRect();
}

// How much wider and taller the control must be for its caption (or, for a
// list, for every column to show beside a vertical scroll bar).
QSize Growth(const QWidget* pWidget) {
    if (const auto* pTree = qobject_cast<const QTreeView*>(pWidget)) {
        const int nChrome =
            2 * pTree->frameWidth() + pTree->style()->pixelMetric(QStyle::PM_ScrollBarExtent, nullptr, pTree);
        return {std::max(0, pTree->header()->length() + nChrome - pTree->width()), 0};
    }
    if (const auto* pGroup = qobject_cast<const QGroupBox*>(pWidget)) {
        if (pGroup->title().isEmpty()) return {};
        QStyleOptionGroupBox opt;
        opt.initFrom(pGroup);
        opt.text = pGroup->title();
        opt.textAlignment = pGroup->alignment();
        opt.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
        const QRect label =
            pGroup->style()->subControlRect(QStyle::CC_GroupBox, &opt, QStyle::SC_GroupBoxLabel, pGroup);
        // As much room after the title as before it.
        return {std::max(0, label.right() + 1 + label.left() - pGroup->width()), 0};
    }
    const QString strText = Caption(pWidget);
    if (strText.isEmpty()) return {};
    const QFontMetrics fm = pWidget->fontMetrics();
    const QRect room = TextRoom(pWidget);
    const QSize text(fm.horizontalAdvance(strText), fm.height());
    return {std::max(0, text.width() - room.width()), std::max(0, text.height() - room.height())};
}

bool SameRow(const QRect& a, const QRect& b) {
    return a.top() <= b.bottom() && b.top() <= a.bottom();
}

// Controls right of a grown one on its row move along, keeping at least a
// small gap (or the gap they had, when that was smaller).
void PushRows(std::vector<SControl>& controls) {
    std::sort(controls.begin(), controls.end(),
              [](const SControl& a, const SControl& b) { return a.orig.left() < b.orig.left(); });
    for (size_t i = 0; i < controls.size(); ++i) {
        SControl& c = controls[i];
        if (c.bFrame) continue;
        for (size_t k = 0; k < i; ++k) {
            const SControl& left = controls[k];
            if (left.bFrame || !SameRow(left.orig, c.orig) || left.orig.right() >= c.orig.left()) continue;
            const int nGap = std::min(kMinGap, c.orig.left() - left.orig.right() - 1);
            const int nShift = left.now.right() + 1 + nGap - c.now.left();
            if (nShift > 0) c.now.translate(nShift, 0);
        }
    }
}

// A frame keeps the margin it had around what it enclosed.
void GrowFrames(std::vector<SControl>& controls) {
    for (SControl& frame : controls) {
        if (!frame.bFrame) continue;
        for (const SControl& c : controls) {
            if (&c == &frame || !frame.orig.contains(c.orig)) continue;
            const int nMargin = frame.orig.right() - c.orig.right();
            frame.now.setRight(std::max(frame.now.right(), c.now.right() + nMargin));
        }
    }
}

}  // namespace

void CMultiLanguage::FitDialog(QWidget* pDialog) {
    if (pDialog == nullptr) return;
    std::vector<SControl> controls;
    int nOrigRight = 0;
    for (QObject* pChild : pDialog->children()) {
        auto* pWidget = qobject_cast<QWidget*>(pChild);
        if (pWidget == nullptr || pWidget->isWindow()) continue;
        SControl c{pWidget, pWidget->geometry(), pWidget->geometry(), qobject_cast<QGroupBox*>(pWidget) != nullptr,
                   qobject_cast<QAbstractScrollArea*>(pWidget) != nullptr};
        const QSize grow = Growth(pWidget);
        // Taller text grows both ways, so the caption stays on its line.
        c.now.adjust(0, -grow.height() / 2, grow.width(), grow.height() - grow.height() / 2);
        nOrigRight = std::max(nOrigRight, c.orig.right());
        controls.push_back(c);
    }
    PushRows(controls);
    GrowFrames(controls);

    int nRight = 0;
    for (const SControl& c : controls) nRight = std::max(nRight, c.now.right());
    // The dialog keeps its right margin around whatever grew, and views that
    // reached that margin still do.
    const int nMargin = pDialog->width() - nOrigRight;
    const int nWidth = std::max(pDialog->width(), nRight + nMargin);
    for (SControl& c : controls) {
        if (c.bStretch && c.orig.right() == nOrigRight) c.now.setRight(nWidth - nMargin);
        if (c.now != c.orig) c.pWidget->setGeometry(c.now);
    }
    if (nWidth == pDialog->width()) return;
    const bool bFixed = pDialog->minimumSize() == pDialog->maximumSize();
    if (bFixed) {
        pDialog->setFixedSize(nWidth, pDialog->height());
    } else {
        pDialog->setMinimumWidth(std::max(pDialog->minimumWidth(), nWidth));
        pDialog->resize(nWidth, pDialog->height());
    }
}

#include "app/ProgressDelegate.h"

#include <QApplication>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionProgressBar>

#include <algorithm>

void CProgressDelegate::paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const {
    bool bNumber = false;
    const int nPercent = index.data(Qt::DisplayRole).toString().toInt(&bNumber);
    if (!bNumber) {
        // Not begun: an empty cell, drawn as any other.
        QStyledItemDelegate::paint(pPainter, option, index);
        return;
    }
    // The row's background (selection, focus) first, then the bar inside it.
    QStyleOptionViewItem background = option;
    initStyleOption(&background, index);
    background.text.clear();
    const QWidget* pWidget = option.widget;
    QStyle* pStyle = pWidget != nullptr ? pWidget->style() : QApplication::style();
    pStyle->drawControl(QStyle::CE_ItemViewItem, &background, pPainter, pWidget);

    QStyleOptionProgressBar bar;
    bar.initFrom(pWidget);
    bar.rect = option.rect.adjusted(2, 2, -2, -2);
    bar.state = option.state | QStyle::State_Horizontal;
    bar.minimum = 0;
    bar.maximum = 100;
    bar.progress = std::clamp(nPercent, 0, 100);
    bar.text = QStringLiteral("%1%").arg(nPercent);
    bar.textVisible = true;
    bar.textAlignment = Qt::AlignCenter;
    pStyle->drawControl(QStyle::CE_ProgressBar, &bar, pPainter, pWidget);
}

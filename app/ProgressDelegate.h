// Draws a row's progress cell as a bar; the cell's text, a whole percentage,
// stays what the model holds and becomes the bar's label.
#pragma once

#include <QStyledItemDelegate>

class CProgressDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* pPainter, const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

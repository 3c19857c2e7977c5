#pragma once

#include <QStyledItemDelegate>

// Draws the region picker's list items itself, from the list's palette alone: the base colour
// with text in the text colour, the highlighted item in the highlight colours. The desktop's style
// may ignore a palette when it draws menu-like items; this does not depend on it.
class RegionListDelegate : public QStyledItemDelegate {
    Q_OBJECT

public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
};

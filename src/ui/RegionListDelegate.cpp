#include "ui/RegionListDelegate.h"

#include <QPainter>

namespace {

constexpr int horizontalPadding = 8;
constexpr int verticalPadding = 4;

} // namespace

void RegionListDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                               const QModelIndex& index) const {
    const bool highlighted = option.state & QStyle::State_Selected;
    const QPalette& colours = option.palette;
    painter->save();
    painter->fillRect(option.rect, highlighted ? colours.highlight() : colours.base());
    painter->setPen(highlighted ? colours.color(QPalette::HighlightedText)
                                : colours.color(QPalette::Text));
    painter->setFont(option.font);
    const QRect text = option.rect.adjusted(horizontalPadding, 0, -horizontalPadding, 0);
    painter->drawText(text, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                      option.fontMetrics.elidedText(index.data(Qt::DisplayRole).toString(),
                                                    Qt::ElideRight, text.width()));
    painter->restore();
}

QSize RegionListDelegate::sizeHint(const QStyleOptionViewItem& option,
                                   const QModelIndex& index) const {
    const QFontMetrics& metrics = option.fontMetrics;
    return QSize(metrics.horizontalAdvance(index.data(Qt::DisplayRole).toString()) +
                     2 * horizontalPadding,
                 metrics.height() + 2 * verticalPadding);
}

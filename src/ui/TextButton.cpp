#include "ui/TextButton.h"

#include <QPainter>

namespace {

// Room around the text, so that a focus ring drawn around the button clears it.
constexpr int horizontalPadding = 6;
constexpr int verticalPadding = 2;
constexpr qreal pressedAlpha = 0.6;

} // namespace

TextButton::TextButton(const QString& text, QWidget* parent)
    : QPushButton(text, parent) {
    setFlat(true);
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

QSize TextButton::sizeHint() const {
    const QFontMetrics metrics = fontMetrics();
    return QSize(metrics.horizontalAdvance(text()) + 2 * horizontalPadding,
                 metrics.height() + 2 * verticalPadding);
}

QSize TextButton::minimumSizeHint() const {
    return sizeHint();
}

void TextButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    QColor ink = palette().color(QPalette::ButtonText);
    if (isDown())
        ink.setAlphaF(ink.alphaF() * pressedAlpha);
    painter.setPen(ink);
    painter.drawText(rect(), Qt::AlignCenter | Qt::TextSingleLine, text());
}

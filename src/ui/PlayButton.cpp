#include "ui/PlayButton.h"

#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>

#include <algorithm>

namespace {

// Pressing darkens the plate by blending 18 % towards black.
constexpr float pressedShade = 0.82f;
constexpr qreal disabledTitleAlpha = 0.6;

} // namespace

PlayButton::PlayButton(const QString& title, const Palette& palette, QWidget* parent)
    : QPushButton(title, parent)
    , gold_(palette.gold)
    , forest_(palette.forest) {
    // Our paintEvent covers the face, but the corners outside the rounded plate must show the
    // backdrop, so the widget is not opaque.
    setAttribute(Qt::WA_OpaquePaintEvent, false);
}

QFont PlayButton::titleFont() const {
    if (testAttribute(Qt::WA_SetFont))
        return font();
    QFont fallback = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    fallback.setPixelSize(15);
    fallback.setWeight(QFont::DemiBold);
    return fallback;
}

QColor PlayButton::plateColor() const {
    if (!isDown())
        return gold_;
    return QColor::fromRgbF(gold_.redF() * pressedShade, gold_.greenF() * pressedShade,
                            gold_.blueF() * pressedShade, 1.0f);
}

QColor PlayButton::titleColor() const {
    QColor color = forest_;
    if (!isEnabled())
        color.setAlphaF(disabledTitleAlpha);
    return color;
}

QSize PlayButton::sizeHint() const {
    const QFontMetricsF metrics(titleFont());
    const qreal width = metrics.horizontalAdvance(text()) + 2 * 24;
    const qreal height = metrics.height() + 2 * 12;
    return QSize(qCeil(std::max<qreal>(width, 120)), qCeil(std::max<qreal>(height, 42)));
}

QSize PlayButton::minimumSizeHint() const {
    const QFontMetricsF metrics(titleFont());
    return QSize(qCeil(metrics.horizontalAdvance(text())) + 16, qCeil(metrics.height()) + 4);
}

void PlayButton::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(Qt::NoPen);

    const QRectF bounds = rect();

    // The backing layer: gold over the full bounds. While pressed it shows as a thin lighter rim
    // around the darkened plate.
    painter.setBrush(gold_);
    painter.drawRoundedRect(bounds, cornerRadius, cornerRadius);

    painter.setBrush(plateColor());
    painter.drawRoundedRect(bounds.adjusted(1, 1, -1, -1), cornerRadius, cornerRadius);

    // Centred on the full width; vertically by the measured height of the text, not the ink.
    const QFont font = titleFont();
    const QFontMetricsF metrics(font);
    const qreal textHeight = metrics.height();
    const QRectF textRect(0, (bounds.height() - textHeight) * 0.5, bounds.width(), textHeight);
    painter.setFont(font);
    painter.setPen(titleColor());
    painter.drawText(textRect, Qt::AlignHCenter | Qt::AlignTop | Qt::TextSingleLine, text());
}

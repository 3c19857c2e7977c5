#include "ui/RegionPicker.h"

#include "ui/ControlLook.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QFrame>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QStyle>
#include <QStyleFactory>
#include <QWheelEvent>

namespace {

constexpr int textInset = 8;
constexpr qreal arrowWidth = 8;
constexpr qreal arrowHeight = 4;

// Fusion draws the list's items and frame from the palette alone, whatever the desktop's style
// would do. One instance serves every picker and lives as long as the application.
QStyle* paletteStyle() {
    static QPointer<QStyle> style;
    if (style.isNull()) {
        style = QStyleFactory::create(QStringLiteral("Fusion"));
        if (style)
            style->setParent(QCoreApplication::instance());
    }
    return style;
}

} // namespace

RegionPicker::RegionPicker(const Palette& palette, QWidget* parent)
    : QComboBox(parent)
    , colours(palette) {
    setEditable(false);
    // Not WheelFocus: the wheel does nothing here, so it should not take the focus either.
    setFocusPolicy(Qt::StrongFocus);
    if (stockControlsWearWindowColours())
        wearWindowColours();
}

void RegionPicker::wearWindowColours() {
    QPalette look = palette();
    for (const auto role : {QPalette::Window, QPalette::Base, QPalette::Button})
        look.setColor(role, colours.forestLight);
    for (const auto role : {QPalette::Text, QPalette::ButtonText})
        look.setColor(role, colours.parchment);
    // A plain frame draws its line in this colour.
    look.setColor(QPalette::WindowText, colours.muted);
    look.setColor(QPalette::Highlight, colours.gold);
    look.setColor(QPalette::HighlightedText, colours.forest);
    setPalette(look);

    QAbstractItemView* list = view();
    QWidget* popup = list->parentWidget();
    if (QStyle* style = paletteStyle(); style != nullptr) {
        setStyle(style);
        list->setStyle(style);
        popup->setStyle(style);
    }
    list->setPalette(look);
    popup->setPalette(look);
    // After the style, whose change resets the popup's frame.
    if (auto* frame = qobject_cast<QFrame*>(popup); frame != nullptr) {
        frame->setFrameStyle(QFrame::Box | QFrame::Plain);
        frame->setLineWidth(1);
    }
}

void RegionPicker::paintEvent(QPaintEvent* event) {
    if (!stockControlsWearWindowColours()) {
        QComboBox::paintEvent(event);
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    // The border's line on whole pixels.
    const QRectF box = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    painter.setPen(QPen(colours.muted, 1));
    painter.setBrush(colours.forestLight);
    painter.drawRoundedRect(box, cornerRadius, cornerRadius);

    const QColor ink = isEnabled() ? colours.parchment : colours.muted;
    const qreal middle = height() / 2.0;
    const qreal arrowRight = width() - textInset;
    QPainterPath arrow;
    arrow.moveTo(arrowRight - arrowWidth, middle - arrowHeight / 2);
    arrow.lineTo(arrowRight - arrowWidth / 2, middle + arrowHeight / 2);
    arrow.lineTo(arrowRight, middle - arrowHeight / 2);
    painter.setPen(QPen(ink, 1.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(arrow);

    const QRect textRect =
        rect().adjusted(textInset, 0, -(textInset + int(arrowWidth) + textInset), 0);
    painter.setPen(ink);
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter,
                     fontMetrics().elidedText(currentText(), Qt::ElideRight, textRect.width()));
}

void RegionPicker::wheelEvent(QWheelEvent* event) {
    // Left to the window, which ignores it too; the open list scrolls on its own.
    event->ignore();
}

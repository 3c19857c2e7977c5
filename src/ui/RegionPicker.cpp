#include "ui/RegionPicker.h"

#include "ui/ControlLook.h"
#include "ui/RegionListDelegate.h"

#include <QAbstractItemView>
#include <QFrame>
#include <QPainter>
#include <QPainterPath>
#include <QWheelEvent>

namespace {

constexpr int textInset = 8;
constexpr qreal arrowWidth = 8;
constexpr qreal arrowHeight = 4;

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
}

void RegionPicker::showPopup() {
    if (stockControlsWearWindowColours() && !listDressed)
        dressList();
    QComboBox::showPopup();
}

void RegionPicker::dressList() {
    // On first use only: dressing the list at start-up touches much of the item views' code, half
    // a MiB of memory that a player who never opens the list would pay for. The picker keeps the
    // desktop's style, so that its size is the usual one; the list's items and frame are drawn
    // from the palette alone.
    listDressed = true;
    QAbstractItemView* list = view();
    QWidget* popup = list->parentWidget();
    setItemDelegate(new RegionListDelegate(list));
    list->setPalette(palette());
    popup->setPalette(palette());
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

#include "ui/FocusRing.h"

#include <QEvent>
#include <QPainter>

#include <algorithm>

namespace {

constexpr int margin = FocusRing::gap + FocusRing::lineWidth;
// The middle of the line, measured outwards from the control's edge.
constexpr qreal lineMiddle = FocusRing::gap + FocusRing::lineWidth / 2.0;

} // namespace

FocusRing::FocusRing(const QColor& color, QWidget* parent)
    : QWidget(parent)
    , color_(color) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    hide();
}

void FocusRing::surround(QWidget* control, qreal cornerRadius) {
    if (control_ != nullptr)
        control_->removeEventFilter(this);
    control_ = control;
    radius_ = cornerRadius;
    if (control_ == nullptr) {
        hide();
        return;
    }
    control_->installEventFilter(this);
    follow();
    raise();
    show();
    update();
}

qreal FocusRing::lineRadius() const {
    // Concentric with the control's corners where that keeps the ring's inner edge clear of the
    // control's rectangle: an inner corner of radius r at `gap` outside it touches the
    // rectangle's corner when r = gap * sqrt(2) / (sqrt(2) - 1).
    constexpr qreal clearRadius = gap * 3.4;
    return std::min(radius_ + gap, clearRadius) + lineWidth / 2.0;
}

void FocusRing::follow() {
    if (control_ != nullptr)
        setGeometry(control_->geometry().adjusted(-margin, -margin, margin, margin));
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
    if (watched == control_ && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        follow();
    return QWidget::eventFilter(watched, event);
}

void FocusRing::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color_, lineWidth));
    painter.setBrush(Qt::NoBrush);
    const QRectF line = QRectF(rect()).adjusted(margin - lineMiddle, margin - lineMiddle,
                                                -(margin - lineMiddle), -(margin - lineMiddle));
    painter.drawRoundedRect(line, lineRadius(), lineRadius());
}

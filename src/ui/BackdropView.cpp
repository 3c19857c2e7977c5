#include "ui/BackdropView.h"

#include <QApplication>
#include <QLinearGradient>
#include <QMouseEvent>
#include <QPainter>
#include <QWindow>

namespace {

constexpr qreal frameInset = 18;
constexpr qreal frameRadius = 16;
constexpr qreal frameAlpha = 0.055;

} // namespace

BackdropView::BackdropView(const Palette& palette, QWidget* parent)
    : QWidget(parent)
    , top_(palette.forestLight)
    , bottom_(palette.forest) {
    // Every pixel is painted on each paint event, so Qt need not clear the background first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize BackdropView::sizeHint() const {
    return QSize(540, 365);
}

QRectF BackdropView::frameRect() const {
    return QRectF(rect()).adjusted(frameInset + 0.5, frameInset + 0.5, -frameInset - 0.5,
                                   -frameInset - 0.5);
}

void BackdropView::paintEvent(QPaintEvent*) {
    // Always paint the whole bounds; the system clip keeps it to the dirty region, and a partial
    // repaint then yields exactly the pixels of a full one.
    QPainter painter(this);
    const QRectF bounds = rect();

    QLinearGradient gradient(bounds.topLeft(), bounds.bottomLeft());
    gradient.setColorAt(0, top_);
    gradient.setColorAt(1, bottom_);
    painter.fillRect(bounds, gradient);

    QColor line = Qt::white;
    line.setAlphaF(frameAlpha);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(line, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRoundedRect(frameRect(), frameRadius, frameRadius);
}

void BackdropView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) {
        QWidget::mousePressEvent(event);
        return;
    }
    // The window has no other handle for moving it on platforms where its title bar is hidden,
    // so the whole background acts as one. The move starts only once the pointer has really
    // moved: handed a click that has already ended, an X11 window manager keeps the window stuck
    // to the pointer until the next click.
    pressedAt = event->globalPosition();
    event->accept();
}

void BackdropView::mouseMoveEvent(QMouseEvent* event) {
    if (!pressedAt || !(event->buttons() & Qt::LeftButton)) {
        QWidget::mouseMoveEvent(event);
        return;
    }
    if ((event->globalPosition() - *pressedAt).manhattanLength() >=
        QApplication::startDragDistance()) {
        pressedAt.reset();
        startWindowMove();
    }
    event->accept();
}

void BackdropView::mouseReleaseEvent(QMouseEvent* event) {
    pressedAt.reset();
    QWidget::mouseReleaseEvent(event);
}

void BackdropView::startWindowMove() {
    if (QWidget* top = window(); top != nullptr) {
        if (QWindow* handle = top->windowHandle(); handle != nullptr)
            handle->startSystemMove();
    }
}

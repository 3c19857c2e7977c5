#include "ui/ProgressBar.h"

#include "ui/ControlLook.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionProgressBar>
#include <QStylePainter>

#include <algorithm>
#include <cmath>

ProgressBar::ProgressBar(QWidget* parent)
    : QProgressBar(parent) {
    frames.setInterval(busyFrameMs);
    connect(&frames, &QTimer::timeout, this, qOverload<>(&QWidget::update));
}

void ProgressBar::setBusy(bool value) {
    if (busy == value)
        return;
    busy = value;
    if (busy) {
        sweep.start();
        if (isVisible())
            frames.start();
    } else {
        frames.stop();
    }
    update();
}

void ProgressBar::paintEvent(QPaintEvent* event) {
    if (stockControlsWearWindowColours()) {
        paintInWindowColours();
        return;
    }
    if (!busy) {
        QProgressBar::paintEvent(event);
        return;
    }
    QStylePainter painter(this);
    QStyleOptionProgressBar option;
    initStyleOption(&option);
    option.minimum = 0;
    option.maximum = 100;
    option.progress = 0;
    painter.drawControl(QStyle::CE_ProgressBarGroove, option);

    const QRect groove = rect().adjusted(1, 1, -1, -1);
    painter.setClipRect(groove);
    painter.fillRect(sweepBlock(groove), palette().color(QPalette::Highlight));
}

QRect ProgressBar::sweepBlock(const QRect& track) const {
    // A third of the track travels from the left edge out at the right, then starts over.
    const int block = std::max(1, track.width() / 3);
    const double phase = double(sweep.elapsed() % sweepMs) / sweepMs;
    const int left = track.left() - block + int(phase * (track.width() + block));
    return QRect(left, track.top(), block, track.height());
}

void ProgressBar::paintInWindowColours() {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRect track = rect();
    const qreal radius = std::min(track.height() / 2.0, trackRadius);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(track), radius, radius);
    painter.fillPath(outline, QColor::fromRgbF(0, 0, 0, trackAlpha));
    painter.setClipPath(outline);

    QRect fill;
    if (busy) {
        fill = sweepBlock(track);
    } else if (maximum() > minimum()) {
        const double done =
            std::clamp(double(value() - minimum()) / (maximum() - minimum()), 0.0, 1.0);
        fill = QRect(track.left(), track.top(), int(std::lround(done * track.width())),
                     track.height());
    }
    painter.fillRect(fill, palette().color(QPalette::Highlight));
}

void ProgressBar::showEvent(QShowEvent* event) {
    QProgressBar::showEvent(event);
    if (busy)
        frames.start();
}

void ProgressBar::hideEvent(QHideEvent* event) {
    frames.stop();
    QProgressBar::hideEvent(event);
}

#include "ui/ProgressBar.h"

#include <QPainter>
#include <QStyleOptionProgressBar>
#include <QStylePainter>

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

    // A third of the groove travels from the left edge out at the right, then starts over.
    const QRect groove = rect().adjusted(1, 1, -1, -1);
    const int block = std::max(1, groove.width() / 3);
    const double phase = double(sweep.elapsed() % sweepMs) / sweepMs;
    const int left = groove.left() - block + int(phase * (groove.width() + block));
    painter.setClipRect(groove);
    painter.fillRect(QRect(left, groove.top(), block, groove.height()),
                     palette().color(QPalette::Highlight));
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

#include "ui/ProgressBar.h"

#include "ui/ControlLook.h"

#include <QEvent>
#include <QPainter>
#include <QPainterPath>
#include <QStyleOptionProgressBar>
#include <QStylePainter>

#include <algorithm>
#include <cmath>

namespace {

QPainterPath trackOutline(const QRect& track) {
    const qreal radius = std::min(track.height() / 2.0, ProgressBar::trackRadius);
    QPainterPath outline;
    outline.addRoundedRect(QRectF(track), radius, radius);
    return outline;
}

} // namespace

ProgressBar::ProgressBar(QWidget* parent)
    : QProgressBar(parent) {
    frames.setInterval(busyFrameMs);
    connect(&frames, &QTimer::timeout, this, &ProgressBar::advanceSweep);
}

void ProgressBar::setBusy(bool value) {
    if (busy == value)
        return;
    busy = value;
    if (busy) {
        sweep.start();
        block = sweepBlock();
        if (isVisible())
            frames.start(busyFrameMs);
    } else {
        frames.stop();
    }
    update();
}

bool ProgressBar::event(QEvent* event) {
    const bool handled = QProgressBar::event(event);
    // Every pixel comes from the cached backdrop or the track, so nothing beneath need be
    // repainted. Set after the style's polish, which clears it for progress bars.
    if (event->type() == QEvent::Polish && stockControlsWearWindowColours())
        setAttribute(Qt::WA_OpaquePaintEvent);
    return handled;
}

QRect ProgressBar::track() const {
    // The stock groove has a frame of one pixel.
    return stockControlsWearWindowColours() ? rect() : rect().adjusted(1, 1, -1, -1);
}

QRect ProgressBar::sweepBlock() const {
    // A third of the track travels from the left edge out at the right, rests out of view, then
    // starts over.
    const qint64 time = sweep.elapsed() % (sweepMs + restMs);
    if (time >= sweepMs)
        return {};
    const QRect groove = track();
    const int width = std::max(1, groove.width() / 3);
    const double phase = double(time) / sweepMs;
    const int left = groove.left() - width + int(phase * (groove.width() + width));
    return QRect(left, groove.top(), width, groove.height());
}

void ProgressBar::advanceSweep() {
    const QRect next = sweepBlock();
    if (next != block) {
        // Only the pixels the block leaves or enters change.
        update(block.united(next) & rect());
        block = next;
    }
    // Out of view nothing moves: the next frame is the next sweep's first.
    const qint64 time = sweep.elapsed() % (sweepMs + restMs);
    const int interval = time >= sweepMs ? int(sweepMs + restMs - time) : busyFrameMs;
    if (frames.interval() != interval)
        frames.setInterval(interval);
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
    painter.setClipRect(track());
    painter.fillRect(block, palette().color(QPalette::Highlight));
}

const QPixmap& ProgressBar::emptyTrack() {
    // Taken again only when the bar moves or changes size: the backdrop does not change.
    const qreal ratio = devicePixelRatioF();
    if (emptyTrackPlace != geometry() || emptyTrackImage.devicePixelRatio() != ratio) {
        emptyTrackPlace = geometry();
        emptyTrackImage = QPixmap(size() * ratio);
        emptyTrackImage.setDevicePixelRatio(ratio);
        emptyTrackImage.fill(palette().color(QPalette::Window));
        if (QWidget* beneath = parentWidget(); beneath != nullptr)
            beneath->render(&emptyTrackImage, QPoint(), QRegion(geometry()),
                            QWidget::DrawWindowBackground);
        QPainter painter(&emptyTrackImage);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.fillPath(trackOutline(rect()), QColor::fromRgbF(0, 0, 0, trackAlpha));
    }
    return emptyTrackImage;
}

void ProgressBar::paintInWindowColours() {
    const QPixmap& empty = emptyTrack();
    QPainter painter(this);
    painter.drawPixmap(0, 0, empty);

    QRect fill;
    if (busy) {
        fill = block;
    } else if (maximum() > minimum()) {
        const double done =
            std::clamp(double(value() - minimum()) / (maximum() - minimum()), 0.0, 1.0);
        fill = QRect(0, 0, int(std::lround(done * width())), height());
    }
    if (fill.isEmpty())
        return;
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setClipPath(trackOutline(rect()));
    painter.fillRect(fill, palette().color(QPalette::Highlight));
}

void ProgressBar::resizeEvent(QResizeEvent* event) {
    QProgressBar::resizeEvent(event);
    if (busy)
        block = sweepBlock();
}

void ProgressBar::showEvent(QShowEvent* event) {
    QProgressBar::showEvent(event);
    if (busy) {
        block = sweepBlock();
        frames.start(busyFrameMs);
    }
}

void ProgressBar::hideEvent(QHideEvent* event) {
    frames.stop();
    QProgressBar::hideEvent(event);
}

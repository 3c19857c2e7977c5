#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/Palette.h"

#include <QApplication>
#include <QMouseEvent>
#include <QRegion>

namespace {

const Palette palette = Palette::standard();

} // namespace

TEST(BackdropView, isAGradientWithAFaintFrameThatPaintsTheSameInParts) {
    BackdropView view(palette);
    view.resize(540, 365);
    const QImage image = renderedImage(view);
    EXPECT_TRUE(pixelsNear(image, {{270, 0}, {0, 0}, {539, 0}}, palette.forestLight));
    EXPECT_TRUE(pixelsNear(image, {{270, 364}, {0, 364}, {539, 364}}, palette.forest));
    // The frame: white at 5.5 % over the gradient, 18 pixels in, its corners rounded.
    QColor line = Qt::white;
    line.setAlphaF(0.055f);
    for (const QPoint p : {QPoint(18, 182), QPoint(521, 182), QPoint(270, 18), QPoint(270, 346)})
        EXPECT_TRUE(
            pixelsNear(image, {p}, composited(line, image.pixelColor(p + QPoint(1, 1))), 2));
    EXPECT_TRUE(pixelsNear(image, {{18, 18}}, image.pixelColor(17, 18)));
    // A corner painted alone, where both the gradient and the rounded line must line up.
    const QRect part(0, 320, 60, 45);
    QImage partial(image.size(), QImage::Format_ARGB32);
    partial.fill(Qt::magenta);
    view.render(&partial, part.topLeft(), QRegion(part));
    EXPECT_EQ(partial.copy(part), image.copy(part));
}

TEST(BackdropView, movesTheWindowOnlyOnceTheLeftButtonIsDraggedTheDragDistance) {
    struct CountingBackdrop : BackdropView {
        using BackdropView::BackdropView;
        int moves = 0;
        void startWindowMove() override { ++moves; }
    } view(palette);
    auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButtons held) {
        QMouseEvent event(type, at, view.mapToGlobal(at),
                          type == QEvent::MouseMove ? Qt::NoButton : Qt::LeftButton, held,
                          Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    };
    const int distance = QApplication::startDragDistance();
    const QPointF start(100, 100);
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, start, Qt::NoButton);
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::NoButton);
    send(QEvent::MouseButtonPress, start, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(distance - 1, 0), Qt::LeftButton);
    EXPECT_EQ(view.moves, 0) << "a click, or a shaky one";
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(2 * distance, 0), Qt::LeftButton);
    EXPECT_EQ(view.moves, 1);
}

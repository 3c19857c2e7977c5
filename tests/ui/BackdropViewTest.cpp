#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/Palette.h"

#include <QApplication>
#include <QMouseEvent>
#include <QRegion>

namespace {

const Palette palette = Palette::standard();
constexpr int width = 540;
constexpr int height = 365;

QImage renderBackdrop(BackdropView& view) {
    view.resize(width, height);
    return renderedImage(view);
}

// The frame's line: white at 5.5 % over the gradient.
QColor lifted(const QColor& background) {
    QColor line = Qt::white;
    line.setAlphaF(0.055f);
    return composited(line, background);
}

} // namespace

TEST(BackdropView, isAVerticalGradientFromLightToDarkForestOneColourPerRow) {
    BackdropView view(palette);
    const QImage image = renderBackdrop(view);
    EXPECT_TRUE(pixelsNear(image, {{270, 0}, {0, 0}, {539, 0}}, palette.forestLight));
    EXPECT_TRUE(pixelsNear(image, {{270, 364}, {0, 364}, {539, 364}}, palette.forest));
    const QColor middle =
        QColor::fromRgbF((palette.forestLight.redF() + palette.forest.redF()) / 2,
                         (palette.forestLight.greenF() + palette.forest.greenF()) / 2,
                         (palette.forestLight.blueF() + palette.forest.blueF()) / 2);
    EXPECT_TRUE(pixelsNear(image, {{270, 182}}, middle));

    // Away from the frame's bands every row is one colour, and none is lighter than the one above.
    auto nearFrame = [](int x, int y) {
        return (x >= 16 && x <= 36) || (x >= width - 37 && x <= width - 17) ||
               (y >= 16 && y <= 20) || (y >= height - 21 && y <= height - 17);
    };
    int previousSum = 3 * 256;
    for (int y = 0; y < height; ++y) {
        const QColor row = image.pixelColor(width / 2, y);
        for (int x = 0; x < width; ++x)
            ASSERT_TRUE(nearFrame(x, y) || image.pixelColor(x, y) == row) << "at " << x << "," << y;
        if (!nearFrame(width / 2, y)) {
            EXPECT_LE(row.red() + row.green() + row.blue(), previousSum) << "row " << y;
            previousSum = row.red() + row.green() + row.blue();
        }
    }
}

TEST(BackdropView, drawsAFaintOnePixelFrameEighteenPixelsInWithRoundedCorners) {
    BackdropView view(palette);
    const QImage image = renderBackdrop(view);
    // For each edge: a pixel on the line, and its neighbours just outside and inside.
    const QPoint probes[][3] = {
        {{18, 182}, {17, 182}, {19, 182}},
        {{width - 19, 182}, {width - 18, 182}, {width - 20, 182}},
        {{270, 18}, {270, 17}, {270, 19}},
        {{270, height - 19}, {270, height - 18}, {270, height - 20}},
    };
    for (const auto& [line, outside, inside] : probes) {
        SCOPED_TRACE(testing::Message() << line.x() << "," << line.y());
        EXPECT_TRUE(isNearColor(image.pixelColor(outside), image.pixelColor(inside), 1));
        EXPECT_TRUE(isNearColor(image.pixelColor(line), lifted(image.pixelColor(inside)), 2));
        EXPECT_GT(channelDistance(image.pixelColor(line), image.pixelColor(inside)), 8);
    }
    // Radius 16: the square corner stays bare, the arc passes (23, 23), the edge starts at 34.
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 18), image.pixelColor(17, 18), 1));
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 26), image.pixelColor(17, 26), 1));
    EXPECT_GT(channelDistance(image.pixelColor(23, 23), image.pixelColor(17, 23)), 3);
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 36), lifted(image.pixelColor(17, 36)), 2));
}

TEST(BackdropView, paintingPartOfItGivesTheSamePixelsAsPaintingAll) {
    BackdropView view(palette);
    const QImage whole = renderBackdrop(view);
    // A corner of the frame, where both the gradient and the rounded line must line up.
    const QRect part(0, 320, 60, 45);
    QImage partial(whole.size(), QImage::Format_ARGB32);
    partial.fill(Qt::magenta);
    view.render(&partial, part.topLeft(), QRegion(part));
    EXPECT_EQ(partial.copy(part), whole.copy(part));
}

TEST(BackdropView, movesTheWindowOnlyOnceTheLeftButtonIsDraggedTheDragDistance) {
    struct CountingBackdrop : BackdropView {
        using BackdropView::BackdropView;
        int moves = 0;
        void startWindowMove() override { ++moves; }
    } view(palette);
    auto send = [&](QEvent::Type type, QPointF at, Qt::MouseButton button, Qt::MouseButtons held) {
        QMouseEvent event(type, at, view.mapToGlobal(at), button, held, Qt::NoModifier);
        QApplication::sendEvent(&view, &event);
    };
    const int distance = QApplication::startDragDistance();
    const QPointF start(100, 100);
    send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseButtonRelease, start, Qt::LeftButton, Qt::NoButton);
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(view.moves, 0) << "a click or tap";

    send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(distance - 1, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(view.moves, 0) << "a shaky click";
    send(QEvent::MouseMove, start + QPointF(distance, 0), Qt::NoButton, Qt::LeftButton);
    send(QEvent::MouseMove, start + QPointF(2 * distance, 0), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(view.moves, 1);
}

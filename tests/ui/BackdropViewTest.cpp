#include "Pixels.h"

#include "ui/BackdropView.h"
#include "ui/Palette.h"

#include <QPainter>
#include <QRegion>

namespace {

const Palette palette = Palette::standard();
constexpr int width = 540;
constexpr int height = 365;

QImage renderBackdrop(BackdropView& view) {
    view.resize(width, height);
    return renderedImage(view);
}

// Columns and rows that the frame's line or its rounded corners can touch.
bool nearFrame(int x, int y) {
    const bool frameColumnBand = (x >= 16 && x <= 36) || (x >= width - 37 && x <= width - 17);
    const bool frameRowBand = (y >= 16 && y <= 20) || (y >= height - 21 && y <= height - 17);
    return frameColumnBand || frameRowBand;
}

QColor lifted(const QColor& background) {
    QColor line = Qt::white;
    line.setAlphaF(0.055f);
    return composited(line, background);
}

} // namespace

TEST(BackdropView, FillsWithAVerticalGradientFromLightToDarkForest) {
    BackdropView view(palette);
    const QImage image = renderBackdrop(view);

    EXPECT_TRUE(isNearColor(image.pixelColor(width / 2, 0), palette.forestLight, 1));
    EXPECT_TRUE(isNearColor(image.pixelColor(width / 2, height - 1), palette.forest, 1));
    const QColor middle =
        QColor::fromRgbF((palette.forestLight.redF() + palette.forest.redF()) / 2,
                         (palette.forestLight.greenF() + palette.forest.greenF()) / 2,
                         (palette.forestLight.blueF() + palette.forest.blueF()) / 2);
    EXPECT_TRUE(isNearColor(image.pixelColor(width / 2, height / 2), middle, 1));
    // Evenly: each row is the straight blend for the height of its centre.
    for (const int y : {0, height / 8, height / 4, height / 2, 3 * height / 4, height - 1}) {
        const qreal t = (y + 0.5) / height;
        const QColor blend =
            QColor::fromRgbF(palette.forestLight.redF() * (1 - t) + palette.forest.redF() * t,
                             palette.forestLight.greenF() * (1 - t) + palette.forest.greenF() * t,
                             palette.forestLight.blueF() * (1 - t) + palette.forest.blueF() * t);
        EXPECT_TRUE(isNearColor(image.pixelColor(width / 2, y), blend, 1)) << "row " << y;
    }

    // Away from the frame every row is one colour, and no row is lighter than the one above.
    int previousSum = 3 * 256;
    for (int y = 0; y < height; ++y) {
        QColor rowColor;
        for (int x = 0; x < width; ++x) {
            if (nearFrame(x, y))
                continue;
            const QColor c = image.pixelColor(x, y);
            if (!rowColor.isValid())
                rowColor = c;
            ASSERT_EQ(c, rowColor) << "row " << y << " differs at x " << x;
        }
        if (!rowColor.isValid())
            continue;
        const int sum = rowColor.red() + rowColor.green() + rowColor.blue();
        EXPECT_LE(sum, previousSum) << "row " << y;
        previousSum = sum;
    }
}

TEST(BackdropView, DrawsAFaintOnePixelFrameEighteenPixelsIn) {
    BackdropView view(palette);
    const QImage image = renderBackdrop(view);

    struct Probe {
        const char* edge;
        QPoint line;
        QPoint outside;
        QPoint inside;
    };
    const int midX = width / 2;
    const int midY = height / 2;
    const Probe probes[] = {
        {"left", {18, midY}, {17, midY}, {19, midY}},
        {"right", {width - 19, midY}, {width - 18, midY}, {width - 20, midY}},
        {"top", {midX, 18}, {midX, 17}, {midX, 19}},
        {"bottom", {midX, height - 19}, {midX, height - 18}, {midX, height - 20}},
    };
    for (const Probe& p : probes) {
        SCOPED_TRACE(p.edge);
        const QColor outside = image.pixelColor(p.outside);
        const QColor inside = image.pixelColor(p.inside);
        // The neighbours are plain gradient: the line covers exactly one pixel.
        EXPECT_TRUE(isNearColor(outside, inside, 1));
        EXPECT_TRUE(isNearColor(image.pixelColor(p.line), lifted(inside), 2));
        EXPECT_GT(channelDistance(image.pixelColor(p.line), inside), 8);
    }

    // The corners are rounded with radius 16: the square corner stays bare, and the straight
    // edge begins where the arc ends.
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 18), image.pixelColor(17, 18), 1));
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 26), image.pixelColor(17, 26), 1));
    // The arc passes through (23, 23), half-way round the corner.
    EXPECT_GT(channelDistance(image.pixelColor(23, 23), image.pixelColor(17, 23)), 3);
    EXPECT_TRUE(isNearColor(image.pixelColor(18, 18 + 18), lifted(image.pixelColor(17, 36)), 2));
    EXPECT_TRUE(isNearColor(image.pixelColor(width - 19, height - 19),
                            image.pixelColor(width - 18, height - 19), 1));
}

TEST(BackdropView, PaintingPartOfItGivesTheSamePixelsAsPaintingAll) {
    BackdropView view(palette);
    const QImage whole = renderBackdrop(view);

    const QRect parts[] = {
        QRect(200, 150, 40, 30), // plain gradient in the middle
        QRect(0, 0, 48, 48),     // the top-left corner of the frame
        QRect(500, 330, 40, 35), // the bottom-right corner
        QRect(10, 340, 520, 10), // a thin strip across the bottom edge of the frame
    };
    for (const QRect& part : parts) {
        SCOPED_TRACE(testing::Message()
                     << part.x() << "," << part.y() << " " << part.width() << "x" << part.height());
        QImage partial(whole.size(), QImage::Format_ARGB32);
        partial.fill(Qt::magenta);
        view.render(&partial, part.topLeft(), QRegion(part));
        for (int y = part.top(); y <= part.bottom(); ++y) {
            for (int x = part.left(); x <= part.right(); ++x)
                ASSERT_EQ(partial.pixelColor(x, y), whole.pixelColor(x, y))
                    << "at " << x << "," << y;
        }
    }
}

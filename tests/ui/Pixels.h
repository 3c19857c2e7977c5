#pragma once

#include <QColor>
#include <QImage>
#include <QRect>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

// Pixel helpers for tests that render real widgets and look at what came out.

inline QImage renderedImage(QWidget& widget) {
    return widget.grab().toImage().convertToFormat(QImage::Format_ARGB32);
}

// The largest difference of one 8-bit channel between two colours.
inline int channelDistance(const QColor& a, const QColor& b) {
    return std::max({std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                     std::abs(a.blue() - b.blue())});
}

inline testing::AssertionResult isNearColor(const QColor& actual, const QColor& expected,
                                            int tolerance) {
    const int distance = channelDistance(actual, expected);
    if (distance <= tolerance)
        return testing::AssertionSuccess();
    return testing::AssertionFailure()
           << "colour " << actual.name().toStdString() << " is " << distance << " from "
           << expected.name().toStdString() << " (tolerance " << tolerance << ")";
}

// `top` drawn with its alpha over the opaque `bottom`.
inline QColor composited(const QColor& top, const QColor& bottom) {
    const float a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + bottom.redF() * (1 - a),
                            top.greenF() * a + bottom.greenF() * (1 - a),
                            top.blueF() * a + bottom.blueF() * (1 - a));
}

// The bounding box of the pixels in `area` that differ from `background` by more than
// `threshold`: the ink of whatever was drawn there.
inline QRect inkBounds(const QImage& image, const QRect& area, const QColor& background,
                       int threshold = 48) {
    QRect bounds;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            if (channelDistance(image.pixelColor(x, y), background) > threshold)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

// The pixel in `area` with the lowest sum of channels: where text ink is fully opaque.
inline QColor darkestPixel(const QImage& image, const QRect& area) {
    QColor darkest = Qt::white;
    int lowest = 3 * 255 + 1;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            const int sum = c.red() + c.green() + c.blue();
            if (sum < lowest) {
                lowest = sum;
                darkest = c;
            }
        }
    }
    return darkest;
}

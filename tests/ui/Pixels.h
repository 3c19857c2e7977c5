#pragma once

#include <QColor>
#include <QImage>
#include <QWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <initializer_list>

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

// Every sampled pixel is within `tolerance` of `expected`.
inline testing::AssertionResult pixelsNear(const QImage& image, std::initializer_list<QPoint> at,
                                           const QColor& expected, int tolerance = 1) {
    for (const QPoint p : at) {
        if (auto result = isNearColor(image.pixelColor(p), expected, tolerance); !result)
            return result << " at " << p.x() << "," << p.y();
    }
    return testing::AssertionSuccess();
}

// `top` drawn with its alpha over the opaque `bottom`.
inline QColor composited(const QColor& top, const QColor& bottom) {
    const float a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + bottom.redF() * (1 - a),
                            top.greenF() * a + bottom.greenF() * (1 - a),
                            top.blueF() * a + bottom.blueF() * (1 - a));
}

// The bounding box of the pixels that differ from `background` by more than `threshold`: the ink
// of whatever was drawn there. A two-pixel margin keeps the antialiased edges of a plate out.
inline QRect inkBounds(const QImage& image, const QColor& background, int threshold = 48) {
    QRect bounds;
    for (int y = 2; y < image.height() - 2; ++y) {
        for (int x = 2; x < image.width() - 2; ++x) {
            if (channelDistance(image.pixelColor(x, y), background) > threshold)
                bounds |= QRect(x, y, 1, 1);
        }
    }
    return bounds;
}

// Within `area`, the pixel farthest from `background`: where text drawn on it is fully opaque.
inline QColor inkPixel(const QImage& image, const QRect& area, const QColor& background) {
    QColor ink = background;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (channelDistance(c, background) > channelDistance(ink, background))
                ink = c;
        }
    }
    return ink;
}

// The pixel with the lowest sum of channels: where text ink is fully opaque.
inline QColor darkestPixel(const QImage& image) {
    QColor darkest = Qt::white;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QColor c = image.pixelColor(x, y);
            if (c.red() + c.green() + c.blue() < darkest.red() + darkest.green() + darkest.blue())
                darkest = c;
        }
    }
    return darkest;
}

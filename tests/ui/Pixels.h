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

// Every sampled pixel is within `tolerance` of `expected`.
inline testing::AssertionResult pixelsNear(const QImage& image, std::initializer_list<QPoint> at,
                                           const QColor& expected, int tolerance = 1) {
    for (const QPoint p : at) {
        if (channelDistance(image.pixelColor(p), expected) > tolerance)
            return testing::AssertionFailure()
                   << image.pixelColor(p).name().toStdString() << " at " << p.x() << "," << p.y()
                   << " is not " << expected.name().toStdString();
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

// Within `area`, the pixel farthest from `background`: where text drawn on it is fully opaque.
inline QColor inkPixel(const QImage& image, const QRect& area, const QColor& background) {
    QColor ink = background;
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (channelDistance(image.pixelColor(x, y), background) >
                channelDistance(ink, background))
                ink = image.pixelColor(x, y);
    return ink;
}

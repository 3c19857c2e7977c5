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

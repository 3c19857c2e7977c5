#pragma once

#include <QString>

// The number on a download progress line: every numeric character of the line, joined.
struct ProgressPercentage {
    // The parsed value, not limited to 0..100; 0 when the joined text is not a plain number.
    double value = 0;
    // The value truncated to an integer, in plain decimal.
    QString shown;
};

ProgressPercentage parsePercentage(const QString& line);

#include "updater/ProgressPercentage.h"

#include <gtest/gtest.h>

#include <limits>

TEST(ProgressPercentage, joinsEveryNumericCharacterAndAcceptsOnlyAsciiDigits) {
    const double infinity = std::numeric_limits<double>::infinity();
    const QString megabyte = "1" + QString(1 << 20, u'0');
    const std::tuple<QString, double, QString> cases[] = {
        {"Downloading launcher: 42%", 42, "42"},
        {"Downloading client: 250%", 250, "250"},
        {"Downloading client: 007%", 7, "7"},
        // A percentage and a size read as one number; a point or sign is no numeric character.
        {"Downloading client: 4% of 120 MB", 4120, "4120"},
        {"Downloading client: -42.9%", 429, "429"},
        {"Downloading client: done", 0, "0"},
        // Any numeric character other than an ASCII digit makes the whole value 0.
        {"Downloading client: \u0664\u0662%", 0, "0"},
        {"Downloading client: 4\u0662%", 0, "0"},
        {"Downloading client: 4\u4e94%", 0, "0"},
        {"Downloading client: 4\U0001D7D8", 0, "0"},
        // A combining mark makes the digit one character that is no longer plain ASCII.
        {"Downloading client: 4\u0301", 0, "0"},
        // From 2^63 on the digits themselves are shown. 2^63 - 1 is 2^63 as a double.
        {"Downloading client: 9223372036854774784", 9223372036854774784.0, "9223372036854774784"},
        {"Downloading client: 9223372036854775807", 9223372036854775808.0, "9223372036854775807"},
        {"Downloading client: 009223372036854775808", 9223372036854775808.0, "9223372036854775808"},
        {"Downloading client: " + megabyte + "%", infinity, megabyte},
    };
    for (const auto& [line, value, shown] : cases) {
        const ProgressPercentage percentage = parsePercentage(line);
        EXPECT_EQ(percentage.value, value) << line.left(60).toStdString();
        EXPECT_EQ(percentage.shown, shown) << line.left(60).toStdString();
    }
}

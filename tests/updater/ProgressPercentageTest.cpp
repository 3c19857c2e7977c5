#include "updater/ProgressPercentage.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Case {
    QString line;
    double value;
    QString shown;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const ProgressPercentage percentage = parsePercentage(c.line);
        EXPECT_EQ(percentage.value, c.value) << c.line.toStdString();
        EXPECT_EQ(percentage.shown, c.shown) << c.line.toStdString();
    }
}

} // namespace

TEST(ProgressPercentage, asciiDigitsSpellTheValue) {
    expectAll({
        {"Downloading launcher: 42%", 42, "42"},
        {"Downloading client: 0%", 0, "0"},
        {"Downloading client: 100%", 100, "100"},
        {"Downloading client: 250%", 250, "250"},
        {"Downloading client: 007%", 7, "7"},
        // Every numeric character of the line is joined: a percentage and a size read as one.
        {"Downloading client: 4% of 120 MB", 4120, "4120"},
        // A decimal point is not numeric, so it is not collected.
        {"Downloading client: 42.9%", 429, "429"},
        {"Downloading client: -5%", 5, "5"},
    });
}

TEST(ProgressPercentage, noNumericCharacterGivesZero) {
    expectAll({
        {"Downloading client:", 0, "0"},
        {"Downloading client: done", 0, "0"},
        {"", 0, "0"},
    });
}

TEST(ProgressPercentage, anyNonAsciiNumericCharacterGivesZero) {
    expectAll({
        // Arabic-Indic four and two.
        {QString::fromUtf8("Downloading client: \u0664\u0662%"), 0, "0"},
        {QString::fromUtf8("Downloading client: 4\u0662%"), 0, "0"},
        // A CJK numeral has a numeric type too.
        {QString::fromUtf8("Downloading client: \u4e94%"), 0, "0"},
        {QString::fromUtf8("Downloading client: 50 \u00bd"), 0, "0"},
        {QString::fromUtf8("Downloading client: \u00b2"), 0, "0"},
        {QString::fromUtf8("Downloading client: \u2167"), 0, "0"},
        // Fullwidth digit, and a digit outside the Basic Multilingual Plane.
        {QString::fromUtf8("Downloading client: \uff14"), 0, "0"},
        {QString::fromUtf8("Downloading client: 4\U0001D7D8"), 0, "0"},
        // A combining mark makes the digit one character that is no longer plain ASCII.
        {QString::fromUtf8("Downloading client: 4\u0301"), 0, "0"},
    });
}

TEST(ProgressPercentage, valuesBeyondSixtyFourBitsShowTheirDigits) {
    expectAll({
        {"Downloading client: 9223372036854775807", 9223372036854775808.0, "9223372036854775807"},
        {"Downloading client: 9223372036854775808", 9223372036854775808.0, "9223372036854775808"},
        {"Downloading client: 000123456789012345678901234567890", 123456789012345678901234567890.0,
         "123456789012345678901234567890"},
        {"Downloading client: 9223372036854774784", 9223372036854774784.0, "9223372036854774784"},
    });
    const QString huge = QString(400, u'9');
    const ProgressPercentage percentage = parsePercentage("Downloading client: " + huge);
    EXPECT_TRUE(std::isinf(percentage.value));
    EXPECT_EQ(percentage.shown, huge);
}

TEST(ProgressPercentage, megabyteLineIsHandled) {
    const QString digits = "1" + QString(1 << 20, u'0');
    const ProgressPercentage percentage = parsePercentage("Downloading client: " + digits + "%");
    EXPECT_TRUE(std::isinf(percentage.value));
    EXPECT_EQ(percentage.shown, digits);

    const ProgressPercentage letters = parsePercentage(QString(1 << 20, u'x') + "7");
    EXPECT_EQ(letters.value, 7);
    EXPECT_EQ(letters.shown, "7");
}

#include "updater/ProgressPercentage.h"

#include <QTextBoundaryFinder>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include <unicode/uchar.h>

namespace {

char32_t firstScalar(const QString& text, qsizetype position) {
    const QChar first = text.at(position);
    if (first.isHighSurrogate() && position + 1 < text.size() &&
        text.at(position + 1).isLowSurrogate())
        return QChar::surrogateToUcs4(first, text.at(position + 1));
    return first.unicode();
}

bool hasNumericType(char32_t scalar) {
    return u_getIntPropertyValue(static_cast<UChar32>(scalar), UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// Every grapheme whose first scalar is numeric (digits of any script, fractions, numerals).
QString numericCharacters(const QString& line) {
    QString collected;
    // In ASCII only the digits are numeric, and only CR LF joins two characters into one grapheme:
    // the updater's lines take this way, which leaves the Unicode tables untouched (a quarter of a
    // MiB of the launcher's memory once read).
    if (std::all_of(line.begin(), line.end(), [](QChar c) { return c.unicode() < 0x80; })) {
        for (const QChar c : line) {
            if (c >= u'0' && c <= u'9')
                collected += c;
        }
        return collected;
    }
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, line);
    qsizetype start = 0;
    while (start < line.size()) {
        qsizetype end = finder.toNextBoundary();
        if (end <= start)
            end = line.size();
        if (hasNumericType(firstScalar(line, start)))
            collected += QStringView(line).mid(start, end - start);
        start = end;
    }
    return collected;
}

bool isAsciiDigits(const QString& text) {
    if (text.isEmpty())
        return false;
    for (const QChar c : text) {
        if (c < u'0' || c > u'9')
            return false;
    }
    return true;
}

} // namespace

ProgressPercentage parsePercentage(const QString& line) {
    // A C-locale decimal parse that must consume the whole text accepts exactly the texts made
    // of ASCII digits here: every other numeric character (non-ASCII digits, fractions, numerals)
    // makes it fail, and then the value is 0.
    const QString collected = numericCharacters(line);
    if (!isAsciiDigits(collected))
        return {0, QStringLiteral("0")};

    qsizetype firstSignificant = 0;
    while (firstSignificant < collected.size() - 1 && collected.at(firstSignificant) == u'0')
        ++firstSignificant;
    const std::string digits = collected.mid(firstSignificant).toStdString();

    // More than 309 significant digits exceed the largest double: the value is infinite, as a
    // decimal parse would give. The bound also keeps the conversion short for megabyte lines.
    double value = std::numeric_limits<double>::infinity();
    if (digits.size() <= 15) {
        // Below 2^53, so the sum is exact and no decimal conversion is needed.
        qint64 whole = 0;
        for (const char digit : digits)
            whole = whole * 10 + (digit - '0');
        value = double(whole);
    } else if (digits.size() <= 309) {
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), value);
        if (error == std::errc::result_out_of_range)
            value = std::numeric_limits<double>::infinity();
        (void)end;
    }

    // From 2^63 on the truncated value has no 64-bit form; the digits themselves spell it exactly.
    constexpr double twoToThe63 = 9223372036854775808.0;
    if (value >= twoToThe63)
        return {value, QString::fromLatin1(digits.data(), qsizetype(digits.size()))};
    return {value, QString::number(static_cast<qint64>(std::trunc(value)))};
}

#include "config/Identifiers.h"

#include <QList>

// Plain character tests rather than regular expressions: these forms are fixed, and the pattern
// engine would be the only reason to load and initialise PCRE2 at start.

namespace {

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

bool isLowerHex(QChar c) {
    return isDigit(c) || (c >= u'a' && c <= u'f');
}

bool isLower(QChar c) {
    return c >= u'a' && c <= u'z';
}

template <typename Test> bool all(QStringView value, Test test) {
    for (const QChar c : value) {
        if (!test(c))
            return false;
    }
    return true;
}

// 1 to 9 decimal digits.
bool isNumberField(QStringView value) {
    return !value.isEmpty() && value.size() <= 9 && all(value, isDigit);
}

} // namespace

bool isRegionId(const QString& value) {
    return !value.isEmpty() && value.size() <= 32 && isLower(value.front()) &&
           all(value, [](QChar c) { return isLower(c) || isDigit(c) || c == u'-'; });
}

bool isLauncherVersion(const QString& value) {
    return value.size() == 16 && all(value, isLowerHex);
}

bool isWorldVersion(const QString& value) {
    // Three numbers and 12 hexadecimal digits, separated by dots.
    const QList<QStringView> fields = QStringView(value).split(u'.');
    return fields.size() == 4 && isNumberField(fields[0]) && isNumberField(fields[1]) &&
           isNumberField(fields[2]) && fields[3].size() == 12 && all(fields[3], isLowerHex);
}

#pragma once

#include <QString>
#include <QStringList>

#include <cstdio>
#include <cstdlib>

// A property that failed is a finding: report it and abort, so that libFuzzer keeps the input.
#define FUZZ_EXPECT(condition, what)                                                               \
    do {                                                                                           \
        if (!(condition)) {                                                                        \
            std::fprintf(stderr, "property failed: %s (%s:%d): %s\n", #condition, __FILE__,        \
                         __LINE__, qPrintable(QString(what)));                                     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// The identifier forms written out character by character, independently of the regular
// expressions in the code under test, so that the two can be compared.
namespace reference {

inline bool inRange(QChar c, char16_t low, char16_t high) {
    return c.unicode() >= low && c.unicode() <= high;
}

inline bool isLowerHex(QChar c) {
    return inRange(c, u'0', u'9') || inRange(c, u'a', u'f');
}

inline bool isRegionId(const QString& value) {
    if (value.isEmpty() || value.size() > 32 || !inRange(value.front(), u'a', u'z'))
        return false;
    for (QChar c : value)
        if (!inRange(c, u'a', u'z') && !inRange(c, u'0', u'9') && c != u'-')
            return false;
    return true;
}

inline bool isLauncherVersion(const QString& value) {
    if (value.size() != 16)
        return false;
    for (QChar c : value)
        if (!isLowerHex(c))
            return false;
    return true;
}

inline bool isClientRelease(const QString& value) {
    auto alnum = [](QChar c) {
        return inRange(c, u'a', u'z') || inRange(c, u'A', u'Z') || inRange(c, u'0', u'9');
    };
    if (value.isEmpty() || value.size() > 64 || !alnum(value.front()))
        return false;
    for (QChar c : value)
        if (!alnum(c) && c != u'.' && c != u'_' && c != u'-')
            return false;
    return true;
}

inline bool isWorldVersion(const QString& value) {
    const QStringList groups = value.split(u'.');
    if (groups.size() != 4)
        return false;
    for (int i = 0; i < 3; ++i) {
        if (groups[i].isEmpty() || groups[i].size() > 9)
            return false;
        for (QChar c : groups[i])
            if (!inRange(c, u'0', u'9'))
                return false;
    }
    if (groups[3].size() != 12)
        return false;
    for (QChar c : groups[3])
        if (!isLowerHex(c))
            return false;
    return true;
}

} // namespace reference

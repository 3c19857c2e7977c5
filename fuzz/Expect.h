#pragma once

#include <QString>
#include <QStringList>

#include <algorithm>
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

inline bool all(const QString& text, bool (*allowed)(QChar)) {
    return std::all_of(text.begin(), text.end(), allowed);
}
inline bool digit(QChar c) {
    return c >= u'0' && c <= u'9';
}
inline bool lower(QChar c) {
    return c >= u'a' && c <= u'z';
}
inline bool lowerHex(QChar c) {
    return digit(c) || (c >= u'a' && c <= u'f');
}
inline bool alnum(QChar c) {
    return digit(c) || lower(c) || (c >= u'A' && c <= u'Z');
}

inline bool isLauncherVersion(const QString& value) {
    return value.size() == 16 && all(value, lowerHex);
}

inline bool isClientRelease(const QString& value) {
    return !value.isEmpty() && value.size() <= 64 && alnum(value.front()) &&
           all(value, [](QChar c) { return alnum(c) || c == u'.' || c == u'_' || c == u'-'; });
}

} // namespace reference

#include "config/Identifiers.h"

#include <QRegularExpression>

bool isRegionId(const QString& value) {
    static const QRegularExpression pattern(QStringLiteral(R"(\A[a-z][a-z0-9-]{0,31}\z)"));
    return pattern.match(value).hasMatch();
}

bool isLauncherVersion(const QString& value) {
    static const QRegularExpression pattern(QStringLiteral(R"(\A[0-9a-f]{16}\z)"));
    return pattern.match(value).hasMatch();
}

bool isWorldVersion(const QString& value) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(\A[0-9]{1,9}\.[0-9]{1,9}\.[0-9]{1,9}\.[0-9a-f]{12}\z)"));
    return pattern.match(value).hasMatch();
}

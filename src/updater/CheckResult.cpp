#include "updater/CheckResult.h"

#include "config/Identifiers.h"

#include <QStringList>

namespace {

// 1 to 64 ASCII letters, digits, dots, underscores or hyphens, a letter or digit first.
bool isClientRelease(const QString& value) {
    auto alphanumeric = [](QChar c) {
        return (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9');
    };
    if (value.isEmpty() || value.size() > 64 || !alphanumeric(value.front()))
        return false;
    for (const QChar c : value) {
        if (!alphanumeric(c) && c != u'.' && c != u'_' && c != u'-')
            return false;
    }
    return true;
}

const QString available = QStringLiteral("available:");

} // namespace

std::optional<CheckOutcome> parseCheck(const QString& line) {
    // Only U+0020 separates fields; a tab stays inside its field and so rejects the line.
    QStringList fields = line.split(u' ', Qt::SkipEmptyParts);

    static const QString worldField = QStringLiteral("world=");
    if (fields.size() == 4 && fields.at(3).startsWith(worldField)) {
        const QString world = fields.at(3).mid(worldField.size());
        if (world != u"unknown" && !isWorldVersion(world))
            return std::nullopt;
        fields.removeLast();
    }
    if (fields.size() != 3)
        return std::nullopt;

    static const QString launcherField = QStringLiteral("launcher=");
    static const QString clientField = QStringLiteral("client=");
    if (fields.at(0) != u"UPDATE_CHECK" || !fields.at(1).startsWith(launcherField) ||
        !fields.at(2).startsWith(clientField))
        return std::nullopt;

    CheckOutcome outcome;

    const QString launcher = fields.at(1).mid(launcherField.size());
    if (launcher != u"current" && launcher != u"unknown" && launcher != u"unpackaged" &&
        launcher != u"unconfigured") {
        if (!launcher.startsWith(available))
            return std::nullopt;
        const QString version = launcher.mid(available.size());
        if (!isLauncherVersion(version))
            return std::nullopt;
        outcome.launcherVersion = version;
    }

    const QString client = fields.at(2).mid(clientField.size());
    if (client != u"current" && client != u"unknown") {
        if (!client.startsWith(available))
            return std::nullopt;
        const QString release = client.mid(available.size());
        if (!isClientRelease(release))
            return std::nullopt;
        outcome.clientRelease = release;
    }

    return outcome;
}

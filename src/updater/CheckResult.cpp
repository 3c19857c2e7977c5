#include "updater/CheckResult.h"

#include "config/Identifiers.h"

#include <QRegularExpression>
#include <QStringList>

namespace {

bool isClientRelease(const QString& value) {
    static const QRegularExpression pattern(
        QStringLiteral(R"(\A[A-Za-z0-9][A-Za-z0-9._-]{0,63}\z)"));
    return pattern.match(value).hasMatch();
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

#include "install/InstalledMetadata.h"

#include "config/Identifiers.h"
#include "config/RegularFile.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTextBoundaryFinder>

namespace {

constexpr qint64 fileSizeLimit = 16 * 1024 * 1024;

// The first `count` user-perceived characters, so that a combined character is never cut.
QString leadingCharacters(const QString& text, int count) {
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    qsizetype end = 0;
    for (int taken = 0; taken < count; ++taken) {
        const qsizetype next = finder.toNextBoundary();
        if (next < 0)
            return text;
        end = next;
    }
    return text.left(end);
}

} // namespace

std::optional<InstalledMetadata> InstalledMetadata::decode(const QByteArray& json) {
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return std::nullopt;
    const QJsonObject object = document.object();

    const QJsonValue release = object.value(u"releaseId");
    const QJsonValue revision = object.value(u"sourceRevision");
    if (!release.isString() || !revision.isString())
        return std::nullopt;

    InstalledMetadata metadata{release.toString(), revision.toString(), std::nullopt};
    const QJsonValue world = object.value(u"worldVersion");
    if (world.isString() && isWorldVersion(world.toString()))
        metadata.world = world.toString();
    return metadata;
}

std::optional<InstalledMetadata> InstalledMetadata::read(const QString& path) {
    const std::optional<QByteArray> content = readRegularFile(path, fileSizeLimit);
    if (!content)
        return std::nullopt;
    return decode(*content);
}

QString currentMetadataPath(const QString& supportDirectory,
                            const std::optional<QString>& regionId) {
    return supportDirectory + QStringLiteral("/client/regions/") +
           regionId.value_or(QStringLiteral("production")) + QStringLiteral("/current.json");
}

QString footerText(const std::optional<QString>& launcherVersion,
                   const std::optional<InstalledMetadata>& metadata) {
    QString text =
        QStringLiteral("Launcher ") + launcherVersion.value_or(QStringLiteral("unpackaged"));
    if (!metadata)
        return text + QStringLiteral(" \u00b7 Game not installed");
    if (metadata->world)
        return text + QStringLiteral(" \u00b7 Game ") + *metadata->world + QStringLiteral(" (") +
               metadata->release + QStringLiteral(")");
    return text + QStringLiteral(" \u00b7 Game ") + metadata->release;
}

InstalledVersionDetail installedVersionDetail(const QString& prefix,
                                              const InstalledMetadata& metadata) {
    return {prefix + QStringLiteral(" ") + metadata.release + QStringLiteral("  \u2022  source ") +
                leadingCharacters(metadata.revision, 8),
            QStringLiteral("Source revision ") + metadata.revision};
}

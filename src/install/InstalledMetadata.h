#pragma once

#include "install/InstalledVersionDetail.h"

#include <QByteArray>
#include <QString>
#include <optional>

// What the launcher reads of an installed game's current.json.
struct InstalledMetadata {
    QString release;
    QString revision;
    // Present only when it has the world version form.
    std::optional<QString> world;

    // Absent unless the top level is an object with string "releaseId" and "sourceRevision".
    static std::optional<InstalledMetadata> decode(const QByteArray& json);
    // Absent for a missing, unreadable, special (FIFO, directory) or over 16 MiB file.
    static std::optional<InstalledMetadata> read(const QString& path);
};

// The metadata file of a region; "production" when no region is selected.
QString currentMetadataPath(const QString& supportDirectory,
                            const std::optional<QString>& regionId);

QString footerText(const std::optional<QString>& launcherVersion,
                   const std::optional<InstalledMetadata>& metadata);

InstalledVersionDetail installedVersionDetail(const QString& prefix,
                                              const InstalledMetadata& metadata);

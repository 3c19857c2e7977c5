#pragma once

#include "config/Region.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

// The region configuration file, fully validated.
struct Regions {
    qint64 schemaVersion = 0;
    QString defaultRegion;
    QList<Region> regions;

    // Absent when the content fails any check.
    static std::optional<Regions> decode(const QByteArray& json);
    // Absent when the file cannot be read (missing, not a regular file, over 16 MiB) or fails.
    static std::optional<Regions> load(const QString& path);
};

// The index of the region to select: the first of the command-line region, the stored choice and
// the default region that names a region. Absent when none does.
std::optional<qsizetype> chooseRegionIndex(const QList<Region>& regions,
                                           const std::optional<QString>& commandLine,
                                           const std::optional<QString>& stored,
                                           const QString& defaultRegion);

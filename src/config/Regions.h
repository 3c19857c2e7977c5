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

    // Absent when the content fails any check; `why`, when given, then says which one in a phrase
    // an operator can act on (the launcher itself shows one fixed message whatever the cause).
    static std::optional<Regions> decode(const QByteArray& json, QString* why = nullptr);
    // Absent when the file cannot be read (missing, not a regular file, over 16 MiB) or fails.
    static std::optional<Regions> load(const QString& path, QString* why = nullptr);
};

// The index of the region to select: the first of the command-line region, the stored choice and
// the default region that names a region. Absent when none does.
std::optional<qsizetype> chooseRegionIndex(const QList<Region>& regions,
                                           const std::optional<QString>& commandLine,
                                           const std::optional<QString>& stored,
                                           const QString& defaultRegion);

#pragma once

#include <QString>

// Whole-value tests for the identifier forms shared by the command line, the region file, the
// check line and the bundle's version.
bool isRegionId(const QString& value);
bool isLauncherVersion(const QString& value);
bool isWorldVersion(const QString& value);

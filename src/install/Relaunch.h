#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The successor launcher's own command line: what it needs to carry on where this one stopped.
QStringList relaunchArguments(const std::optional<QString>& regionId,
                              const std::optional<QString>& launcherVersion, bool noSelfUpdate,
                              const QStringList& gameArguments);

// The arguments of the platform's open tool: a new instance of the bundle, with its command line.
QStringList openToolArguments(const QString& bundle, const QStringList& launcherArguments);

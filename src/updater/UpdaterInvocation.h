#pragma once

#include "updater/Mode.h"

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <optional>

// The updater's command line for one run.
struct UpdaterInvocation {
    QString scriptPath;
    QString configurationPath;
    QString regionId;
    std::optional<QString> launcherBundle;
    std::optional<QString> launcherVersion;
    std::optional<QString> relaunchedFrom;
    bool noSelfUpdate = false;
    QStringList gameArguments;

    QStringList arguments(Mode mode) const;
};

// The launcher's own environment with PYTHONUNBUFFERED=1, so lines arrive as they are printed.
QProcessEnvironment updaterEnvironment(QProcessEnvironment inherited);

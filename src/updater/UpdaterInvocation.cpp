#include "updater/UpdaterInvocation.h"

QStringList UpdaterInvocation::arguments(Mode mode) const {
    QStringList list{scriptPath, QStringLiteral("--config"), configurationPath,
                     QStringLiteral("--region"), regionId};
    // The bundle is only worth naming together with a version the updater can compare.
    if (launcherBundle && launcherVersion)
        list << QStringLiteral("--launcher-bundle") << *launcherBundle
             << QStringLiteral("--launcher-version") << *launcherVersion;
    if (relaunchedFrom)
        list << QStringLiteral("--relaunched-from") << *relaunchedFrom;
    if (noSelfUpdate)
        list << QStringLiteral("--no-self-update");
    switch (mode) {
    case Mode::check:
        list << QStringLiteral("--check");
        break;
    case Mode::update:
        list << QStringLiteral("--update-only");
        break;
    case Mode::play:
        if (!gameArguments.isEmpty())
            list << QStringLiteral("--") << gameArguments;
        break;
    }
    return list;
}

QProcessEnvironment updaterEnvironment(QProcessEnvironment inherited) {
    inherited.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("1"));
    return inherited;
}

#include "install/Relaunch.h"

QStringList relaunchArguments(const std::optional<QString>& regionId,
                              const std::optional<QString>& launcherVersion, bool noSelfUpdate,
                              const QStringList& gameArguments) {
    QStringList list;
    if (regionId)
        list << QStringLiteral("--region") << *regionId;
    list << QStringLiteral("--continue");
    if (launcherVersion)
        list << QStringLiteral("--relaunched-from") << *launcherVersion;
    if (noSelfUpdate)
        list << QStringLiteral("--no-self-update");
    if (!gameArguments.isEmpty())
        list << QStringLiteral("--") << gameArguments;
    return list;
}

QStringList openToolArguments(const QString& bundle, const QStringList& launcherArguments) {
    return QStringList{QStringLiteral("-n"), bundle, QStringLiteral("--args")} + launcherArguments;
}

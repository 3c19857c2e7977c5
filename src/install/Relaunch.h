#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

class QObject;

// The successor launcher's own command line: what it needs to carry on where this one stopped.
QStringList relaunchArguments(const std::optional<QString>& regionId,
                              const std::optional<QString>& launcherVersion, bool noSelfUpdate,
                              const QStringList& gameArguments);

// The arguments of the platform's open tool: a new instance of the bundle, with its command line.
QStringList openToolArguments(const QString& bundle, const QStringList& launcherArguments);

// Everything a relaunch reads, at the moment it is asked for.
struct RelaunchRequest {
    // Where the run installed the new launcher, and the running launcher's own bundle; the first
    // present one is started.
    std::optional<QString> installedLauncherURL;
    std::optional<QString> launcherBundleURL;
    // The successor's command line (relaunchArguments).
    QStringList launcherArguments;
    // The tool that starts a bundle as a new instance; empty: the bundle's executable is started
    // directly, detached.
    QString openTool;
    // The executable's name when the successor's information dictionary names none.
    QString executableName;
};

// Starts the successor launcher and calls `completion` exactly once with whether it started,
// writing what happened through `log`. Either happens before this returns, or later on the main
// thread while `context` exists.
void relaunch(const RelaunchRequest& request, QObject* context,
              const std::function<void(const QString&)>& log,
              const std::function<void(bool started)>& completion);

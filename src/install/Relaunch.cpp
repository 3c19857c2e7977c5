#include "install/Relaunch.h"

#include "install/MainBundle.h"

#include <QProcess>

namespace {

const QString kCouldNotStart = QStringLiteral("The updated launcher could not be started: ");
const QString kStarted = QStringLiteral("Started the updated launcher.\n");

// Without an open tool the successor's executable is started detached, so it outlives this
// launcher; whether it started is known at once.
void startDirectly(const QString& target, const RelaunchRequest& request,
                   const std::function<void(const QString&)>& log,
                   const std::function<void(bool)>& completion) {
    const MainBundle successor{target, target + QStringLiteral("/Contents/Resources"),
                               target + QStringLiteral("/Contents/Info.plist")};
    QProcess starter;
    starter.setProgram(target + QStringLiteral("/Contents/MacOS/") +
                       successor.infoString(QStringLiteral("CFBundleExecutable"))
                           .value_or(request.executableName));
    starter.setArguments(request.launcherArguments);
    if (!starter.startDetached()) {
        log(kCouldNotStart + starter.errorString() + u'\n');
        completion(false);
        return;
    }
    log(kStarted);
    completion(true);
}

// The open tool reports through its exit status whether the new instance started.
void startWithOpenTool(const QString& target, const RelaunchRequest& request, QObject* context,
                       const std::function<void(const QString&)>& log,
                       const std::function<void(bool)>& completion) {
    auto* open = new QProcess(context);
    open->setProgram(request.openTool);
    open->setArguments(openToolArguments(target, request.launcherArguments));
    open->setInputChannelMode(QProcess::ForwardedInputChannel);
    open->setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(
        open, &QProcess::finished, context,
        [open, log, completion](int exitCode, QProcess::ExitStatus exitStatus) {
            open->deleteLater();
            const int status = exitStatus == QProcess::CrashExit && exitCode == 0 ? -1 : exitCode;
            log(status == 0
                    ? kStarted
                    : QStringLiteral("The updated launcher would not start (open exited %1).\n")
                          .arg(status));
            completion(status == 0);
        });
    open->start();
    if (!open->waitForStarted(-1)) {
        open->disconnect(context);
        log(kCouldNotStart + open->errorString() + u'\n');
        open->deleteLater();
        completion(false);
    }
}

} // namespace

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

void relaunch(const RelaunchRequest& request, QObject* context,
              const std::function<void(const QString&)>& log,
              const std::function<void(bool started)>& completion) {
    const std::optional<QString> target =
        request.installedLauncherURL ? request.installedLauncherURL : request.launcherBundleURL;
    if (!target) {
        completion(false);
        return;
    }
    if (request.openTool.isEmpty())
        startDirectly(*target, request, log, completion);
    else
        startWithOpenTool(*target, request, context, log, completion);
}

#include "app/DesktopOpen.h"

#include <QProcess>
#include <QStandardPaths>

void openWithXdgOpen(const QString& path, QObject* context, std::function<void(bool opened)> done) {
    const QString program = QStandardPaths::findExecutable(QStringLiteral("xdg-open"));
    if (program.isEmpty()) {
        done(false);
        return;
    }
    // Without a parent, so that quitting the launcher does not kill it (see above); it deletes
    // itself when it has ended.
    auto* process = new QProcess;
    process->setProgram(program);
    process->setArguments({path});
    process->setStandardInputFile(QProcess::nullDevice());
    // Its complaints belong where the launcher's own would go.
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    QObject::connect(process, &QProcess::finished, process, &QObject::deleteLater);
    QObject::connect(process, &QProcess::finished, context,
                     [done](int status, QProcess::ExitStatus exit) {
                         done(exit == QProcess::NormalExit && status == 0);
                     });
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, done](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart)
                             return;
                         process->deleteLater();
                         done(false);
                     });
    process->start();
}

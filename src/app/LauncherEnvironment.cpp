#include "app/LauncherEnvironment.h"

#include <QCoreApplication>
#include <QStandardPaths>

LauncherEnvironment LauncherEnvironment::current(const QStringList& arguments) {
    LauncherEnvironment environment;
    environment.arguments = arguments;
    environment.executablePath = QCoreApplication::applicationFilePath();
    environment.dataDirectory =
        QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    environment.processEnvironment = QProcessEnvironment::systemEnvironment();
#ifdef Q_OS_MACOS
    environment.openTool = QStringLiteral("/usr/bin/open");
#endif
    return environment;
}

#include "app/InstanceClaim.h"
#include "app/LauncherController.h"
#include "app/LauncherEnvironment.h"
#include "config/LaunchOptions.h"
#include "config/SupportDirectory.h"
#include "ui/MainWindow.h"
#include "ui/Palette.h"

#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QImageReader>
#include <QPixmap>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>

namespace {

// The token this launcher was started with, for the running launcher that shows its window.
QByteArray activationToken() {
    const QByteArray token = qgetenv("XDG_ACTIVATION_TOKEN");
    return token.isEmpty() ? qgetenv("DESKTOP_STARTUP_ID") : token;
}

// The window's icon in every size the resource holds, so that task bars never scale one to
// another. Read as PNG by Qt's own decoder: a reader left to guess the format first asks every
// image plugin, which loads them all (and the libraries they need) into the launcher.
QIcon applicationIcon() {
    QIcon icon;
    for (const QFileInfo& file : QDir(QStringLiteral(":/icons")).entryInfoList(QDir::Files)) {
        QImageReader reader(file.filePath(), "png");
        reader.setAutoDetectImageFormat(false);
        const QImage image = reader.read();
        if (!image.isNull())
            icon.addPixmap(QPixmap::fromImage(image));
    }
    return icon;
}

} // namespace

int main(int argc, char* argv[]) {
    // A full disk or a file-size limit must turn a log write into an error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    // The command line is ours and the game's alone.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // One launcher per user, settled before anything touches the support directory or the log. A
    // relaunched launcher waits for its predecessor to quit instead of handing over to it.
    InstanceClaim claim(
        supportDirectoryIn(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)),
        qEnvironmentVariable("XDG_RUNTIME_DIR"));
    const bool relaunched = LaunchOptions::parse(arguments).relaunchedFrom.has_value();
    const InstanceClaim::Outcome claimed = claim.take(relaunched ? 10000 : 0);
    if (claimed == InstanceClaim::Outcome::heldByAnother) {
        claim.askToShow(activationToken());
        return 0;
    }

    // The toolkit gets the program name only: options it would act on (-platform, -display,
    // -reverse, -style…) are game arguments here. Its settings come from the environment
    // (QT_QPA_PLATFORM and the like).
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argv[0], nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    QApplication::setOrganizationName(QStringLiteral("Thornwake"));
    QApplication::setApplicationName(QStringLiteral("Thornwake Launcher"));
    // Wayland compositors match the window with the menu entry of this name, and take its icon.
    QApplication::setDesktopFileName(QStringLiteral("thornwake-launcher"));
    // Quitting is the controller's decision, never a side effect of a closed window.
    QApplication::setQuitOnLastWindowClosed(false);

    const Palette palette = Palette::standard();
    MainWindow window(palette);
    LauncherEnvironment environment = LauncherEnvironment::current(arguments);
    if (!claim.problem().isEmpty())
        environment.startupNotice =
            (claimed == InstanceClaim::Outcome::unavailable
                 ? QStringLiteral("Started without the one-launcher check: ")
                 : QStringLiteral("Other launchers cannot bring this window to the front: ")) +
            claim.problem() + QStringLiteral(".\n");
    LauncherController controller(window, std::move(environment));
    claim.listen();
    QObject::connect(&claim, &InstanceClaim::showRequested, &controller,
                     &LauncherController::showRequested);

    window.setCloseDecision([&controller] { return controller.windowShouldClose(); });
    QObject::connect(&window, &MainWindow::primaryActionTriggered, &controller,
                     &LauncherController::primaryAction);
    QObject::connect(&window, &MainWindow::regionActivated, &controller,
                     &LauncherController::regionChanged);
    QObject::connect(&window, &MainWindow::logRequested, &controller, &LauncherController::openLog);
    QObject::connect(&window, &MainWindow::quitRequested, &controller,
                     &LauncherController::terminate);
    QObject::connect(&window, &MainWindow::closed, &controller, &LauncherController::terminate);
    QObject::connect(&controller, &LauncherController::quitRequested, &application,
                     &QCoreApplication::quit, Qt::QueuedConnection);

    QTimer::singleShot(0, &controller, &LauncherController::applicationDidFinishLaunching);
    // Once the window is up and the first check runs: decoding the icons takes a few milliseconds
    // the start need not wait for.
    QTimer::singleShot(0, [] { QApplication::setWindowIcon(applicationIcon()); });
    return QApplication::exec();
}

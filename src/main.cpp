#include "app/LauncherController.h"
#include "app/LauncherEnvironment.h"
#include "ui/MainWindow.h"
#include "ui/Palette.h"

#include <QApplication>
#include <QTimer>

#include <csignal>

int main(int argc, char* argv[]) {
    // A full disk or a file-size limit must turn a log write into an error, not end the process.
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);

    // The command line is ours and the game's alone.
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    // The toolkit gets the program name only: options it would act on (-platform, -display,
    // -reverse, -style…) are game arguments here. Its settings come from the environment
    // (QT_QPA_PLATFORM and the like).
    int toolkitArgc = 1;
    char* toolkitArgv[] = {argv[0], nullptr};
    QApplication application(toolkitArgc, toolkitArgv);
    QApplication::setOrganizationName(QStringLiteral("Thornwake"));
    QApplication::setApplicationName(QStringLiteral("Thornwake Launcher"));
    // Quitting is the controller's decision, never a side effect of a closed window.
    QApplication::setQuitOnLastWindowClosed(false);

    const Palette palette = Palette::standard();
    MainWindow window(palette);
    LauncherController controller(window, LauncherEnvironment::current(arguments));

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
    return QApplication::exec();
}

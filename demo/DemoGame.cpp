// The demo game the bundled demo feed publishes: a real program that opens a window, stays a few
// seconds and exits 0, so the launcher's whole path (update, play, quit when the game ends) can be
// seen and tested without the real game.
#include <QApplication>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication application(argc, argv);
    QString release = QStringLiteral("unknown");
    QFile releaseFile(QCoreApplication::applicationDirPath() + QStringLiteral("/../data/release.txt"));
    if (releaseFile.open(QIODevice::ReadOnly))
        release = QString::fromUtf8(releaseFile.readAll()).trimmed();

    int seconds = qEnvironmentVariableIntValue("THORNWAKE_DEMO_GAME_SECONDS");
    if (seconds <= 0)
        seconds = 4;
    std::printf("Thornwake demo game %s running for %d s\n", qPrintable(release), seconds);
    std::fflush(stdout);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Thornwake (demo)"));
    window.setFixedSize(480, 270);
    window.setStyleSheet(QStringLiteral("background: #0e1b15; color: #e8e3c9;"));
    auto* layout = new QVBoxLayout(&window);
    auto* title = new QLabel(QStringLiteral("Thornwake"));
    title->setStyleSheet(QStringLiteral("font-size: 34px; font-weight: 600;"));
    auto* detail = new QLabel(QStringLiteral("Demo world \u2014 client %1").arg(release));
    detail->setStyleSheet(QStringLiteral("color: #d4a340; font-size: 14px;"));
    for (QLabel* label : {title, detail}) {
        label->setAlignment(Qt::AlignCenter);
        layout->addWidget(label);
    }
    window.show();
    QTimer::singleShot(seconds * 1000, &application, &QCoreApplication::quit);
    return QApplication::exec();
}

#include "ui/LogWindow.h"

#include "ui/LogView.h"

#include <QTabWidget>
#include <QVBoxLayout>

LogWindow::LogWindow(QWidget* parent)
    : QWidget(parent, Qt::Window) {
    setWindowTitle(QStringLiteral("Thornwake Launcher Log"));
    tabs_ = new QTabWidget(this);
    tabs_->setDocumentMode(true);
    // With the launcher log alone there is nothing to choose between.
    tabs_->setTabBarAutoHide(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(tabs_);
    resize(820, 520);
}

LogView* LogWindow::view(int index) const {
    return qobject_cast<LogView*>(tabs_->widget(index));
}

void LogWindow::showLogs(const LogFiles& files) {
    if (shown != files) {
        while (tabs_->count() > 0) {
            QWidget* page = tabs_->widget(0);
            tabs_->removeTab(0);
            delete page;
        }
        tabs_->addTab(new LogView(files.launcherLog), QStringLiteral("Launcher"));
        if (files.gameLog)
            tabs_->addTab(new LogView(*files.gameLog), QStringLiteral("Game"));
        shown = files;
    }
    show();
    raise();
    activateWindow();
}

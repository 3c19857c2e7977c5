#pragma once

#include "app/LogFiles.h"

#include <QWidget>

class LogView;
class QTabWidget;

// The launcher's own log window, for desktops that have nothing to show a log with: the launcher
// log and, where the selected region has one, the game log, each on a tab of its own.
class LogWindow : public QWidget {
    Q_OBJECT

public:
    explicit LogWindow(QWidget* parent = nullptr);

    // Shows the window in front with these logs; the same logs keep their views as they are.
    void showLogs(const LogFiles& files);

    QTabWidget* tabs() const { return tabs_; }
    LogView* view(int index) const;

private:
    QTabWidget* tabs_ = nullptr;
    std::optional<LogFiles> shown;
};

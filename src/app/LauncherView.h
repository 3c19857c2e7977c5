#pragma once

#include "app/LogFiles.h"

#include <QString>
#include <QStringList>
#include <optional>

// What the controller needs of the window. The core never sees a widget: the real window and
// the tests' in-memory recorder both implement this.
class LauncherView {
public:
    virtual ~LauncherView() = default;

    virtual void setStatusText(const QString& text) = 0;
    virtual void setDetailText(const QString& text) = 0;
    // An absent tool tip removes it.
    virtual void setDetailToolTip(const std::optional<QString>& toolTip) = 0;
    virtual void setFooterText(const QString& text) = 0;
    virtual void setFooterToolTip(const QString& toolTip) = 0;

    virtual void setProgressHidden(bool hidden) = 0;
    virtual void setProgressIndeterminate(bool indeterminate) = 0;
    virtual void setProgressAnimating(bool animating) = 0;
    // On a 0 to 100 scale.
    virtual void setProgressValue(double value) = 0;

    virtual void setButtonTitle(const QString& title) = 0;
    virtual void setButtonEnabled(bool enabled) = 0;
    virtual void setButtonHelp(const QString& help) = 0;
    virtual void redrawButton() = 0;

    virtual void setLogButtonHidden(bool hidden) = 0;

    virtual void addRegionItems(const QStringList& titles) = 0;
    virtual void selectRegionIndex(int index) = 0;
    // -1 when nothing is selected.
    virtual int selectedRegionIndex() const = 0;
    virtual void setRegionPickerEnabled(bool enabled) = 0;

    // Make the window key, order it front and activate the application.
    virtual void showWindow() = 0;
    // Show the window, restored if minimised, and ask the window system to bring it to the
    // front with the activation token (Wayland) or startup id (X11) of the launcher that asked;
    // the token may be empty.
    virtual void bringWindowToFront(const QString& activationToken) = 0;
    // Order the window out: hidden, not closed.
    virtual void hideWindow() = 0;
    virtual bool isWindowVisible() const = 0;
    // The critical attention request.
    virtual void requestAttention() = 0;
    // Hand a file to the desktop's default application for it.
    virtual void openFile(const QString& path) = 0;
    // Show the logs in the launcher's own read-only log window, where the desktop could not.
    virtual void showLog(const LogFiles& files) = 0;
};

#pragma once

#include "app/LauncherView.h"
#include "ui/Palette.h"
#include "ui/ProgressBar.h"

#include <QWidget>

#include <functional>
#include <memory>

class BackdropView;
class ElidedLabel;
class FocusRing;
class LogWindow;
class PlayButton;
class RegionPicker;
class QAction;
class QLabel;
class QMenuBar;

class QPushButton;

// The launcher's one window: a fixed-size column of controls on the drawn backdrop, and the
// application menu. It decides nothing itself; user actions leave as signals and the controller
// drives it through LauncherView.
class MainWindow : public QWidget, public LauncherView {
    Q_OBJECT

public:
    explicit MainWindow(const Palette& palette, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Asked whenever the window is about to close; false keeps it open. Without a decision the
    // window closes.
    void setCloseDecision(std::function<bool()> decide);

    // The controls are placed when the window is shown: a hidden window measures no text.
    void setVisible(bool visible) override;

    void setStatusText(const QString& text) override;
    void setDetailText(const QString& text) override;
    void setDetailToolTip(const std::optional<QString>& toolTip) override;
    void setFooterText(const QString& text) override;
    void setFooterToolTip(const QString& toolTip) override;

    void setProgressHidden(bool hidden) override;
    void setProgressIndeterminate(bool indeterminate) override;
    void setProgressAnimating(bool animating) override;
    void setProgressValue(double value) override;

    void setButtonTitle(const QString& title) override;
    void setButtonEnabled(bool enabled) override;
    void setButtonHelp(const QString& help) override;
    void redrawButton() override;

    void setLogButtonHidden(bool hidden) override;

    void addRegionItems(const QStringList& titles) override;
    void selectRegionIndex(int index) override;
    int selectedRegionIndex() const override;
    void setRegionPickerEnabled(bool enabled) override;

    void showWindow() override;
    void bringWindowToFront(const QString& activationToken) override;
    void hideWindow() override;
    bool isWindowVisible() const override;
    void requestAttention() override;
    void openFile(const QString& path) override;
    void showLog(const LogFiles& files) override;

    BackdropView* backdrop() const { return backdrop_; }
    QLabel* titleLabel() const { return title_; }
    QLabel* subtitleLabel() const { return subtitle_; }
    QLabel* regionCaption() const { return regionCaption_; }
    RegionPicker* regionPicker() const { return regionPicker_; }
    QLabel* statusLabel() const { return status_; }
    ElidedLabel* detailLabel() const { return detail_; }
    ProgressBar* progressBar() const { return progress_; }
    PlayButton* playButton() const { return playButton_; }
    QPushButton* logButton() const { return logButton_; }
    QLabel* footerLabel() const { return footer_; }
    QAction* quitAction() const { return quitAction_; }
    // The application menu holding the quit action, as a menu bar of its own (none until it is
    // installed: the first showWindow does that where the desktop shows such a menu bar).
    void installMenuBar();
    QMenuBar* menuBar() const { return menuBar_.get(); }
    FocusRing* focusRing() const { return focusRing_; }
    // The launcher's own log window, once it has been shown.
    LogWindow* logWindow() const { return logWindow_; }

signals:
    void primaryActionTriggered();
    void regionActivated();
    void logRequested();
    void quitRequested();
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildControls();
    void applyProgress();
    // Keeps the focus ring on the control that has the focus, while the keyboard moved it there.
    void trackFocus(QWidget* control, QEvent* event);
    // Places every control from the current natural sizes; called whenever one of them changes.
    void relayout();
    void placeControls();

    Palette palette_;
    std::unique_ptr<QMenuBar> menuBar_;
    QAction* quitAction_ = nullptr;
    BackdropView* backdrop_ = nullptr;
    QLabel* title_ = nullptr;
    QLabel* subtitle_ = nullptr;
    QLabel* regionCaption_ = nullptr;
    RegionPicker* regionPicker_ = nullptr;
    QLabel* status_ = nullptr;
    ElidedLabel* detail_ = nullptr;
    ProgressBar* progress_ = nullptr;
    PlayButton* playButton_ = nullptr;
    QPushButton* logButton_ = nullptr;
    QLabel* footer_ = nullptr;
    FocusRing* focusRing_ = nullptr;
    LogWindow* logWindow_ = nullptr;

    std::function<bool()> closeDecision_;
    // Tab or Backtab was pressed more recently than a mouse button.
    bool keyboardNavigation_ = false;
    bool menuBarDecided_ = false;
    // The controls' geometry waits for the window to be shown.
    bool layoutPending_ = true;
    bool progressIndeterminate_ = false;
    bool progressAnimating_ = false;
    double progressValue_ = 0;
};

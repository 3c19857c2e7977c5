#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

// A progress bar whose busy look is a block sweeping along the groove, redrawn a few times a
// second. Qt's own busy bar redraws at the display's frame rate, which costs a few percent of a
// core for as long as a silent run lasts.
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    static constexpr int busyFrameMs = 125;
    static constexpr int sweepMs = 1600;

    explicit ProgressBar(QWidget* parent = nullptr);

    void setBusy(bool busy);
    bool isBusy() const { return busy; }
    bool isAnimating() const { return frames.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    bool busy = false;
    QTimer frames;
    QElapsedTimer sweep;
};

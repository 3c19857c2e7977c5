#pragma once

#include <QElapsedTimer>
#include <QProgressBar>
#include <QTimer>

// A progress bar whose busy look is a block sweeping along the groove, redrawn a few times a
// second. Qt's own busy bar redraws at the display's frame rate, which costs a few percent of a
// core for as long as a silent run lasts. Where the stock controls wear the window's colours, it
// draws itself: a track of black at 25 % opacity, filled (or swept) in the palette's highlight.
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    static constexpr int busyFrameMs = 125;
    static constexpr int sweepMs = 1600;
    static constexpr double trackAlpha = 0.25;
    static constexpr double trackRadius = 3;

    explicit ProgressBar(QWidget* parent = nullptr);

    void setBusy(bool busy);
    bool isBusy() const { return busy; }
    bool isAnimating() const { return frames.isActive(); }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QRect sweepBlock(const QRect& track) const;
    void paintInWindowColours();

    bool busy = false;
    QTimer frames;
    QElapsedTimer sweep;
};

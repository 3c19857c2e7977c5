#pragma once

#include <QElapsedTimer>
#include <QPixmap>
#include <QProgressBar>
#include <QTimer>

// A progress bar whose busy look is a block sweeping along the groove, redrawn a few times a
// second, and then only where the block was or now is; between two sweeps it rests out of view
// and nothing is redrawn. Qt's own busy bar redraws at the display's frame rate, which costs a
// few percent of a core for as long as a silent run lasts. Where the
// stock controls wear the window's colours, it draws itself: a track of black at 25 % opacity,
// filled (or swept) in the palette's highlight, over a cached copy of what lies beneath it, so
// that a frame never repaints the backdrop.
class ProgressBar : public QProgressBar {
    Q_OBJECT
public:
    static constexpr int busyFrameMs = 160;
    static constexpr int sweepMs = 1600;
    static constexpr int restMs = 1000;
    static constexpr double trackAlpha = 0.25;
    static constexpr double trackRadius = 3;

    explicit ProgressBar(QWidget* parent = nullptr);

    void setBusy(bool busy);
    bool isBusy() const { return busy; }
    bool isAnimating() const { return frames.isActive(); }

protected:
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QRect track() const;
    QRect sweepBlock() const;
    void advanceSweep();
    void paintInWindowColours();
    const QPixmap& emptyTrack();

    bool busy = false;
    QTimer frames;
    QElapsedTimer sweep;
    // The block as last drawn, or about to be.
    QRect block;
    // The backdrop beneath the bar with the empty track on it, and where that was taken.
    QPixmap emptyTrackImage;
    QRect emptyTrackPlace;
};

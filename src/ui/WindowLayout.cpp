#include "ui/WindowLayout.h"

#include <QtMath>

namespace {

constexpr int titleTop = 42;
constexpr int titleToSubtitle = 4;
constexpr int subtitleToPicker = 22;
constexpr int pickerOffsetX = 24;
constexpr int pickerWidth = 170;
constexpr int captionToPicker = 12;
constexpr int pickerToStatus = 21;
constexpr int sideMargin = 48;
constexpr int statusToDetail = 7;
constexpr int detailToProgress = 17;
constexpr int progressWidth = 300;
constexpr int progressToButton = 17;
constexpr int buttonWidth = 172;
constexpr int buttonHeight = 42;
constexpr int buttonToLogButton = 7;
constexpr int footerBottomMargin = 12;

// The left edge of a control of the given width whose centre sits `offset` right of the
// content's centre.
int centredLeft(int contentWidth, int width, int offset = 0) {
    return qRound((contentWidth - width) / 2.0 + offset);
}

} // namespace

WindowGeometry layoutWindow(const QSize& content, const WindowControlSizes& sizes) {
    const int w = content.width();
    WindowGeometry g;

    g.title = QRect(centredLeft(w, sizes.title.width()), titleTop, sizes.title.width(),
                    sizes.title.height());

    g.subtitle =
        QRect(centredLeft(w, sizes.subtitle.width()), g.title.bottom() + 1 + titleToSubtitle,
              sizes.subtitle.width(), sizes.subtitle.height());

    g.regionPicker =
        QRect(centredLeft(w, pickerWidth, pickerOffsetX),
              g.subtitle.bottom() + 1 + subtitleToPicker, pickerWidth, sizes.regionPicker.height());

    const int captionRight = g.regionPicker.left() - captionToPicker;
    const int captionTop =
        g.regionPicker.top() +
        qRound((sizes.regionPicker.height() - sizes.regionCaption.height()) / 2.0);
    g.regionCaption = QRect(captionRight - sizes.regionCaption.width(), captionTop,
                            sizes.regionCaption.width(), sizes.regionCaption.height());

    const int lineWidth = w - 2 * sideMargin;
    g.status = QRect(sideMargin, g.regionPicker.bottom() + 1 + pickerToStatus, lineWidth,
                     sizes.status.height());
    g.detail =
        QRect(sideMargin, g.status.bottom() + 1 + statusToDetail, lineWidth, sizes.detail.height());

    g.progress = QRect(centredLeft(w, progressWidth), g.detail.bottom() + 1 + detailToProgress,
                       progressWidth, sizes.progress.height());

    g.playButton = QRect(centredLeft(w, buttonWidth), g.progress.bottom() + 1 + progressToButton,
                         buttonWidth, buttonHeight);

    g.logButton = QRect(centredLeft(w, sizes.logButton.width()),
                        g.playButton.bottom() + 1 + buttonToLogButton, sizes.logButton.width(),
                        sizes.logButton.height());

    g.footer = QRect(centredLeft(w, sizes.footer.width()),
                     content.height() - footerBottomMargin - sizes.footer.height(),
                     sizes.footer.width(), sizes.footer.height());
    return g;
}

#pragma once

#include "ui/Palette.h"

#include <QPushButton>

// The primary button. It paints its whole face itself: a gold rounded plate that darkens while
// pressed, with the title centred on it in dark green, dimmed when the button is disabled. The
// style draws nothing of it, so it looks the same on every platform.
class PlayButton : public QPushButton {
    Q_OBJECT

public:
    static constexpr qreal cornerRadius = 8;

    explicit PlayButton(const QString& title, const Palette& palette, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

    // The font the title is drawn in: the button's own when one was set on it, else the system
    // font at 15 pixels, semibold.
    QFont titleFont() const;
    // The plate's colour for the button's current pressed state.
    QColor plateColor() const;
    QColor titleColor() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QColor gold_;
    QColor forest_;
};

#pragma once

#include "ui/Palette.h"

#include <QWidget>

// The window's background: a vertical dark-green gradient with a faint rounded frame inset from
// the edges. Pressing the left button on it drags the window.
class BackdropView : public QWidget {
    Q_OBJECT

public:
    explicit BackdropView(const Palette& palette, QWidget* parent = nullptr);

    QSize sizeHint() const override;

    // Where the frame's 1-pixel line is drawn: the bounds inset by 18, moved by half a pixel so
    // the line covers whole pixel rows and columns.
    QRectF frameRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;

private:
    QColor top_;
    QColor bottom_;
};

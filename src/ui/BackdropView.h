#pragma once

#include "ui/Palette.h"

#include <QWidget>

#include <optional>

// The window's background: a vertical dark-green gradient with a faint rounded frame inset from
// the edges. Dragging it with the left button moves the window.
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
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    // Hands the window to the window system's interactive move.
    virtual void startWindowMove();

private:
    // Where the left button went down, until the drag starts or the button is released.
    std::optional<QPointF> pressedAt;
    QColor top_;
    QColor bottom_;
};

#pragma once

#include <QPushButton>

// A button that is only its text, like a borderless button on macOS: no bezel or border, not even
// while pressed, when the text dims instead. It draws in the palette's button-text colour.
class TextButton : public QPushButton {
    Q_OBJECT

public:
    explicit TextButton(const QString& text, QWidget* parent = nullptr);

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void paintEvent(QPaintEvent* event) override;
};

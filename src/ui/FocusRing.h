#pragma once

#include <QColor>
#include <QPointer>
#include <QWidget>

// A 2-pixel ring around a control, a little outside it, showing that it has the keyboard focus.
// It is a sibling laid over the control rather than part of it and never reaches into the
// control's rectangle, so the control's own pixels stay as they are; it takes no input. It
// follows the control when the control moves.
class FocusRing : public QWidget {
    Q_OBJECT

public:
    static constexpr int gap = 2;
    static constexpr int lineWidth = 2;

    FocusRing(const QColor& color, QWidget* parent);

    // Surrounds `control`, a sibling whose corners are rounded by `cornerRadius`; nullptr hides it.
    void surround(QWidget* control, qreal cornerRadius);
    QWidget* surrounded() const { return control_; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    void follow();
    qreal lineRadius() const;

    QColor color_;
    QPointer<QWidget> control_;
    qreal radius_ = 0;
};

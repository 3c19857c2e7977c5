#pragma once

#include "ui/Palette.h"

#include <QComboBox>

// The region pop-up. Only a pick from its list counts as a choice: a wheel turn over the closed
// picker changes nothing, where a stock combo box would switch regions and start a check.
// Where the stock controls wear the window's colours, the closed picker is a `forestLight` box
// with a `muted` border and `parchment` text, and its list the same with the highlighted item in
// `gold` with `forest` text.
class RegionPicker : public QComboBox {
    Q_OBJECT

public:
    static constexpr qreal cornerRadius = 4;

    explicit RegionPicker(const Palette& palette, QWidget* parent = nullptr);

    void showPopup() override;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;

private:
    void wearWindowColours();
    void dressList();

    Palette colours;
    bool listDressed = false;
};

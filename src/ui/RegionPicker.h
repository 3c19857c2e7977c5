#pragma once

#include <QComboBox>

// The region pop-up. Only a pick from its list counts as a choice: a wheel turn over the closed
// picker changes nothing, where a stock combo box would switch regions and start a check.
class RegionPicker : public QComboBox {
    Q_OBJECT

public:
    explicit RegionPicker(QWidget* parent = nullptr);

protected:
    void wheelEvent(QWheelEvent* event) override;
};

#include "ui/RegionPicker.h"

#include <QWheelEvent>

RegionPicker::RegionPicker(QWidget* parent)
    : QComboBox(parent) {
    setEditable(false);
}

void RegionPicker::wheelEvent(QWheelEvent* event) {
    // Left to the window, which ignores it too; the open list scrolls on its own.
    event->ignore();
}

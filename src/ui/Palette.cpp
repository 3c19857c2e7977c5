#include "ui/Palette.h"

Palette Palette::standard() {
    return Palette{
        .forest = QColor::fromRgbF(0.055f, 0.105f, 0.082f),
        .forestLight = QColor::fromRgbF(0.085f, 0.16f, 0.125f),
        .parchment = QColor::fromRgbF(0.91f, 0.89f, 0.79f),
        .muted = QColor::fromRgbF(0.61f, 0.67f, 0.59f),
        .gold = QColor::fromRgbF(0.83f, 0.64f, 0.25f),
    };
}

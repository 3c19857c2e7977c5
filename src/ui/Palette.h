#pragma once

#include <QColor>

// The launcher's five colours, made once at start and shared by everything that draws.
struct Palette {
    QColor forest;
    QColor forestLight;
    QColor parchment;
    QColor muted;
    QColor gold;

    static Palette standard();
};

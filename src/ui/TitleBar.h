#pragma once

#include <QColor>

class QWidget;

// Lets the window's background colour show through its title bar where the platform draws the
// title bar itself (macOS). Elsewhere the desktop's decorations stay as they are.
void makeTitleBarTransparent(QWidget* window, const QColor& background);

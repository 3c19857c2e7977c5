#pragma once

#include <QtGlobal>

// Whether the stock controls (the region picker and the progress bar) are drawn in the window's
// colours. macOS's own controls suit the dark window; elsewhere the desktop's style is often a
// light one, a white box and a blue bar on white, which clashes with it.
constexpr bool stockControlsWearWindowColours() {
#ifdef Q_OS_MACOS
    return false;
#else
    return true;
#endif
}

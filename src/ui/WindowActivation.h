#pragma once

#include <QString>

class QWidget;

// Hands another launcher's activation token to the window system, just before the window is
// brought to the front: on Wayland an xdg-activation token, on X11 a startup-notification id
// (whose time stamp lets the window manager raise the window past its focus-stealing prevention,
// and whose launch feedback ends here). Elsewhere, and with an empty token, it does nothing.
void presentActivationToken(QWidget& window, const QString& token);

#pragma once

#include <QObject>
#include <QString>
#include <functional>

// Whether a file handed to the toolkit's open call is known to open. On macOS the workspace opens
// it; elsewhere the toolkit reports success whenever xdg-open exists, even when it then finds no
// application, so the launcher runs xdg-open itself to learn how it went.
constexpr bool toolkitOpenIsReliable() {
#ifdef Q_OS_MACOS
    return true;
#else
    return false;
#endif
}

// Runs xdg-open (found on PATH) for `path` without waiting for it, and later calls `done`, in
// `context`'s thread and only while `context` exists, with whether it opened the file: false when
// xdg-open is missing, cannot be started, crashes or exits with a non-zero status (then at once).
// An xdg-open still running when the launcher quits is left running: some desktops keep it until
// the viewer it started is closed.
void openWithXdgOpen(const QString& path, QObject* context, std::function<void(bool opened)> done);

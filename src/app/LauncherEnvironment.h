#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Everything the controller takes from the outside world, in one value, so that a test can run
// a controller over a temporary bundle and home directory.
struct LauncherEnvironment {
    // The full argument list, program path first.
    QStringList arguments;
    // The running executable; the bundle is found from it.
    QString executablePath;
    // The per-user generic data location; the support directory lies inside it.
    QString dataDirectory;
    // Where the region choice is kept; empty means the platform's own user-defaults store.
    QString settingsFile;
    // The updater's interpreter. Never searched for on PATH.
    QString interpreter = QStringLiteral("/usr/bin/python3");
    // The environment handed to the updater (before PYTHONUNBUFFERED is set).
    QProcessEnvironment processEnvironment;
    // The tool that starts the updated launcher as a new instance; empty starts the bundle's
    // executable directly.
    QString openTool;
    // A line for the log once it is open: what went wrong before it could be (empty: nothing).
    QString startupNotice;

    // The environment of this process.
    static LauncherEnvironment current(const QStringList& arguments);
};

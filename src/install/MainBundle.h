#pragma once

#include <QString>
#include <optional>

// Where the running launcher lives: its bundle (or bare executable directory), resources and
// information dictionary.
struct MainBundle {
    QString location;
    QString resourceDirectory;
    // Empty when the executable does not run from a bundle.
    QString infoPlistPath;

    static MainBundle forExecutable(const QString& executablePath);

    // The bundle location when it is an application bundle (extension exactly "app").
    std::optional<QString> launcherBundleURL() const;
    // Where an earlier update leaves the retired copy of this bundle.
    std::optional<QString> retiredBundleURL() const;
    // A string value of the information dictionary; absent for any other value or a bad file.
    std::optional<QString> infoString(const QString& key) const;
    // "CFBundleVersion" when it has the launcher version form.
    std::optional<QString> launcherVersion() const;
};

#pragma once

#include "RecordingView.h"
#include "app/LauncherController.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QTemporaryDir>
#include <functional>
#include <memory>
#include <ostream>

// Readable failure messages for Qt strings.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

// A temporary home and launcher bundle with a scripted fixture updater, and a controller over
// them. The fixture updater is a real Python program run by the real interpreter: each run reads
// what to print and how to exit from scenario.json, per mode, and records its command line.
class LauncherFixture {
public:
    static constexpr auto defaultVersion = "0123456789abcdef";

    LauncherFixture();

    QString root() const { return directory.path(); }
    QString home() const { return root() + QStringLiteral("/home"); }
    QString dataDirectory() const { return home() + QStringLiteral("/.local/share"); }
    QString supportDirectory() const { return dataDirectory() + QStringLiteral("/Thornwake"); }
    QString bundle() const { return root() + QStringLiteral("/Thornwake Test.app"); }
    QString resources() const {
        return bareDirectory.isEmpty() ? bundle() + QStringLiteral("/Contents/Resources")
                                       : bareDirectory;
    }
    QString executable() const;

    void writeConfig(const QByteArray& json);
    void writeInfoPlist(const std::optional<QString>& version);
    void removeUpdater();
    // From now on the launcher runs as a bare executable outside any bundle.
    void runBare();
    // Runs per mode ("check", "update", "play"); the n-th run of a mode takes the n-th entry
    // (the last entry repeats); scripted_updater.py describes an entry.
    void setScenario(const QJsonObject& scenario);
    void writeMetadata(const QString& regionId, const QByteArray& json);

    LauncherEnvironment environment(const QStringList& arguments = {}) const;
    std::unique_ptr<LauncherController> launch(const QStringList& arguments = {});
    std::unique_ptr<LauncherController> create(const QStringList& arguments = {});

    // Every recorded updater run: {"argv": [...], "unbuffered": ..., "inherited": ..., "pid": n}.
    QList<QJsonObject> runs() const;
    QStringList runModes() const;
    QString logText() const;
    QString interpreter = QStringLiteral("/usr/bin/python3");
    // Run as a bare executable in this directory instead of from the bundle.
    QString bareDirectory;
    QString openTool;

    RecordingView view;
    int quitSignals = 0;

private:
    QTemporaryDir directory;
};

// Processes events until the condition holds or the time runs out.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 15000);
// Waits until no run is active.
bool waitForIdle(const LauncherController& controller, int timeoutMs = 15000);

// The scripted updater (tests/fixtures/scripted_updater.py), for bundles the tests build
// themselves.
QByteArray scriptedUpdater();

// A scenario entry that prints the given lines (each ended by a line feed) and exits.
QJsonObject printing(const QStringList& lines, int exitStatus = 0);

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
    QString dataDirectory() const { return root() + QStringLiteral("/home/.local/share"); }
    QString supportDirectory() const { return dataDirectory() + QStringLiteral("/Thornwake"); }
    QString bundle() const { return root() + QStringLiteral("/Thornwake Test.app"); }
    QString resources() const { return bundle() + QStringLiteral("/Contents/Resources"); }
    QString resource(const QString& name) const { return resources() + u'/' + name; }

    void write(const QString& path, const QByteArray& content) const;
    // A shell script that appends its arguments, one a line, to <path>.args and exits with
    // `status`.
    QString writeRecorder(const QString& path, int status) const;
    void writeInfoPlist(const QString& version) const;
    // Runs per mode ("check", "update", "play"); the n-th run of a mode takes the n-th entry
    // (the last entry repeats); scripted_updater.py describes an entry.
    void setScenario(const QJsonObject& scenario) const;
    // Tells a waiting run to go on, or asks whether it got that far.
    void touch(const QString& name) const { write(resource(name), {}); }
    bool exists(const QString& name) const;

    std::unique_ptr<LauncherController> launch(const QStringList& arguments = {});

    // Every recorded updater run: {"argv": [...], "unbuffered", "inherited", "pipeCopies"}.
    QList<QJsonObject> runs() const;
    QStringList runModes() const;
    QByteArray logBytes() const;

    QString interpreter = QStringLiteral("/usr/bin/python3");
    QString openTool;
    RecordingView view;
    int quitSignals = 0;

private:
    QTemporaryDir directory;
};

// Runs the event loop (so that timers keep their rhythm) until the condition holds or the time
// runs out.
bool waitFor(const std::function<bool()>& condition, int timeoutMs = 30000);
// Waits until no run is active.
bool waitForIdle(const LauncherController& controller, int timeoutMs = 30000);

// A scenario entry that prints the given lines (each ended by a line feed) and exits.
QJsonObject printing(const QStringList& lines, int exitStatus = 0);
// A scenario entry of steps (texts, {"touch"}, {"waitFor"}, …) and extra members ("exit", …).
QJsonObject steps(const QJsonArray& out, const QJsonObject& extra = {});

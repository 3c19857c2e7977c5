#pragma once

#include "LauncherFixture.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonObject>
#include <functional>
#include <ostream>

// Readable failure messages for byte strings (log contents).
inline void PrintTo(const QByteArray& bytes, std::ostream* out) {
    *out << '"'
         << (bytes.size() > 2000 ? bytes.left(1000) + "…" + bytes.right(1000) : bytes).toStdString()
         << '"';
}

// The controller fixture with helpers for runs that wait for the test, tell it how far they got,
// close their output, flood it or run until they are stopped.
class FaultFixture : public LauncherFixture {
public:
    QString resource(const QString& name) const { return resources() + u'/' + name; }
    void touch(const QString& name) const;
    bool exists(const QString& name) const;
    QByteArray logBytes() const;
};

// Runs the event loop (not a polling loop, so that timers keep their rhythm) until the condition
// holds or the time runs out.
bool runUntil(const std::function<bool()>& condition, int timeoutMs = 30000);

// A scenario entry: the steps (texts, {"touch"}, {"waitFor"}, {"close"}, {"repeat", "times"}) and
// extra members such as "exit", "sleep" or "forever".
QJsonObject steps(const QJsonArray& out, const QJsonObject& extra = {});

// Microseconds of processor time this process has used so far (all threads).
qint64 processorMicroseconds();

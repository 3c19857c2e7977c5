#pragma once

#include <QDateTime>
#include <QString>

// The append-only launcher.log in the support directory. Owns the open file; every entry is on
// stable storage before append returns. Failures never surface: logging is simply off, or one
// entry is dropped.
class LauncherLog {
public:
    static constexpr qint64 sizeLimit = 2'000'000;

    LauncherLog() = default;
    LauncherLog(const LauncherLog&) = delete;
    LauncherLog& operator=(const LauncherLog&) = delete;
    ~LauncherLog();

    // "\n--- Launcher opened 2026-12-06T06:29:31Z ---\n"
    static QString header(const QDateTime& utc);

    // Creates the directory (0700) and the file (0600) as needed, empties a log over the size
    // limit, opens it for appending and writes the launch header. False when logging is off.
    bool prepare(const QString& supportDirectory, const QDateTime& nowUtc);
    // Writes the text's UTF-8 bytes unchanged and flushes them; does nothing without an open log.
    void append(const QString& text);
    bool isOpen() const;
    void close();
    // The log's location once prepare has been called, whether or not it succeeded.
    QString path() const;

private:
    int descriptor = -1;
    QString logPath;
};

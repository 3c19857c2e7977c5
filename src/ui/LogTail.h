#pragma once

#include <QString>
#include <QStringDecoder>

#include <sys/types.h>

// Reads a log that grows while it is shown, from where the last read stopped: only the bytes
// appended since. A file that was emptied, replaced or removed in between starts over. The path
// is opened without following a symbolic link, and a file of another kind (a FIFO, a directory)
// counts as missing. At most the last `shownBytes` of a long file are read, from a line start.
class LogTail {
public:
    static constexpr qint64 shownBytes = 4 << 20;

    struct Change {
        // What was read before is no longer the file's text: replace it with `text`.
        bool restart = false;
        // Text to append (or, after a restart, all of it).
        QString text;
        // No readable regular file is at the path now.
        bool missing = false;
        // Lines at the start of the file were left out.
        bool shortened = false;
    };

    explicit LogTail(QString path);

    const QString& path() const { return path_; }
    Change read();

private:
    QString path_;
    // The file last read, so that a new file at the path is noticed.
    dev_t device = 0;
    ino_t inode = 0;
    bool present = false;
    qint64 offset = 0;
    QStringDecoder decoder{QStringDecoder::Utf8};
};

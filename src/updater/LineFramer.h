#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

// Cuts the updater's byte stream into text lines: UTF-8 with repair (one U+FFFD per maximal
// ill-formed subpart), trimmed, blank lines dropped.
// An unterminated line is held back until its line feed arrives or the stream ends, but never more
// than maximumLineBytes of it: a run that prints without line feeds must not grow the launcher
// without bound, so an overlong line is handed on in pieces.
class LineFramer {
public:
    static constexpr qsizetype maximumLineBytes = 1 << 20;

    // Appends a chunk; returns the complete lines it finished, in stream order.
    QStringList consume(const QByteArray& chunk);
    // The unterminated rest, decoded and trimmed (possibly empty); the buffer is emptied.
    QString takeRest();
    void clear();
    qsizetype bufferedBytes() const { return buffer.size(); }

    static QString decodeLine(QByteArrayView bytes);

private:
    QByteArray buffer;
};

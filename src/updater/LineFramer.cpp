#include "updater/LineFramer.h"

namespace {

// Never cut inside a UTF-8 sequence: back up over continuation bytes (at most three).
qsizetype utf8Boundary(const QByteArray& bytes, qsizetype limit) {
    qsizetype cut = limit;
    for (int i = 0; i < 3 && cut > 0 && (static_cast<unsigned char>(bytes[cut]) & 0xC0) == 0x80;
         ++i)
        --cut;
    return cut > 0 ? cut : limit;
}

} // namespace

QString LineFramer::decodeLine(QByteArrayView bytes) {
    return QString::fromUtf8(bytes).trimmed();
}

QStringList LineFramer::consume(const QByteArray& chunk) {
    QStringList lines;
    // Only the new bytes can hold a line feed that was not seen before.
    qsizetype searchFrom = buffer.size();
    buffer.append(chunk);
    qsizetype start = 0;
    for (;;) {
        const qsizetype newline = buffer.indexOf('\n', std::max(start, searchFrom));
        if (newline < 0)
            break;
        QString line = decodeLine(QByteArrayView(buffer).sliced(start, newline - start));
        if (!line.isEmpty())
            lines.append(std::move(line));
        start = newline + 1;
    }
    while (buffer.size() - start > maximumLineBytes) {
        const qsizetype cut = utf8Boundary(buffer, start + maximumLineBytes) - start;
        QString piece = decodeLine(QByteArrayView(buffer).sliced(start, cut));
        if (!piece.isEmpty())
            lines.append(std::move(piece));
        start += cut;
    }
    buffer.remove(0, start);
    return lines;
}

QString LineFramer::takeRest() {
    QString rest = decodeLine(buffer);
    buffer.clear();
    return rest;
}

void LineFramer::clear() {
    buffer.clear();
}

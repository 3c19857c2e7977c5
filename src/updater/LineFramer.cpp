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

// The length of the well-formed UTF-8 sequence that starts the bytes, or, when they start with an
// ill-formed one, minus the length of its maximal subpart: the longest start of some well-formed
// sequence that is there, and at least the one byte.
qsizetype sequenceLength(QByteArrayView bytes) {
    const auto lead = static_cast<unsigned char>(bytes[0]);
    if (lead < 0x80)
        return 1;
    qsizetype length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xbf;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        // No overlong forms, no surrogates.
        if (lead == 0xe0)
            low = 0xa0;
        else if (lead == 0xed)
            high = 0x9f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        // No overlong forms, nothing above U+10FFFF.
        if (lead == 0xf0)
            low = 0x90;
        else if (lead == 0xf4)
            high = 0x8f;
    } else {
        return -1;
    }
    for (qsizetype i = 1; i < length; ++i) {
        if (i >= bytes.size())
            return -i;
        const auto next = static_cast<unsigned char>(bytes[i]);
        if (next < low || next > high)
            return -i;
        low = 0x80;
        high = 0xbf;
    }
    return length;
}

// UTF-8 with one U+FFFD for each maximal ill-formed subpart, the usual practice of decoders (Qt's
// own gives one per byte of a truncated sequence).
QString decodeUtf8(QByteArrayView bytes) {
    if (bytes.isValidUtf8())
        return QString::fromUtf8(bytes);
    QString text;
    text.reserve(bytes.size());
    qsizetype validFrom = 0;
    qsizetype at = 0;
    while (at < bytes.size()) {
        const qsizetype length = sequenceLength(bytes.sliced(at));
        if (length > 0) {
            at += length;
            continue;
        }
        text += QString::fromUtf8(bytes.sliced(validFrom, at - validFrom));
        text += QChar::ReplacementCharacter;
        at -= length;
        validFrom = at;
    }
    text += QString::fromUtf8(bytes.sliced(validFrom));
    return text;
}

} // namespace

QString LineFramer::decodeLine(QByteArrayView bytes) {
    return decodeUtf8(bytes).trimmed();
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

// The updater's output from the pipe to its meaning: arbitrary bytes cut into arbitrary chunks go
// through the line framing, and every line through the interpreter in each kind of run.
// Properties: the lines do not depend on where the chunks fall, each is trimmed and non-empty, a
// percentage stays on the bar's scale, a check run reads nothing but results and errors, and an
// accepted result names only versions and releases of their forms.
//
// Input: byte 0 seeds the chunk sizes, the rest is the stream.
#include "Expect.h"
#include "updater/LineFramer.h"
#include "updater/OutputLine.h"

#include <cmath>
#include <cstddef>
#include <cstdint>

namespace {

QList<QByteArray> chunksOf(const QByteArray& stream, uint32_t seed) {
    QList<QByteArray> chunks;
    uint32_t state = seed * 2654435761u + 1;
    for (qsizetype at = 0; at < stream.size();) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // Mostly short chunks, so that lines and UTF-8 sequences are split; now and then a long
        // one.
        const qsizetype length =
            (state & 7) == 0 ? qsizetype(state >> 20) % 4096 + 1 : qsizetype(state >> 8) % 16 + 1;
        chunks.append(stream.mid(at, length));
        at += length;
    }
    return chunks;
}

// The lines of a stream, the unterminated rest included.
QStringList framed(const QList<QByteArray>& chunks) {
    LineFramer framer;
    QStringList lines;
    for (const QByteArray& chunk : chunks)
        lines += framer.consume(chunk);
    if (const QString rest = framer.takeRest(); !rest.isEmpty())
        lines.append(rest);
    return lines;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 1, qsizetype(size) - 1);
    const QStringList lines = framed(chunksOf(stream, data[0]));
    const QStringList whole = framed({stream});
    FUZZ_EXPECT(lines == whole, lines.join(u'|') + QStringLiteral(" vs ") + whole.join(u'|'));

    for (const QString& line : lines) {
        FUZZ_EXPECT(!line.isEmpty() && line == line.trimmed() && !line.contains(u'\n'), line);
        for (const Mode mode : {Mode::check, Mode::update, Mode::play}) {
            const OutputLine meaning = interpretOutputLine(
                line, {mode, QStringLiteral("/opt/games"), QStringLiteral("R")});
            if (meaning.kind == OutputLine::Kind::percentage)
                FUZZ_EXPECT(meaning.progress >= 0 && meaning.progress <= 100, line);
            // An accepted result names only well-formed versions and releases.
            if (meaning.checkOutcome && meaning.checkOutcome->launcherVersion)
                FUZZ_EXPECT(reference::isLauncherVersion(*meaning.checkOutcome->launcherVersion),
                            line);
            if (meaning.checkOutcome && meaning.checkOutcome->clientRelease)
                FUZZ_EXPECT(reference::isClientRelease(*meaning.checkOutcome->clientRelease), line);
            if (mode == Mode::check)
                FUZZ_EXPECT(meaning.kind == OutputLine::Kind::ignored ||
                                meaning.kind == OutputLine::Kind::checkResult ||
                                meaning.kind == OutputLine::Kind::errorDetail,
                            line);
        }
    }
    return 0;
}

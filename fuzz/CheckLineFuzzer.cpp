// The update check line, compared with a second reading of its grammar written without regular
// expressions.
#include "Expect.h"
#include "updater/CheckResult.h"

#include <QStringList>

#include <cstddef>
#include <cstdint>

namespace {

std::optional<CheckOutcome> referenceParse(const QString& line) {
    QStringList fields;
    for (const QString& piece : line.split(u' '))
        if (!piece.isEmpty())
            fields.append(piece);
    if (fields.size() == 4 && fields[3].startsWith(u"world=")) {
        const QString world = fields[3].mid(6);
        if (world != u"unknown" && !reference::isWorldVersion(world))
            return std::nullopt;
        fields.removeLast();
    }
    if (fields.size() != 3 || fields[0] != u"UPDATE_CHECK" || !fields[1].startsWith(u"launcher=") ||
        !fields[2].startsWith(u"client="))
        return std::nullopt;

    CheckOutcome outcome;
    const QString launcher = fields[1].mid(9);
    if (!QStringList{"current", "unknown", "unpackaged", "unconfigured"}.contains(launcher)) {
        if (!launcher.startsWith(u"available:") || !reference::isLauncherVersion(launcher.mid(10)))
            return std::nullopt;
        outcome.launcherVersion = launcher.mid(10);
    }
    const QString client = fields[2].mid(7);
    if (client != u"current" && client != u"unknown") {
        if (!client.startsWith(u"available:") || !reference::isClientRelease(client.mid(10)))
            return std::nullopt;
        outcome.clientRelease = client.mid(10);
    }
    return outcome;
}

QString describe(const std::optional<CheckOutcome>& outcome) {
    if (!outcome)
        return QStringLiteral("rejected");
    return QStringLiteral("launcher=%1 client=%2")
        .arg(outcome->launcherVersion.value_or(QStringLiteral("<none>")),
             outcome->clientRelease.value_or(QStringLiteral("<none>")));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Not trimmed: line breaks and other white space may stand anywhere in a field.
    const QString line = QString::fromUtf8(reinterpret_cast<const char*>(data), qsizetype(size));
    const std::optional<CheckOutcome> parsed = parseCheck(line);
    const std::optional<CheckOutcome> expected = referenceParse(line);
    FUZZ_EXPECT(parsed == expected,
                line + QStringLiteral(": ") + describe(parsed) + QStringLiteral(" vs ") +
                    describe(expected));
    return 0;
}

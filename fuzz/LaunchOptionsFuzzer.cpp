// The command line: the input is the argument vector, arguments separated by NUL bytes (the one
// byte an argument cannot hold). The result is compared with a second reading of the grammar
// written as a plain state machine.
#include "Expect.h"
#include "config/LaunchOptions.h"

#include <cstddef>
#include <cstdint>

namespace {

LaunchOptions referenceParse(const QStringList& arguments) {
    LaunchOptions options;
    enum class Expecting { word, region, version } expecting = Expecting::word;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (expecting == Expecting::region) {
            if (reference::isRegionId(argument))
                options.region = argument;
            expecting = Expecting::word;
        } else if (expecting == Expecting::version) {
            if (reference::isLauncherVersion(argument))
                options.relaunchedFrom = argument;
            expecting = Expecting::word;
        } else if (argument == u"--region") {
            expecting = Expecting::region;
        } else if (argument == u"--relaunched-from") {
            expecting = Expecting::version;
        } else if (argument == u"--continue") {
            options.automaticContinue = true;
        } else if (argument == u"--no-self-update") {
            options.noSelfUpdate = true;
        } else if (argument == u"--") {
            for (qsizetype j = i + 1; j < arguments.size(); ++j)
                options.gameArguments.append(arguments[j]);
            break;
        }
    }
    return options;
}

QString describe(const LaunchOptions& options) {
    return QStringLiteral("region=%1 continue=%2 from=%3 noSelfUpdate=%4 game=[%5]")
        .arg(options.region.value_or(QStringLiteral("<none>")))
        .arg(options.automaticContinue)
        .arg(options.relaunchedFrom.value_or(QStringLiteral("<none>")))
        .arg(options.noSelfUpdate)
        .arg(options.gameArguments.join(u'|'));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QStringList arguments;
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    for (const QByteArray& argument : bytes.split('\0'))
        arguments.append(QString::fromUtf8(argument));

    const LaunchOptions parsed = LaunchOptions::parse(arguments);
    const LaunchOptions expected = referenceParse(arguments);
    FUZZ_EXPECT(parsed == expected, describe(parsed) + QStringLiteral(" vs ") + describe(expected));

    // The program path is never interpreted.
    QStringList otherProgram = arguments;
    otherProgram[0] = QStringLiteral("--continue");
    FUZZ_EXPECT(LaunchOptions::parse(otherProgram) == parsed, describe(parsed));
    return 0;
}

#include "config/LaunchOptions.h"

#include "config/Identifiers.h"

LaunchOptions LaunchOptions::parse(const QStringList& arguments) {
    LaunchOptions options;
    qsizetype index = 1; // the program path is never interpreted
    while (index < arguments.size()) {
        const QString& argument = arguments.at(index);
        if (argument == u"--region" || argument == u"--relaunched-from") {
            if (index + 1 >= arguments.size())
                break;
            // The value slot is consumed even when the value is rejected or is itself a word.
            const QString& value = arguments.at(index + 1);
            if (argument == u"--region") {
                if (isRegionId(value))
                    options.region = value;
            } else if (isLauncherVersion(value)) {
                options.relaunchedFrom = value;
            }
            index += 2;
        } else if (argument == u"--continue") {
            options.automaticContinue = true;
            ++index;
        } else if (argument == u"--no-self-update") {
            options.noSelfUpdate = true;
            ++index;
        } else if (argument == u"--") {
            options.gameArguments = arguments.mid(index + 1);
            break;
        } else {
            ++index;
        }
    }
    return options;
}

#pragma once

#include <QString>
#include <QStringList>
#include <optional>

// The parsed command line. Parsing never fails: whatever is unknown or invalid is ignored.
struct LaunchOptions {
    std::optional<QString> region;
    bool automaticContinue = false;
    std::optional<QString> relaunchedFrom;
    bool noSelfUpdate = false;
    QStringList gameArguments;

    // The full argument list, program path first.
    static LaunchOptions parse(const QStringList& arguments);

    bool operator==(const LaunchOptions&) const = default;
};

#pragma once

#include "updater/CheckOutcome.h"
#include "updater/Mode.h"

#include <QString>
#include <optional>

// What one line of the updater's output means to the launcher. Reading a line touches neither
// the launcher's state nor its window: the controller applies the meaning to both.
struct OutputLine {
    enum class Kind {
        ignored,           // not a form, or a form a check run does not read
        checkResult,       // checkOutcome: the result, absent when the line is rejected
        errorDetail,       // text: the updater's own explanation of a failure
        percentage,        // status and progress (0 to 100)
        detail,            // status and text: what is being downloaded
        installing,        // status; the bar turns indeterminate
        launcherLocation,  // text: where the new launcher bundle is, already accepted
        launcherInstalled, // status and text
        clientReady,       // status; the installed version and the footer are read afresh
        gameStart,         // status
    };

    Kind kind = Kind::ignored;
    QString status;
    QString text;
    double progress = 0;
    std::optional<CheckOutcome> checkOutcome;

    bool operator==(const OutputLine&) const = default;
};

// What a line's meaning depends on besides the line.
struct OutputLineContext {
    Mode mode = Mode::check;
    // The directory that holds the running launcher's bundle; absent outside a bundle.
    std::optional<QString> launcherBundleParent;
    // The selected region's name; absent when none is selected.
    std::optional<QString> regionName;
};

// Reads one trimmed, non-empty line. Prefixes and suffixes match whole characters only.
OutputLine interpretOutputLine(const QString& line, const OutputLineContext& context);

// The parent directory of a path, as a string: everything before its last component.
QString parentPath(QString path);

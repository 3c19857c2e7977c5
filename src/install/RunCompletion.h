#pragma once

#include "updater/CheckOutcome.h"
#include "updater/Mode.h"
#include "updater/OutputLine.h"

#include <QString>
#include <optional>

// What a run established from its output, under the names the launcher's design gives them; a
// run starts from a fresh value. The "URL" fields hold file-system paths.
struct RunFacts {
    Mode mode = Mode::check;
    bool sawGameStart = false;
    bool sawLauncherInstalled = false;
    std::optional<QString> installedLauncherURL = std::nullopt;
    std::optional<QString> lastErrorDetail = std::nullopt;
    std::optional<CheckOutcome> checkOutcome = std::nullopt;
};

// Records what one line of the run's output established; a later line of a kind replaces the
// earlier one, and the two flags stay raised.
void record(RunFacts& facts, const OutputLine& meaning);

enum class CompletionRow {
    relaunch = 1,            // a new launcher was installed: start it
    launcherUpdateFailed,    // a new launcher was reported but the run failed
    launcherUpdateAvailable, // check found a newer launcher
    clientUpdateAvailable,   // check found a newer client
    upToDate,                // check found nothing newer
    checkFailed,             // check failed or gave no result
    updateInstalled,         // update run succeeded: check again
    updateFailed,            // update run failed
    gameEnded,               // the game ran and ended well: quit
    gameFailed,              // the game ran and ended with a failure
    gameDidNotStart,         // play run ended well without starting the game
    playFailed,              // play run failed before the game started
};

// Which way a run's end goes, from its facts and the updater's exit status.
CompletionRow completionRow(const RunFacts& facts, int status);

#pragma once

#include "app/Mode.h"
#include "updater/CheckOutcome.h"

#include <optional>

// The facts a finished run leaves behind, and which way the run's end goes.
struct RunFacts {
    bool sawLauncherInstalled = false;
    Mode mode = Mode::check;
    bool sawGameStart = false;
    int status = 0;
    std::optional<CheckOutcome> checkOutcome;
};

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

CompletionRow completionRow(const RunFacts& facts);

#include "install/RunCompletion.h"

void record(RunFacts& facts, const OutputLine& meaning) {
    switch (meaning.kind) {
    case OutputLine::Kind::checkResult:
        facts.checkOutcome = meaning.checkOutcome;
        return;
    case OutputLine::Kind::errorDetail:
        facts.lastErrorDetail = meaning.text;
        return;
    case OutputLine::Kind::launcherLocation:
        facts.installedLauncherURL = meaning.text;
        return;
    case OutputLine::Kind::launcherInstalled:
        facts.sawLauncherInstalled = true;
        return;
    case OutputLine::Kind::gameStart:
        facts.sawGameStart = true;
        return;
    default:
        return;
    }
}

CompletionRow completionRow(const RunFacts& facts, int status) {
    const bool succeeded = status == 0;
    // A reported launcher install decides the outcome whatever the mode.
    if (facts.sawLauncherInstalled)
        return succeeded ? CompletionRow::relaunch : CompletionRow::launcherUpdateFailed;
    switch (facts.mode) {
    case Mode::check:
        if (!succeeded || !facts.checkOutcome)
            return CompletionRow::checkFailed;
        if (facts.checkOutcome->launcherVersion)
            return CompletionRow::launcherUpdateAvailable;
        if (facts.checkOutcome->clientRelease)
            return CompletionRow::clientUpdateAvailable;
        return CompletionRow::upToDate;
    case Mode::update:
        return succeeded ? CompletionRow::updateInstalled : CompletionRow::updateFailed;
    case Mode::play:
        if (facts.sawGameStart)
            return succeeded ? CompletionRow::gameEnded : CompletionRow::gameFailed;
        return succeeded ? CompletionRow::gameDidNotStart : CompletionRow::playFailed;
    }
    return CompletionRow::checkFailed;
}

#include "install/RunCompletion.h"

#include <gtest/gtest.h>

namespace {

using Row = CompletionRow;

RunFacts facts(Mode mode, bool sawGameStart = false, bool sawLauncherInstalled = false,
               std::optional<CheckOutcome> checkOutcome = std::nullopt) {
    return {mode, sawGameStart, sawLauncherInstalled, std::nullopt, std::nullopt, checkOutcome};
}

const CheckOutcome current{};
const CheckOutcome both{"0123456789abcdef", "r2"};
const CheckOutcome client{std::nullopt, "r2"};

} // namespace

TEST(RunCompletion, everyRowOfTheDecisionTable) {
    const std::tuple<RunFacts, int, Row> cases[] = {
        // A reported launcher install decides, whatever the mode.
        {facts(Mode::check, false, true, current), 0, Row::relaunch},
        {facts(Mode::play, true, true), 0, Row::relaunch},
        {facts(Mode::update, false, true), 1, Row::launcherUpdateFailed},
        // A newer launcher comes before a newer client.
        {facts(Mode::check, false, false, both), 0, Row::launcherUpdateAvailable},
        {facts(Mode::check, false, false, client), 0, Row::clientUpdateAvailable},
        {facts(Mode::check, false, false, current), 0, Row::upToDate},
        {facts(Mode::check), 0, Row::checkFailed},
        {facts(Mode::check, false, false, current), 2, Row::checkFailed},
        // A signal reads as a status below 0.
        {facts(Mode::check, false, false, current), -1, Row::checkFailed},
        {facts(Mode::update, true, false, both), 0, Row::updateInstalled},
        {facts(Mode::update), 1, Row::updateFailed},
        {facts(Mode::play, true), 0, Row::gameEnded},
        {facts(Mode::play, true), 3, Row::gameFailed},
        {facts(Mode::play, false, false, current), 0, Row::gameDidNotStart},
        {facts(Mode::play), -1, Row::playFailed},
    };
    for (const auto& [run, status, row] : cases)
        EXPECT_EQ(completionRow(run, status), row) << "expected row " << int(row);
}

#include "install/RunCompletion.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
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

// Every run the real updater printed in its own tests (tests/golden/updater) is read line by line
// in its mode and must end in the row a player expects.
TEST(RunCompletion, everyRecordedUpdaterRunEndsInTheExpectedRow) {
    const QString directory = QStringLiteral(THORNWAKE_SOURCE_DIR "/tests/golden/updater");
    QFile index(directory + QStringLiteral("/README.md"));
    ASSERT_TRUE(index.open(QIODevice::ReadOnly));
    const QMap<QString, Row> expected = {
        {"check_client_available", Row::clientUpdateAvailable},
        {"check_current", Row::upToDate},
        {"check_launcher_available", Row::launcherUpdateAvailable},
        {"check_offline_installed", Row::upToDate},
        {"check_offline_nothing_installed", Row::checkFailed},
        {"check_rejected_signature", Row::checkFailed},
        {"usage_error", Row::checkFailed},
        {"update_install", Row::updateInstalled},
        {"update_current", Row::updateInstalled},
        {"update_offline", Row::updateFailed},
        {"update_rejected_object", Row::updateFailed},
        {"play_started", Row::gameEnded},
        {"play_game_failed", Row::gameFailed},
        {"play_not_installed", Row::playFailed},
    };
    const QMap<QString, Mode> modes = {
        {"check", Mode::check}, {"update", Mode::update}, {"play", Mode::play}};
    static const QRegularExpression row(QStringLiteral(R"(^\| `(\w+)\.txt` \| (\w+) \| (\d+) \|$)"),
                                        QRegularExpression::MultilineOption);
    int runs = 0;
    for (auto match = row.globalMatch(QString::fromUtf8(index.readAll())); match.hasNext();
         ++runs) {
        const QRegularExpressionMatch transcript = match.next();
        const QString name = transcript.captured(1);
        QFile file(directory + u'/' + name + QStringLiteral(".txt"));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << name.toStdString();
        RunFacts run{.mode = modes.value(transcript.captured(2))};
        for (const QString& line :
             QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts))
            record(run, interpretOutputLine(line, {run.mode, QStringLiteral("/opt"), {}}));
        ASSERT_TRUE(expected.contains(name)) << name.toStdString() << " needs an expectation";
        EXPECT_EQ(completionRow(run, transcript.captured(3).toInt()), expected[name])
            << name.toStdString();
        // A failure the updater explained reaches the player in its words.
        if (expected[name] == Row::checkFailed || expected[name] == Row::updateFailed) {
            EXPECT_TRUE(run.lastErrorDetail && !run.lastErrorDetail->isEmpty())
                << name.toStdString();
        }
    }
    EXPECT_GE(runs, 14);
}

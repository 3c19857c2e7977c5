#include "LauncherFixture.h"
#include "updater/CheckResult.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <gtest/gtest.h>

// Every transcript the real updater printed in its own tests is replayed through the launcher as a
// run of the recorded mode and exit status, and must end where a player would expect.
namespace {

struct Transcript {
    QString file;
    QString mode;
    int exitStatus = 0;
    QStringList lines;
};

QList<Transcript> transcripts() {
    const QString directory = QStringLiteral(THORNWAKE_SOURCE_DIR "/tests/golden/updater");
    QFile index(directory + QStringLiteral("/README.md"));
    if (!index.open(QIODevice::ReadOnly))
        return {};
    static const QRegularExpression row(
        QStringLiteral(R"(^\| `([a-z_]+\.txt)` \| (\w+) \| (\d+) \|$)"));
    QList<Transcript> list;
    for (const QString& line : QString::fromUtf8(index.readAll()).split(u'\n')) {
        const QRegularExpressionMatch match = row.match(line);
        if (!match.hasMatch())
            continue;
        Transcript transcript{match.captured(1), match.captured(2), match.captured(3).toInt(), {}};
        QFile file(directory + u'/' + transcript.file);
        if (file.open(QIODevice::ReadOnly))
            transcript.lines = QString::fromUtf8(file.readAll()).split(u'\n', Qt::SkipEmptyParts);
        list.append(transcript);
    }
    return list;
}

struct Expectation {
    QString status;
    QString button; // empty: the launcher quits
};

QString errorText(const QStringList& lines) {
    QString text;
    for (const QString& line : lines)
        if (line.startsWith(QStringLiteral("Thornwake launcher error:")))
            text = line.mid(25).trimmed();
    return text;
}

} // namespace

TEST(GoldenTranscripts, everyRecordedRunEndsWhereThePlayerExpects) {
    const QMap<QString, Expectation> expected = {
        {"check_client_available.txt", {"Update available", "Update"}},
        {"check_current.txt", {"Ready to play Europe West", "Play"}},
        {"check_launcher_available.txt", {"Launcher update available", "Update"}},
        {"check_offline_installed.txt", {"Ready to play Europe West", "Play"}},
        {"check_offline_nothing_installed.txt", {"Couldn\u2019t check for updates", "Retry"}},
        {"check_rejected_signature.txt", {"Couldn\u2019t check for updates", "Retry"}},
        {"usage_error.txt", {"Couldn\u2019t check for updates", "Retry"}},
        {"update_install.txt", {"Ready to play Europe West", "Play"}},
        {"update_current.txt", {"Ready to play Europe West", "Play"}},
        {"update_offline.txt", {"Couldn\u2019t start the game", "Retry"}},
        {"update_rejected_object.txt", {"Couldn\u2019t start the game", "Retry"}},
        {"play_started.txt", {"Launching Europe West\u2026", ""}},
        {"play_game_failed.txt", {"Couldn\u2019t start the game", "Retry"}},
        {"play_not_installed.txt", {"Couldn\u2019t start the game", "Retry"}},
    };
    const QList<Transcript> list = transcripts();
    ASSERT_GE(list.size(), 10);
    for (const Transcript& transcript : list) {
        SCOPED_TRACE(transcript.file.toStdString());
        ASSERT_TRUE(expected.contains(transcript.file)) << "no expectation for this transcript";
        const Expectation& expectation = expected[transcript.file];
        for (const QString& line : transcript.lines) {
            EXPECT_FALSE(line.contains(QStringLiteral("Traceback"))) << line.toStdString();
            if (line.startsWith(QStringLiteral("UPDATE_CHECK "))) {
                EXPECT_TRUE(parseCheck(line)) << line.toStdString();
            }
        }

        LauncherFixture fixture;
        QJsonArray out;
        for (const QString& line : transcript.lines)
            out.append(line + u'\n');
        const QJsonObject recorded{{"out", out}, {"exit", transcript.exitStatus}};
        const QJsonObject current =
            printing({QStringLiteral("UPDATE_CHECK launcher=current client=current")});
        QJsonObject scenario{{"check", QJsonArray{current, current}}};
        if (transcript.mode == "check")
            scenario["check"] = QJsonArray{recorded, current};
        else
            scenario[transcript.mode] = QJsonArray{recorded};
        fixture.setScenario(scenario);
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        if (transcript.mode != "check") {
            controller->startUpdater(transcript.mode == "update" ? Mode::update : Mode::play);
            ASSERT_TRUE(waitFor(
                [&] { return fixture.quitSignals > 0 || !isBusy(controller->buttonState()); }));
        }
        if (expectation.button.isEmpty()) {
            EXPECT_EQ(fixture.quitSignals, 1);
            EXPECT_EQ(fixture.view.status, expectation.status);
            continue;
        }
        EXPECT_EQ(fixture.view.status, expectation.status);
        EXPECT_EQ(fixture.view.buttonTitle, expectation.button);
        // The updater's own words reach the player when it gave any.
        const QString error = errorText(transcript.lines);
        if (expectation.button == "Retry" && !error.isEmpty() &&
            transcript.file != "play_game_failed.txt") {
            EXPECT_EQ(fixture.view.detail, error);
        }
        for (const QString& line : transcript.lines)
            EXPECT_TRUE(fixture.logText().contains(line + u'\n')) << line.toStdString();
    }
}

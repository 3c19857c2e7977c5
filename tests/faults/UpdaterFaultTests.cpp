// The updater misbehaving while the launcher runs: killed, silent with its output closed, or
// flooding the pipe. The launcher must keep running, log every line it received, and end each
// run in the state its exit status and facts call for.
#include "FaultFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>

namespace {

const QString upToDate = QStringLiteral("UPDATE_CHECK launcher=current client=current");
const QString clientAvailable = QStringLiteral("UPDATE_CHECK launcher=current client=available:r2");

// The one failure presentation, whatever failed.
void expectFailurePresentation(const RecordingView& view, const QString& status,
                               const QString& detail) {
    EXPECT_EQ(view.status, status);
    EXPECT_EQ(view.detail, detail);
    EXPECT_EQ(view.detailToolTip, std::optional(detail));
    EXPECT_EQ(view.buttonTitle, QStringLiteral("Retry"));
    EXPECT_TRUE(view.buttonEnabled);
    EXPECT_TRUE(view.progressHidden);
    EXPECT_TRUE(view.pickerEnabled);
    EXPECT_FALSE(view.logButtonHidden) << "the log is open, so it is offered";
    EXPECT_TRUE(view.visible);
    EXPECT_GE(view.attentionRequests, 1);
}

struct KillCase {
    const char* name;
    QJsonObject scenario;
    // What the player does after start-up to reach the run that is killed.
    std::function<void(FaultFixture&, LauncherController&)> reachRun;
    QByteArray loggedLines; // the run's log entries before its unterminated last line, "partial"
    QString status;
    QString detail;
};

} // namespace

TEST(SigkillMidRun, eachKindOfRunEndsInItsFailureStateWithEveryLineLogged) {
    const QJsonObject killedRun = {{"forever", true}};
    auto pressWhen = [](ButtonState offer) {
        return [offer](FaultFixture&, LauncherController& controller) {
            ASSERT_TRUE(runUntil([&] { return controller.buttonState() == offer; }));
            controller.primaryAction();
        };
    };
    const std::vector<KillCase> cases = {
        {"check",
         {{"check", QJsonArray{steps({"Thornwake launcher error: feed unreachable\n", "partial",
                                      QJsonObject{{"touch", "printed"}}},
                                     killedRun),
                               printing({upToDate})}}},
         [](FaultFixture&, LauncherController&) {},
         "Checking for updates.\nThornwake launcher error: feed unreachable\n",
         QStringLiteral("Couldn\u2019t check for updates"),
         QStringLiteral("feed unreachable")},
        {"update",
         {{"check", QJsonArray{printing({clientAvailable}), printing({upToDate})}},
          {"update", QJsonArray{steps({"Updating to client r2\u2026\n", "Downloading client: 40%\n",
                                       "partial", QJsonObject{{"touch", "printed"}}},
                                      killedRun)}}},
         pressWhen(ButtonState::update),
         "Starting update.\nUpdating to client r2\u2026\nDownloading client: 40%\n",
         QStringLiteral("Couldn\u2019t start the game"),
         QStringLiteral("The update could not be completed. Your installed game was preserved.")},
        {"play, after the game started",
         {{"check", QJsonArray{printing({upToDate})}},
          {"play", QJsonArray{steps(
                       {"Starting Thornwake\u2026\n", "partial", QJsonObject{{"touch", "printed"}}},
                       killedRun)}}},
         [](FaultFixture& fixture, LauncherController& controller) {
             ASSERT_TRUE(runUntil([&] { return controller.buttonState() == ButtonState::play; }));
             controller.primaryAction();
             // The window goes away a moment after the game started.
             ASSERT_TRUE(
                 runUntil([&] { return controller.sawGameStart() && !fixture.view.visible; }));
         },
         "Starting update check.\nStarting Thornwake\u2026\n",
         QStringLiteral("Couldn\u2019t start the game"),
         QStringLiteral("The game closed unexpectedly. You can try again.")},
    };

    for (const KillCase& c : cases) {
        SCOPED_TRACE(c.name);
        FaultFixture fixture;
        fixture.setScenario(c.scenario);
        auto controller = fixture.launch();
        c.reachRun(fixture, *controller);
        ASSERT_TRUE(
            runUntil([&] { return fixture.exists("printed") && controller->hasProcess(); }));
        // Mid-run: the complete lines are handled, the last one waits for its line feed.
        ASSERT_TRUE(runUntil([&] { return fixture.logBytes().endsWith(c.loggedLines); }));

        ASSERT_EQ(::kill(pid_t(controller->processId()), SIGKILL), 0);
        ASSERT_TRUE(runUntil([&] { return !controller->hasProcess(); }));

        expectFailurePresentation(fixture.view, c.status, c.detail);
        EXPECT_TRUE(fixture.logBytes().endsWith(c.loggedLines + "partial\n"))
            << fixture.logBytes().toStdString();
        EXPECT_EQ(fixture.quitSignals, 0);

        // The launcher goes on: Retry checks again and offers Play.
        controller->primaryAction();
        EXPECT_TRUE(runUntil([&] { return controller->buttonState() == ButtonState::play; }));
        EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play Europe West"));
    }
}

TEST(ClosedOutput, theRunEndsWhenTheUpdaterExitsNotWhenItsOutputCloses) {
    FaultFixture fixture;
    fixture.setScenario(
        {{"check",
          QJsonArray{steps({upToDate + u'\n', "last words without a line feed",
                            QJsonObject{{"close", true}}, QJsonObject{{"touch", "closed"}}},
                           {{"sleep", 2.5}, {"exit", 0}})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(runUntil([&] { return fixture.exists("closed"); }));
    ASSERT_TRUE(runUntil([&] { return fixture.logBytes().contains(upToDate.toUtf8()); }));

    // End of stream while the process lives: still busy, and no spinning on the closed pipe.
    const qint64 processorBefore = processorMicroseconds();
    QElapsedTimer elapsed;
    elapsed.start();
    runUntil([] { return false; }, 1000);
    const double share =
        double(processorMicroseconds() - processorBefore) / 1000.0 / double(elapsed.elapsed());
    EXPECT_LT(share, 0.25) << "processor share while the closed output waits for the exit";
    EXPECT_TRUE(controller->hasProcess());
    EXPECT_EQ(controller->buttonState(), ButtonState::checking);
    EXPECT_FALSE(fixture.view.buttonEnabled);
    EXPECT_FALSE(fixture.logBytes().contains("last words"));

    ASSERT_TRUE(runUntil([&] { return !controller->hasProcess(); }));
    EXPECT_EQ(controller->buttonState(), ButtonState::play);
    EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play Europe West"));
    EXPECT_TRUE(
        fixture.logBytes().endsWith(upToDate.toUtf8() + "\nlast words without a line feed\n"));
}

TEST(ClosedOutput, closingTheWindowStopsAnUpdaterThatNeverExits) {
    FaultFixture fixture;
    fixture.setScenario({{"check", QJsonArray{steps({"partial", QJsonObject{{"close", true}},
                                                     QJsonObject{{"touch", "closed"}}},
                                                    {{"forever", true}})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(runUntil([&] { return fixture.exists("closed"); }));
    runUntil([] { return false; }, 200);
    ASSERT_TRUE(controller->hasProcess());

    // As the window does: ask, then quit once it has closed.
    EXPECT_TRUE(controller->windowShouldClose());
    controller->terminate();
    EXPECT_EQ(fixture.quitSignals, 1);
    EXPECT_TRUE(runUntil([&] { return fixture.exists("terminated"); }, 10000))
        << "the updater received the terminate request";
}

TEST(Flood, hundredMebibytesOfOutputKeepTheEventLoopTurningAndAreLoggedWhole) {
    // 1600 lines of 64 KiB with a progress line after every hundred: 100 MiB.
    const QString longLine = QString(65535, u'x') + u'\n';
    QJsonArray out{"Updating to client r2\u2026\n"};
    QByteArray expectedLog = "Starting update.\nUpdating to client r2\u2026\n";
    for (int block = 0; block < 16; ++block) {
        out.append(QJsonObject{{"repeat", longLine}, {"times", 100}});
        const QString progress = QStringLiteral("Downloading client: %1%\n").arg(block * 6);
        out.append(progress);
        for (int i = 0; i < 100; ++i)
            expectedLog += longLine.toUtf8();
        expectedLog += progress.toUtf8();
    }
    out.append("Installed client r2.\n");
    expectedLog += "Installed client r2.\nChecking for updates.\n" + upToDate.toUtf8() + '\n';

    FaultFixture fixture;
    fixture.setScenario({{"check", QJsonArray{printing({clientAvailable}), printing({upToDate})}},
                         {"update", QJsonArray{steps(out)}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(runUntil([&] { return controller->buttonState() == ButtonState::update; }));

    // A timer that should fire every 10 ms; the longest gap is how long the window froze.
    QElapsedTimer sinceLastTick;
    qint64 longestGap = 0;
    int ticks = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        longestGap = std::max(longestGap, sinceLastTick.restart());
        ++ticks;
    });
    const qint64 logSizeBefore = fixture.logBytes().size();
    controller->primaryAction();
    sinceLastTick.start();
    heartbeat.start(10);
    QElapsedTimer elapsed;
    elapsed.start();
    ASSERT_TRUE(runUntil([&] { return controller->buttonState() == ButtonState::play; }, 240000));
    heartbeat.stop();
    std::printf("flood: 100 MiB in %lld ms, %d timer ticks, longest gap %lld ms\n",
                static_cast<long long>(elapsed.elapsed()), ticks,
                static_cast<long long>(longestGap));

    EXPECT_LT(longestGap, 500) << "the event loop stalled while the output was read";
    EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play Europe West"));
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "update", "check"}));
    const QByteArray logged = fixture.logBytes().mid(logSizeBefore);
    EXPECT_EQ(logged.size(), expectedLog.size());
    EXPECT_TRUE(logged == expectedLog) << "the log differs from the output";
}

// The updater misbehaving while the launcher runs: killed, silent with its output closed, flooding
// the pipe, or exiting straight after a burst. The launcher must keep running and end each run in
// the state its exit status and facts call for.
#include "LauncherFixture.h"

#include <QElapsedTimer>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

const QString upToDate = QStringLiteral("UPDATE_CHECK launcher=current client=current");

// Microseconds of processor time this process has used so far (all threads).
qint64 processorMicroseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

} // namespace

TEST(SigkillMidRun, aKilledRunFailsWithItsUnterminatedLastLineHandledAndLogged) {
    // A check killed after a valid result, and a game killed after it started: a signal is no
    // success, whatever the exit code reads.
    const QJsonArray check{upToDate + "\n", "Thornwake launcher error: feed unreachable\n",
                           "partial", QJsonObject{{"touch", "printed"}}};
    const QJsonArray play{"Starting Thornwake\u2026\n", "partial",
                          QJsonObject{{"touch", "printed"}}};
    for (const Mode mode : {Mode::check, Mode::play}) {
        SCOPED_TRACE(int(mode));
        LauncherFixture fixture;
        const QJsonObject killed = steps(mode == Mode::check ? check : play, {{"forever", true}});
        fixture.setScenario(
            {{"check", mode == Mode::check ? QJsonArray{killed, printing({upToDate})}
                                           : QJsonArray{printing({upToDate})}},
             {"play", QJsonArray{killed}}});
        auto controller = fixture.launch();
        if (mode == Mode::play) {
            ASSERT_TRUE(waitForIdle(*controller));
            controller->startUpdater(Mode::play);
            ASSERT_TRUE(waitFor([&] { return !fixture.view.visible; }));
        }
        ASSERT_TRUE(waitFor([&] { return fixture.exists("printed") && controller->hasProcess(); }));
        ASSERT_EQ(::kill(pid_t(controller->processId()), SIGKILL), 0);
        ASSERT_TRUE(waitForIdle(*controller));

        EXPECT_EQ(fixture.view.detail, mode == Mode::check
                                           ? "feed unreachable"
                                           : "The game closed unexpectedly. You can try again.");
        EXPECT_EQ(fixture.view.buttonTitle, "Retry");
        EXPECT_TRUE(fixture.view.visible);
        EXPECT_TRUE(fixture.logBytes().endsWith("partial\n"));
        EXPECT_EQ(fixture.quitSignals, 0);
        // The launcher goes on: Retry checks again and offers Play.
        controller->primaryAction();
        EXPECT_TRUE(waitFor([&] { return fixture.view.buttonTitle == "Play"; }));
    }
}

TEST(ClosedOutput, theRunEndsWhenTheUpdaterExitsNotWhenItsOutputCloses) {
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{steps({upToDate + u'\n', "last words", QJsonObject{{"close", true}},
                                     QJsonObject{{"touch", "closed"}}},
                                    {{"sleep", 2.5}})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitFor([&] { return fixture.exists("closed"); }));

    // End of stream while the process lives: still busy, and no spinning on the closed pipe.
    const qint64 processorBefore = processorMicroseconds();
    QElapsedTimer elapsed;
    elapsed.start();
    waitFor([] { return false; }, 1000);
    const double share =
        double(processorMicroseconds() - processorBefore) / 1000.0 / double(elapsed.elapsed());
    EXPECT_LT(share, 0.25) << "processor share while the closed output waits for the exit";
    EXPECT_TRUE(controller->hasProcess());
    EXPECT_FALSE(fixture.logBytes().contains("last words"));

    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, "Play");
    EXPECT_TRUE(fixture.logBytes().endsWith(upToDate.toUtf8() + "\nlast words\n"));
}

TEST(Flood, hundredMebibytesOfOutputKeepTheEventLoopTurning) {
    // 1600 lines of 64 KiB with a progress line after every hundred: 100 MiB.
    QJsonArray out;
    for (int block = 0; block < 16; ++block) {
        out.append(QJsonObject{{"repeat", QString(65535, u'x') + u'\n'}, {"times", 100}});
        out.append(QStringLiteral("Downloading client: %1%\n").arg(block * 6));
    }
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{printing({upToDate})}}, {"update", QJsonArray{steps(out)}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));

    // A timer that should fire every 10 ms; the longest gap is how long the window froze.
    QElapsedTimer sinceLastTick;
    qint64 longestGap = 0;
    QTimer heartbeat;
    QObject::connect(&heartbeat, &QTimer::timeout,
                     [&] { longestGap = std::max(longestGap, sinceLastTick.restart()); });
    controller->startUpdater(Mode::update);
    sinceLastTick.start();
    heartbeat.start(10);
    ASSERT_TRUE(waitFor([&] { return fixture.runModes().size() == 3; }, 240000));
    heartbeat.stop();
    std::printf("flood: longest gap between timer ticks %lld ms\n",
                static_cast<long long>(longestGap));
    EXPECT_LT(longestGap, 500) << "the event loop stalled while the output was read";
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, "Play");
}

TEST(Flood, aBurstJustBeforeTheExitIsReadBeforeTheRunEnds) {
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{steps(
                       {QJsonObject{{"repeat", "progress line\n"}, {"times", 5000}}, upToDate})}}});
    auto controller = fixture.launch();
    // Not a timing test: the bound only keeps a lost run from hanging the suite.
    ASSERT_TRUE(waitForIdle(*controller, 300000));
    EXPECT_EQ(fixture.view.buttonTitle, "Play");
    EXPECT_EQ(fixture.logBytes().count("progress line\n"), 5000);
}

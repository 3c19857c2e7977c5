// The updater misbehaving while the launcher runs: killed, silent with its output closed, flooding
// the pipe, or exiting straight after a burst. The launcher must keep running and end each run in
// the state its exit status and facts call for.
#include "LauncherFixture.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <sys/resource.h>

namespace {

const QString upToDate = QStringLiteral("UPDATE_CHECK launcher=current client=current");

// The peak resident size of this process in KiB (Linux), or 0.
qint64 peakKib() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (status.open(QIODevice::ReadOnly))
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith("VmHWM:"))
                return line.mid(6).trimmed().split(' ').front().toLongLong();
    return 0;
}

// Microseconds of processor time this process has used so far (all threads).
qint64 processorMicroseconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return (qint64(usage.ru_utime.tv_sec) + usage.ru_stime.tv_sec) * 1'000'000 +
           usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
}

} // namespace

TEST(SigkillMidRun, aGameKilledAfterTheWindowHidFailsInTheWindowShownAgainAndTheLauncherGoesOn) {
    LauncherFixture fixture;
    fixture.setScenario({{"check", QJsonArray{printing({upToDate})}},
                         {"play", QJsonArray{steps({"Starting Thornwake\u2026\n", "partial",
                                                    QJsonObject{{"touch", "printed"}}},
                                                   {{"forever", true}})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    controller->startUpdater(Mode::play);
    ASSERT_TRUE(waitFor([&] { return !fixture.view.visible && fixture.exists("printed"); }));
    ASSERT_EQ(::kill(pid_t(controller->processId()), SIGKILL), 0);
    ASSERT_TRUE(waitForIdle(*controller));
    // A signal is no success: the game failed, and the unterminated last line was still read.
    EXPECT_EQ(fixture.view.detail, "The game closed unexpectedly. You can try again.");
    EXPECT_TRUE(fixture.view.visible && fixture.view.buttonTitle == "Retry");
    EXPECT_TRUE(fixture.logBytes().endsWith("Starting Thornwake\u2026\npartial\n"));
    EXPECT_EQ(fixture.quitSignals, 0);
    controller->primaryAction();
    EXPECT_TRUE(waitFor([&] { return fixture.view.buttonTitle == "Play"; }));
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

TEST(Flood, hundredMebibytesKeepTheWindowAliveAndTheMemoryBoundedAndAreLoggedWhole) {
    // 50 MiB in lines of 64 KiB with a progress line after every hundred, then 50 MiB without a
    // single line feed.
    const QByteArray line = QByteArray(65535, 'y') + '\n';
    QJsonArray out;
    for (int block = 0; block < 8; ++block) {
        out.append(QJsonObject{{"repeat", QString::fromLatin1(line)}, {"times", 100}});
        out.append(QStringLiteral("Downloading client: %1%\n").arg(block));
    }
    out.append(QJsonObject{{"repeat", QString(4096, u'z')}, {"times", 12800}});
    out.append("\n");
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{printing({upToDate})}}, {"update", QJsonArray{steps(out)}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    const qint64 peakBefore = peakKib();
    const qint64 logSizeBefore = fixture.logBytes().size();

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
    ASSERT_TRUE(waitForIdle(*controller));
    std::printf(
        "flood: longest gap between timer ticks %lld ms, peak resident size %lld -> %lld KiB\n",
        static_cast<long long>(longestGap), static_cast<long long>(peakBefore),
        static_cast<long long>(peakKib()));
    EXPECT_LT(longestGap, 500) << "the event loop stalled while the output was read";
#ifndef THORNWAKE_SANITIZED // freed memory is held back there
    EXPECT_LT(peakKib() - peakBefore, 24 * 1024) << "the flood raised the peak by that many KiB";
#endif

    // Lines whole; the run without line feeds in pieces of at most 1 MiB; nothing lost.
    QFile log(fixture.supportDirectory() + "/launcher.log");
    ASSERT_TRUE(log.open(QIODevice::ReadOnly) && log.seek(logSizeBefore));
    ASSERT_EQ(log.readLine(), "Starting update.\n");
    for (int block = 0; block < 8; ++block) {
        for (int i = 0; i < 100; ++i)
            ASSERT_TRUE(log.readLine(1 << 20) == line) << "line " << i << " of block " << block;
        ASSERT_EQ(log.readLine(), QStringLiteral("Downloading client: %1%\n").arg(block).toUtf8());
    }
    qint64 unbroken = 0;
    int pieces = 0;
    for (QByteArray piece; (piece = log.readLine(2 << 20)).startsWith('z'); ++pieces) {
        EXPECT_TRUE(piece.size() <= (1 << 20) + 1 && piece.count('z') == piece.size() - 1);
        unbroken += piece.size() - 1;
    }
    EXPECT_EQ(unbroken, 50 << 20);
    EXPECT_EQ(pieces, 50);
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

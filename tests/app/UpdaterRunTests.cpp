#include "LauncherFixture.h"

#include <QFile>
#include <QTest>
#include <gtest/gtest.h>

namespace {

const QString current = QStringLiteral("UPDATE_CHECK launcher=current client=current");
const QString failedStatus = QStringLiteral("Couldn\u2019t start the game");
const QString checkFailedStatus = QStringLiteral("Couldn\u2019t check for updates");
const QString preserved =
    QStringLiteral("The update could not be completed. Your installed game was preserved.");

QStringList lastArguments(const LauncherFixture& fixture) {
    QStringList arguments;
    for (const QJsonValue& value : fixture.runs().last().value("argv").toArray())
        arguments.append(value.toString());
    return arguments;
}

QJsonObject oneRun(const QString& mode, const QJsonObject& run) {
    return {{mode, QJsonArray{run}}};
}

// A controller whose first check found everything current, so it waits on Play.
std::unique_ptr<LauncherController> launchIdle(LauncherFixture& fixture, QJsonObject scenario,
                                               const QStringList& arguments = {}) {
    if (!scenario.contains("check"))
        scenario.insert("check", QJsonArray{printing({current})});
    fixture.setScenario(scenario);
    auto controller = fixture.launch(arguments);
    waitForIdle(*controller);
    return controller;
}

} // namespace

TEST(UpdaterInvocation, argumentListsFollowModeAndOptions) {
    const QString version = QString::fromLatin1(LauncherFixture::defaultVersion);
    struct Case {
        const char* name;
        Mode mode;
        QStringList launcherArguments;
        std::optional<QString> bundleVersion; // absent: no usable version
        bool bare;
        QStringList expectedTail; // after script, --config, path, --region, id
    };
    const QList<Case> cases = {
        {"check from a bare executable", Mode::check, {}, version, true, {"--check"}},
        {"check from a bundle",
         Mode::check,
         {},
         version,
         false,
         {"--launcher-bundle", "<bundle>", "--launcher-version", version, "--check"}},
        {"bundle without a valid version",
         Mode::check,
         {},
         QStringLiteral("0123456789ABCDEF"),
         false,
         {"--check"}},
        {"update with every option",
         Mode::update,
         {"--relaunched-from", "fedcba9876543210", "--no-self-update", "--", "a", "b"},
         version,
         false,
         {"--launcher-bundle", "<bundle>", "--launcher-version", version, "--relaunched-from",
          "fedcba9876543210", "--no-self-update", "--update-only"}},
        {"play without game arguments", Mode::play, {}, std::nullopt, false, {}},
        {"play passes game arguments verbatim",
         Mode::play,
         {"--no-self-update", "--", "--region", "x", "--", ""},
         std::nullopt,
         false,
         {"--no-self-update", "--", "--region", "x", "--", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherFixture fixture;
        fixture.writeInfoPlist(c.bundleVersion);
        fixture.setScenario({{"check", QJsonArray{printing({current})}},
                             {"update", QJsonArray{QJsonObject{{"sleep", 30}}}},
                             {"play", QJsonArray{QJsonObject{{"sleep", 30}}}}});
        if (c.bare)
            fixture.runBare();
        auto controller = fixture.launch(c.launcherArguments);
        ASSERT_TRUE(waitForIdle(*controller));
        if (c.mode != Mode::check) {
            controller->startUpdater(c.mode);
            ASSERT_TRUE(controller->hasProcess());
            ASSERT_TRUE(waitFor([&] { return fixture.runs().size() == 2; }));
            const bool update = c.mode == Mode::update;
            EXPECT_EQ(fixture.view.buttonTitle, update ? "Updating\u2026" : "Starting\u2026");
            EXPECT_EQ(fixture.view.status, QStringLiteral("Checking for updates\u2026"));
            EXPECT_TRUE(fixture.logText().endsWith(update ? "Starting update.\n"
                                                          : "Starting update check.\n"));
            // A second start while one runs changes nothing.
            controller->startUpdater(Mode::check);
            EXPECT_EQ(controller->mode(), c.mode);
        }
        QStringList expected{fixture.resources() + "/client_updater.py", "--config",
                             fixture.resources() + "/launcher-config.json", "--region", "eu-west"};
        for (const QString& entry : c.expectedTail)
            expected.append(entry == "<bundle>" ? fixture.bundle() : entry);
        EXPECT_EQ(lastArguments(fixture), expected);
        EXPECT_EQ(fixture.runs().last().value("unbuffered").toString(), "1");
        EXPECT_EQ(fixture.runs().last().value("inherited").toString(), "kept");
        // Neither end of the output pipe stays open in the updater beyond its output.
        EXPECT_EQ(fixture.runs().last().value("pipeCopies").toArray(), QJsonArray());
        controller->terminate();
    }
}

TEST(UpdaterInvocation, preconditionFailuresShowTheirMessages) {
    // No region selected: nothing at all happens.
    {
        LauncherFixture fixture;
        auto controller = launchIdle(fixture, {});
        fixture.view.selectedIndex = -1;
        const QString status = fixture.view.status;
        controller->startUpdater(Mode::check);
        EXPECT_FALSE(controller->hasProcess());
        EXPECT_EQ(fixture.view.status, status);
    }
    // The script is missing.
    {
        LauncherFixture fixture;
        fixture.removeUpdater();
        auto controller = fixture.launch();
        EXPECT_FALSE(controller->hasProcess());
        EXPECT_EQ(fixture.view.detail, QStringLiteral("The launcher installation is incomplete."));
        EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Retry"));
    }
    // The interpreter cannot be started: the per-run state was already reset.
    {
        LauncherFixture fixture;
        auto controller = launchIdle(
            fixture, {{"check", QJsonArray{printing({"Thornwake launcher error: old", current})}}});
        ASSERT_TRUE(controller->checkOutcome());
        fixture.interpreter = fixture.root() + "/no-such-python";
        auto broken = fixture.create();
        broken->applicationDidFinishLaunching();
        EXPECT_FALSE(broken->hasProcess());
        EXPECT_EQ(fixture.view.status, failedStatus);
        EXPECT_EQ(fixture.view.detail, QStringLiteral("The update service could not be started."));
        EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Retry"));
        EXPECT_FALSE(broken->checkOutcome());
        EXPECT_FALSE(broken->lastErrorDetail());
        // Retry is possible at once.
        fixture.interpreter = "/usr/bin/python3";
    }
}

TEST(RunCompletion, everyRowReachedThroughARealRun) {
    struct Case {
        const char* name;
        Mode mode;
        QJsonObject run;
        QString status;
        QString detail;
        QString button;
    };
    const QList<Case> cases = {
        {"launcher update failed", Mode::update,
         printing({"Installed launcher 1111111111111111. Restarting\u2026"}, 1), failedStatus,
         "The launcher update could not be completed.", "Retry"},
        {"launcher update failed with its reason", Mode::play,
         printing({"Thornwake launcher error: Disk full.",
                   "Installed launcher 1111111111111111. Restarting\u2026"},
                  4),
         failedStatus, "Disk full.", "Retry"},
        {"launcher update available", Mode::check,
         printing({"UPDATE_CHECK launcher=available:fedcba9876543210 client=available:r2"}),
         "Launcher update available", "Launcher fedcba9876543210", "Update"},
        {"client update available", Mode::check,
         printing({"UPDATE_CHECK  launcher=current  client=available:2026.12.1 world=unknown"}),
         "Update available", "Version 2026.12.1", "Update"},
        {"up to date", Mode::check, printing({current}), "Ready to play Europe West",
         "Your game is up to date.", "Play"},
        {"check without a result", Mode::check, printing({"hello"}), checkFailedStatus,
         "The update check could not be completed.", "Retry"},
        {"check result then failure status", Mode::check, printing({current}, 2), checkFailedStatus,
         "The update check could not be completed.", "Retry"},
        {"check with an error line", Mode::check,
         printing({"Thornwake launcher error: \t  The feed signature is invalid."}, 1),
         checkFailedStatus, "The feed signature is invalid.", "Retry"},
        {"check killed by a signal", Mode::check,
         QJsonObject{{"out", QJsonArray{current + "\n"}}, {"kill", 9}}, checkFailedStatus,
         "The update check could not be completed.", "Retry"},
        {"check exiting 255 with an empty error", Mode::check,
         printing({"Thornwake launcher error:"}, 255), checkFailedStatus, "", "Retry"},
        {"update failed", Mode::update, printing({"Downloading client: 40%"}, 1), failedStatus,
         preserved, "Retry"},
        {"update failed with its reason", Mode::update,
         printing({"Thornwake launcher error: No space left."}, 1), failedStatus, "No space left.",
         "Retry"},
        {"game ended with a failure", Mode::play,
         printing({"Thornwake launcher error: ignored", "Starting Thornwake\u2026"}, 3),
         failedStatus, "The game closed unexpectedly. You can try again.", "Retry"},
        {"game closed before it started", Mode::play,
         printing({"Thornwake launcher error: ignored"}, 0), failedStatus,
         "The game closed before it finished starting.", "Retry"},
        {"play failed before the game", Mode::play, printing({}, 1), failedStatus, preserved,
         "Retry"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherFixture fixture;
        const QString modeName = c.mode == Mode::check    ? "check"
                                 : c.mode == Mode::update ? "update"
                                                          : "play";
        std::unique_ptr<LauncherController> controller;
        if (c.mode == Mode::check) {
            fixture.setScenario(oneRun("check", c.run));
            controller = fixture.launch();
        } else {
            controller = launchIdle(fixture, oneRun(modeName, c.run));
            controller->startUpdater(c.mode);
        }
        ASSERT_TRUE(waitForIdle(*controller));
        const RecordingView& view = fixture.view;
        EXPECT_EQ(view.status, c.status);
        EXPECT_EQ(view.detail, c.detail);
        EXPECT_EQ(view.buttonTitle, c.button);
        EXPECT_TRUE(view.buttonEnabled);
        EXPECT_TRUE(view.pickerEnabled);
        EXPECT_TRUE(view.progressHidden);
        EXPECT_FALSE(controller->sawLauncherInstalled());
        EXPECT_FALSE(controller->sawGameStart());
        if (c.button == "Retry") {
            EXPECT_EQ(view.detailToolTip, c.detail);
            EXPECT_FALSE(view.logButtonHidden);
            EXPECT_GE(view.attentionRequests, 1);
        } else {
            EXPECT_TRUE(view.logButtonHidden);
        }
        EXPECT_EQ(fixture.quitSignals, 0);
    }
}

TEST(RunCompletion, upToDateShowsTheInstalledRelease) {
    LauncherFixture fixture;
    fixture.writeMetadata("eu-west", R"({"releaseId": "2026.12.1",
        "sourceRevision": "0123456789abcdef0123456789abcdef01234567",
        "worldVersion": "1.2.3.0123456789ab"})");
    auto controller = launchIdle(fixture, {});
    EXPECT_EQ(fixture.view.detail, QStringLiteral("Installed 2026.12.1  \u2022  source 01234567"));
    EXPECT_EQ(fixture.view.detailToolTip,
              QStringLiteral("Source revision 0123456789abcdef0123456789abcdef01234567"));
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game "
                                                  "1.2.3.0123456789ab (2026.12.1)"));
}

TEST(RunCompletion, continueRequestCarriesACheckIntoAnUpdateOnce) {
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{printing({}, 1),
                              printing({"UPDATE_CHECK launcher=current client=available:r2"}),
                              printing({current})}},
         {"update", QJsonArray{printing({"Installed client r2."})}}});
    auto controller = fixture.launch({"--continue"});
    ASSERT_TRUE(waitForIdle(*controller));
    // A failed check leaves the request standing.
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Retry"));
    EXPECT_TRUE(controller->automaticUpdatePending());
    controller->primaryAction();
    ASSERT_TRUE(waitFor([&] { return fixture.runModes().size() == 4; }));
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "check", "update", "check"}));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
    EXPECT_FALSE(controller->automaticUpdatePending());
}

TEST(RunCompletion, playPressChecksThenPlaysAndQuitsWhenTheGameEndsWell) {
    LauncherFixture fixture;
    auto controller = launchIdle(
        fixture, oneRun("play", QJsonObject{{"out", QJsonArray{"Client r1 is current.\n",
                                                               "Starting Thornwake\u2026\n"}},
                                            {"sleep", 0.6}}));
    controller->primaryAction();
    EXPECT_TRUE(controller->playAfterCheck());
    ASSERT_TRUE(waitFor([&] { return controller->sawGameStart(); }));
    EXPECT_EQ(fixture.view.status, QStringLiteral("Launching Europe West\u2026"));
    EXPECT_EQ(fixture.view.progressValue, 100);
    ASSERT_TRUE(waitFor([&] { return !fixture.view.visible; }, 2000));
    ASSERT_TRUE(waitFor([&] { return fixture.quitSignals == 1; }));
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "check", "play"}));
    EXPECT_FALSE(fixture.view.visible);
    EXPECT_EQ(fixture.view.timesShown, 1);
}

TEST(RunCompletion, playPressDroppedWhenTheCheckFindsAnUpdate) {
    LauncherFixture fixture;
    auto controller = launchIdle(
        fixture,
        {{"check", QJsonArray{printing({current}),
                              printing({"UPDATE_CHECK launcher=current client=available:r3"})}}});
    controller->primaryAction();
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Update"));
    EXPECT_FALSE(controller->playAfterCheck());
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "check"}));
}

TEST(RunCompletion, gameFailureAfterTheHideShowsTheWindowAgain) {
    LauncherFixture fixture;
    auto controller = launchIdle(
        fixture, oneRun("play", QJsonObject{{"out", QJsonArray{"Starting Thornwake\u2026\n"}},
                                            {"sleep", 0.8},
                                            {"exit", 1}}));
    controller->startUpdater(Mode::play);
    ASSERT_TRUE(waitFor([&] { return fixture.view.timesHidden == 1; }, 3000));
    EXPECT_FALSE(fixture.view.visible);
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_TRUE(fixture.view.visible);
    EXPECT_EQ(fixture.view.status, failedStatus);
    EXPECT_EQ(fixture.view.detail,
              QStringLiteral("The game closed unexpectedly. You can try again."));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Retry"));
    EXPECT_TRUE(fixture.view.buttonEnabled);
    EXPECT_GE(fixture.view.attentionRequests, 1);
    // A failure right after the start is not hidden by the pending hide either.
    QTest::qWait(400);
    EXPECT_TRUE(fixture.view.visible);
}

TEST(OutputFraming, bytesBecomeTrimmedLoggedLinesWhateverTheChunking) {
    LauncherFixture fixture;
    fixture.setScenario(oneRun(
        "check",
        QJsonObject{
            {"out", QJsonArray{"UPDATE_CHECK launcher=current ", QJsonObject{{"pause", 0.05}}, "cl",
                               QJsonObject{{"pause", 0.05}}, "ient=current\r\n", "Caf",
                               QJsonObject{{"hex", "c3"}}, QJsonObject{{"pause", 0.05}},
                               QJsonObject{{"hex", "a9"}}, " \n", "  \t \n", "\n",
                               QJsonObject{{"hex", "ff00fe"}}, "bad\n", "in\rside\n",
                               "   indented   line   \n", "last line without a feed"}},
            {"exit", 0}}));
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
    const QString log = fixture.logText();
    const QString expected = QStringLiteral("Checking for updates.\n") + current +
                             QStringLiteral("\nCaf\u00e9\n\ufffd") + QChar(0) +
                             QStringLiteral("\ufffdbad\nin\rside\nindented   line\n"
                                            "last line without a feed\n");
    EXPECT_TRUE(log.endsWith(expected)) << log.toStdString();
}

TEST(OutputFraming, aBigFinalBurstIsHandledBeforeCompletion) {
    LauncherFixture fixture;
    fixture.setScenario(oneRun(
        "check",
        QJsonObject{{"out", QJsonArray{QJsonObject{{"repeat", "progress line\n"}, {"times", 5000}},
                                       current}},
                    {"exit", 0}}));
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
    EXPECT_EQ(fixture.logText().count(QStringLiteral("progress line\n")), 5000);
}

TEST(OutputFraming, anEndlessLineIsLoggedInBoundedPieces) {
    LauncherFixture fixture;
    fixture.setScenario(oneRun(
        "check", QJsonObject{{"out", QJsonArray{QJsonObject{{"repeat", "x"}, {"times", 3000000}},
                                                "\n" + current + "\n"}},
                             {"exit", 0}}));
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
    EXPECT_EQ(fixture.logText().count(u'x'), 3000000);
}

TEST(OutputFraming, anUpdaterThatClosesItsOutputAndRunsOnIsStillAwaited) {
    LauncherFixture fixture;
    fixture.setScenario(oneRun(
        "check", QJsonObject{{"out", QJsonArray{current + "\n", QJsonObject{{"close", true}}}},
                             {"sleep", 0.5},
                             {"exit", 0}}));
    auto controller = fixture.launch();
    QTest::qWait(200);
    EXPECT_TRUE(controller->hasProcess());
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
}

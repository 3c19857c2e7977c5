// The controller with real updater runs: one run of each kind proves that the rules, tested as
// tables beside their units, are wired to the window, the log and the next run.
#include "LauncherFixture.h"

#include <QFile>
#include <QSettings>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

const QString current = QStringLiteral("UPDATE_CHECK launcher=current client=current");

void expectFailure(const RecordingView& view, const QString& status, const QString& detail) {
    EXPECT_EQ(view.status, status);
    EXPECT_EQ(view.detail, detail);
    EXPECT_EQ(view.detailToolTip, detail);
    EXPECT_EQ(view.buttonTitle, "Retry");
    EXPECT_TRUE(view.buttonEnabled && view.pickerEnabled && view.progressHidden && view.visible);
    EXPECT_FALSE(view.logButtonHidden) << "the log is open, so it is offered";
    EXPECT_GE(view.attentionRequests, 1);
}

} // namespace

TEST(LauncherController, startsWithACheckInTheBusyLookAndOffersPlayWhenAllIsCurrent) {
    LauncherFixture fixture;
    // The result comes last, without a line feed.
    fixture.setScenario(
        {{"check", QJsonArray{steps({"hello\n", QJsonObject{{"waitFor", "go"}}, current})}}});
    auto controller = fixture.launch();
    const RecordingView& view = fixture.view;
    ASSERT_TRUE(waitFor(
        [&] { return fixture.logBytes().endsWith(" ---\nChecking for updates.\nhello\n"); }));
    EXPECT_EQ(view.buttonTitle, QStringLiteral("Checking\u2026"));
    EXPECT_FALSE(view.buttonEnabled || view.pickerEnabled || view.progressHidden);
    EXPECT_TRUE(view.progressIndeterminate && view.progressAnimating && view.visible);
    EXPECT_EQ(view.detail, "Connecting securely to Europe West");
    EXPECT_EQ(view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game not installed"));
    const QJsonObject run = fixture.runs().last();
    EXPECT_EQ(run["argv"].toArray().toVariantList(),
              (QVariantList{fixture.resource("client_updater.py"), "--config",
                            fixture.resource("launcher-config.json"), "--region", "eu-west",
                            "--launcher-bundle", fixture.bundle(), "--launcher-version",
                            LauncherFixture::defaultVersion, "--check"}));
    EXPECT_EQ(run["unbuffered"], "1");
    EXPECT_EQ(run["inherited"], "kept");
    EXPECT_EQ(run["pipeCopies"], QJsonArray()) << "no other end of the output pipe leaks into it";

    fixture.touch("go");
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(view.status, "Ready to play Europe West");
    EXPECT_EQ(view.detail, "Your game is up to date.");
    EXPECT_TRUE(view.buttonTitle == "Play" && view.buttonEnabled && view.progressHidden);
}

TEST(LauncherController, continueCarriesTheFirstSuccessfulCheckIntoAnUpdateShownAsItGoes) {
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{printing({"Thornwake launcher error: \tNo network."}, 1),
                              printing({"UPDATE_CHECK launcher=current client=available:r2"}),
                              printing({current})}},
         {"update",
          QJsonArray{steps({"Updating to client r2 (1 MB)\u2026\n", "Downloading client: 40%\n",
                            QJsonObject{{"waitFor", "go"}}, "Installed client r2.\n"})}}});
    auto controller = fixture.launch({"--continue"});
    ASSERT_TRUE(waitForIdle(*controller));
    // A failed check leaves the request standing.
    expectFailure(fixture.view, QStringLiteral("Couldn\u2019t check for updates"), "No network.");
    controller->primaryAction();
    ASSERT_TRUE(waitFor([&] { return fixture.view.progressValue == 40; }));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Updating\u2026"));
    EXPECT_EQ(fixture.view.status, QStringLiteral("Downloading update \u2014 40%"));
    EXPECT_EQ(fixture.view.detail, "Version r2 (1 MB)");

    fixture.write(fixture.supportDirectory() + "/client/regions/eu-west/current.json",
                  R"({"releaseId": "r2", "sourceRevision": "deadbeefcafe"})");
    fixture.touch("go");
    ASSERT_TRUE(waitFor([&] { return fixture.runModes().size() == 4; }));
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "check", "update", "check"}));
    EXPECT_EQ(fixture.view.buttonTitle, "Play");
    EXPECT_EQ(fixture.view.detail, QStringLiteral("Installed r2  \u2022  source deadbeef"));
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r2"));
    EXPECT_TRUE(fixture.logBytes().endsWith("Starting update.\nUpdating to client r2 (1 MB)\u2026\n"
                                            "Downloading client: 40%\nInstalled client r2.\n"
                                            "Checking for updates.\n" +
                                            current.toUtf8() + "\n"));
}

TEST(LauncherController, playChecksFirstHidesTheWindowForTheGameAndQuitsWhenItEndsWell) {
    LauncherFixture fixture;
    fixture.setScenario(
        {{"check", QJsonArray{printing({current}),
                              printing({"UPDATE_CHECK launcher=current client=available:r3"}),
                              printing({current})}},
         {"update", QJsonArray{printing({})}},
         {"play",
          QJsonArray{steps({"Starting Thornwake\u2026\n", QJsonObject{{"waitFor", "end"}}})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    // Play, but the check finds an update: it is offered and the Play request is used up.
    controller->primaryAction();
    ASSERT_TRUE(waitForIdle(*controller));
    controller->primaryAction();
    ASSERT_TRUE(waitFor([&] { return fixture.runModes().size() == 4; }));
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.view.buttonTitle, "Play");

    controller->primaryAction();
    ASSERT_TRUE(waitFor([&] { return !fixture.view.visible; }));
    EXPECT_EQ(fixture.view.status, QStringLiteral("Launching Europe West\u2026"));
    EXPECT_EQ(fixture.view.progressValue, 100);
    // While the game runs, quitting is refused and closing only hides the window.
    controller->terminate();
    EXPECT_FALSE(controller->windowShouldClose());
    EXPECT_EQ(fixture.quitSignals, 0);
    fixture.touch("end");
    ASSERT_TRUE(waitFor([&] { return fixture.quitSignals == 1; }));
    EXPECT_EQ(fixture.runModes(),
              (QStringList{"check", "check", "update", "check", "check", "play"}));
    EXPECT_FALSE(fixture.exists("terminated")) << "the game was left alone";
}

TEST(LauncherController, anInstalledLauncherIsStartedWithTheHandOverArgumentsOrItsFailureShown) {
    for (const int openStatus : {0, 1}) {
        LauncherFixture fixture;
        fixture.openTool = fixture.writeRecorder(fixture.root() + "/open", openStatus);
        const QString successor = fixture.root() + "/Thornwake Launcher.app";
        fixture.setScenario({{"check", QJsonArray{printing({current})}},
                             {"update", QJsonArray{printing({"Launcher installed at " + successor,
                                                             "Installed launcher 1111111111111111. "
                                                             "Restarting\u2026"})}}});
        auto controller = fixture.launch({"--no-self-update", "--region", "na-east", "--", "-x"});
        ASSERT_TRUE(waitForIdle(*controller));
        // The update replaced the bundle's files; the running launcher is still the old version.
        fixture.writeInfoPlist(QStringLiteral("ffffffffffffffff"));
        controller->startUpdater(Mode::update);
        ASSERT_TRUE(
            waitFor([&] { return fixture.quitSignals == 1 || fixture.view.buttonEnabled; }));
        QFile arguments(fixture.openTool + ".args");
        ASSERT_TRUE(arguments.open(QIODevice::ReadOnly));
        EXPECT_EQ(arguments.readAll(), "-n\n" + successor.toUtf8() +
                                           "\n--args\n--region\nna-east\n--continue\n--relaunched-"
                                           "from\n0123456789abcdef\n--no-self-update\n--\n-x\n");
        EXPECT_EQ(fixture.quitSignals, openStatus == 0 ? 1 : 0);
        if (openStatus == 0) {
            EXPECT_TRUE(
                fixture.logBytes().endsWith("Restarting\u2026\nStarted the updated launcher.\n"));
        } else {
            expectFailure(fixture.view, QStringLiteral("Couldn\u2019t start the game"),
                          "The updated launcher was installed but could not be started.");
        }
    }
}

TEST(LauncherController, startUpMovesTheLegacyDirectoryBeforeTheLogOpensAndClosingStopsTheRun) {
    LauncherFixture fixture;
    const QString legacy = fixture.dataDirectory() + "/Gloamreach";
    fixture.write(legacy + "/launcher.log", "an entry from before\n");
    fixture.write(legacy + "/client/regions/na-east/current.json",
                  R"({"releaseId": "r1", "sourceRevision": "a"})");
    fixture.write(fixture.bundle() + ".old/Contents/Info.plist", "old");
    QSettings settings(fixture.root() + "/settings.ini", QSettings::IniFormat);
    settings.setValue("selectedRegion", "na-east");
    settings.sync();
    // A write replaces the file.
    const auto storedFile = [&] {
        struct stat status {};
        ::stat(QFile::encodeName(settings.fileName()).constData(), &status);
        return status.st_ino;
    };
    const ino_t stored = storedFile();
    fixture.setScenario(
        {{"check", QJsonArray{printing({current}), QJsonObject{{"forever", true}}}}});
    auto controller = fixture.launch();
    EXPECT_TRUE(fixture.logBytes().startsWith("an entry from before\n\n--- Launcher opened "));
    // The stored region is applied (and not written again), and its footer reads the moved
    // metadata.
    EXPECT_EQ(fixture.view.selectedIndex, 1);
    EXPECT_EQ(storedFile(), stored);
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r1"));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(fixture.bundle() + ".old"); }, 5000));
    ASSERT_TRUE(waitForIdle(*controller));

    // Another region is stored and checked; a change during the check is ignored.
    fixture.view.selectedIndex = 0;
    controller->regionChanged();
    fixture.view.selectedIndex = 1;
    controller->regionChanged();
    ASSERT_TRUE(waitFor([&] { return fixture.runs().size() == 2; }));
    settings.sync();
    EXPECT_EQ(settings.value("selectedRegion"), "eu-west");
    EXPECT_TRUE(fixture.runs().last()["argv"].toArray().contains("eu-west"));
    // Closing the window stops the run; the quit does not wait for it.
    EXPECT_TRUE(controller->windowShouldClose());
    EXPECT_TRUE(
        waitFor([&] { return fixture.exists("terminated") && !controller->hasProcess(); }, 5000));
    controller->terminate();
    EXPECT_TRUE(fixture.quitSignals == 1 && !controller->isLogOpen());
    EXPECT_EQ(fixture.runs().size(), 2);
}

TEST(LauncherController, viewLogUsesItsOwnWindowOnlyWhereXdgOpenIsMissingOrFails) {
    LauncherFixture fixture;
    auto controller = fixture.launch();
    const QString bin = fixture.root() + "/bin";
    struct PathGuard {
        QByteArray saved = qgetenv("PATH");
        ~PathGuard() { qputenv("PATH", saved); }
    } restorePath;
    qputenv("PATH", QFile::encodeName(bin));
    const QString launcherLog = fixture.supportDirectory() + "/launcher.log";
    const QString gameLog = fixture.supportDirectory() + "/client/regions/eu-west/game.log";
    controller->openLog(); // no xdg-open at all
    fixture.write(gameLog, "");
    for (const int status : {0, 3}) {
        // Replaced by a rename, so that a copy still running keeps reading its own script.
        fixture.writeRecorder(bin + "/next", status);
        std::rename(QFile::encodeName(bin + "/next").constData(),
                    QFile::encodeName(bin + "/xdg-open").constData());
        controller->openLog();
        ASSERT_TRUE(waitFor([&] {
            return QFile(bin + "/xdg-open.args").size() ==
                   (status ? 2 : 1) * (launcherLog.size() + 1);
        }));
    }
    EXPECT_TRUE(waitFor([&] { return fixture.view.shownLogs.size() == 2; }));
    EXPECT_EQ(fixture.view.shownLogs,
              (QList<LogFiles>{{launcherLog, std::nullopt}, {launcherLog, gameLog}}));
}

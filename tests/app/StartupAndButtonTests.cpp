#include "LauncherFixture.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QSettings>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <gtest/gtest.h>

namespace {

const QString checking = QStringLiteral("Checking\u2026");
const QString working = QStringLiteral("Working\u2026");

QString storedRegion(const LauncherFixture& fixture) {
    return QSettings(fixture.root() + QStringLiteral("/settings.ini"), QSettings::IniFormat)
        .value(QStringLiteral("selectedRegion"))
        .toString();
}

} // namespace

TEST(Startup, firstCheckRunsWithTheBusyLookBeforeTheWindowIsShown) {
    LauncherFixture fixture;
    fixture.setScenario({{"check", QJsonArray{QJsonObject{{"sleep", 30}}}}});
    auto controller = fixture.launch();
    const RecordingView& view = fixture.view;

    ASSERT_TRUE(controller->hasProcess());
    EXPECT_EQ(controller->mode(), Mode::check);
    EXPECT_EQ(controller->buttonState(), ButtonState::checking);
    EXPECT_EQ(view.buttonTitle, checking);
    EXPECT_FALSE(view.buttonEnabled);
    EXPECT_EQ(view.buttonHelp, working);
    EXPECT_EQ(view.status, QStringLiteral("Checking for updates\u2026"));
    EXPECT_EQ(view.detail, QStringLiteral("Connecting securely to Europe West"));
    EXPECT_EQ(view.detailToolTip, std::nullopt);
    EXPECT_FALSE(view.progressHidden);
    EXPECT_TRUE(view.progressIndeterminate);
    EXPECT_TRUE(view.progressAnimating);
    EXPECT_TRUE(view.logButtonHidden);
    EXPECT_FALSE(view.pickerEnabled);
    EXPECT_TRUE(view.visible);
    EXPECT_EQ(view.regionItems, (QStringList{"Europe West", "North America East"}));
    EXPECT_EQ(view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game not installed"));
    EXPECT_EQ(view.footerToolTip, view.footer);
    EXPECT_FALSE(controller->automaticUpdatePending());
    EXPECT_TRUE(fixture.logText().endsWith(QStringLiteral(" ---\nChecking for updates.\n")));
    controller->terminate();
}

TEST(Startup, regionPrecedenceIsCommandLineThenStoredChoiceThenDefault) {
    struct Case {
        const char* name;
        QStringList arguments;
        std::optional<QString> stored;
        QString defaultRegion;
        std::optional<QString> expected; // absent: the configuration failure
    };
    const QList<Case> cases = {
        {"command line wins", {"--region", "na-east"}, "eu-west", "eu-west", "na-east"},
        {"stored choice next", {}, "na-east", "eu-west", "na-east"},
        {"unknown command-line region passed over",
         {"--region", "ap-south"},
         "na-east",
         "eu-west",
         "na-east"},
        {"vanished stored choice passed over", {}, "ap-south", "eu-west", "eu-west"},
        {"default names nothing but stored does", {}, "na-east", "nowhere", "na-east"},
        {"nothing names a region", {}, std::nullopt, "nowhere", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherFixture fixture;
        fixture.writeConfig(QStringLiteral(R"({"schemaVersion": 2, "defaultRegion": "%1",
            "regions": [{"id": "eu-west", "name": "Europe West"},
                        {"id": "na-east", "name": "North America East"}]})")
                                .arg(c.defaultRegion)
                                .toUtf8());
        if (c.stored)
            QSettings(fixture.root() + QStringLiteral("/settings.ini"), QSettings::IniFormat)
                .setValue(QStringLiteral("selectedRegion"), *c.stored);
        fixture.setScenario(
            {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}}});
        auto controller = fixture.launch(c.arguments);
        if (c.expected) {
            ASSERT_TRUE(controller->selectedRegion());
            EXPECT_EQ(controller->selectedRegion()->id, *c.expected);
            EXPECT_EQ(storedRegion(fixture), *c.expected);
            EXPECT_TRUE(waitForIdle(*controller));
        } else {
            EXPECT_FALSE(controller->hasProcess());
            EXPECT_EQ(fixture.view.detail,
                      QStringLiteral("The launcher region configuration is invalid."));
            EXPECT_FALSE(fixture.view.buttonEnabled);
            EXPECT_FALSE(fixture.view.pickerEnabled);
            // The picker was filled before the choice failed.
            EXPECT_EQ(fixture.view.regionItems.size(), 2);
            EXPECT_TRUE(fixture.runs().isEmpty());
        }
    }
}

TEST(Startup, invalidConfigurationShowsOneFailureAndStartsNoRun) {
    const QList<QByteArray> configurations = {
        "",
        "not json",
        "[]",
        R"({"schemaVersion": 1, "defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})",
        R"({"schemaVersion": "3", "defaultRegion": "a", "regions": [{"id": "a", "name": "A"}]})",
        R"({"schemaVersion": 3, "defaultRegion": "a", "regions": []})",
        R"({"schemaVersion": 3, "defaultRegion": "a", "regions": [{"id": "A", "name": "A"}]})",
        R"({"schemaVersion": 3, "defaultRegion": "a", "regions": [{"id": "a"}]})",
        R"({"schemaVersion": 3, "defaultRegion": "a", "regions": [{"id": "a", "name": "A"},
            {"id": "a", "name": "B"}]})",
    };
    for (const QByteArray& configuration : configurations) {
        SCOPED_TRACE(configuration.toStdString());
        LauncherFixture fixture;
        fixture.writeConfig(configuration);
        auto controller = fixture.launch();
        const RecordingView& view = fixture.view;
        EXPECT_FALSE(controller->hasProcess());
        EXPECT_TRUE(fixture.runs().isEmpty());
        EXPECT_EQ(view.status, QStringLiteral("Couldn\u2019t start the game"));
        EXPECT_EQ(view.detail, QStringLiteral("The launcher region configuration is invalid."));
        EXPECT_EQ(view.detailToolTip, view.detail);
        EXPECT_EQ(view.buttonTitle, QStringLiteral("Retry"));
        EXPECT_FALSE(view.buttonEnabled);
        EXPECT_FALSE(view.pickerEnabled);
        EXPECT_TRUE(view.visible);
        EXPECT_FALSE(view.logButtonHidden);
        // Pressing the (disabled) button's action still only starts a check, which has no region.
        controller->primaryAction();
        EXPECT_FALSE(controller->hasProcess());
    }
}

TEST(ButtonStates, offersShowTheirTitleHelpAndAreEnabled) {
    struct Case {
        ButtonState state;
        const char* title;
        const char* help;
    };
    const Case cases[] = {
        {ButtonState::update, "Update", "Downloads and installs the update, then returns to Play"},
        {ButtonState::play, "Play", "Starts Thornwake"},
        {ButtonState::retry, "Retry", "Checks for updates again"},
    };
    LauncherFixture fixture;
    auto controller = fixture.create();
    for (const Case& c : cases) {
        const int redraws = fixture.view.buttonRedraws;
        controller->setButton(c.state);
        EXPECT_EQ(controller->buttonState(), c.state);
        EXPECT_EQ(fixture.view.buttonTitle, QString::fromUtf8(c.title));
        EXPECT_EQ(fixture.view.buttonHelp, QString::fromUtf8(c.help));
        EXPECT_TRUE(fixture.view.buttonEnabled);
        EXPECT_GT(fixture.view.buttonRedraws, redraws);
    }
    EXPECT_TRUE(isBusy(ButtonState::starting));
    EXPECT_FALSE(isBusy(ButtonState::update));
}

TEST(ButtonStates, primaryActionStartsTheRunOfEachOfferAndNothingWhileBusy) {
    struct Case {
        ButtonState state;
        Mode run;
        bool playAfterCheck;
    };
    const Case cases[] = {{ButtonState::update, Mode::update, false},
                          {ButtonState::play, Mode::check, true},
                          {ButtonState::retry, Mode::check, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        LauncherFixture fixture;
        fixture.setScenario(
            {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=available:r2"}),
                                  QJsonObject{{"sleep", 30}}}},
             {"update", QJsonArray{QJsonObject{{"sleep", 30}}}}});
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        controller->setButton(c.state);
        controller->primaryAction();
        ASSERT_TRUE(controller->hasProcess());
        EXPECT_EQ(controller->mode(), c.run);
        EXPECT_EQ(controller->playAfterCheck(), c.playAfterCheck);
        // Pressed again while busy: no run starts and no request changes.
        ASSERT_TRUE(waitFor([&] { return fixture.runs().size() == 2; }));
        controller->primaryAction();
        QTest::qWait(100);
        EXPECT_EQ(fixture.runs().size(), 2);
        EXPECT_EQ(controller->playAfterCheck(), c.playAfterCheck);
        controller->terminate();
    }
}

TEST(ButtonStates, showFailureShowsRetryAndTheLogButtonOnlyWithALog) {
    for (const bool withLog : {true, false}) {
        SCOPED_TRACE(withLog);
        LauncherFixture fixture;
        if (!withLog) {
            // A regular file where the support directory belongs: no log this run.
            QFile file(fixture.supportDirectory());
            ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        }
        fixture.setScenario({{"check", QJsonArray{printing({}, 1)}}});
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        controller->showFailure(QString());
        const RecordingView& view = fixture.view;
        EXPECT_EQ(view.status, QStringLiteral("Couldn\u2019t start the game"));
        EXPECT_EQ(view.detail, QString());
        EXPECT_EQ(view.detailToolTip, QString());
        EXPECT_EQ(view.buttonTitle, QStringLiteral("Retry"));
        EXPECT_TRUE(view.pickerEnabled);
        EXPECT_TRUE(view.progressHidden);
        EXPECT_EQ(view.progressValue, 0);
        EXPECT_EQ(view.logButtonHidden, !withLog);
        EXPECT_EQ(controller->isLogOpen(), withLog);
        EXPECT_GE(view.attentionRequests, 1);
    }
}

TEST(ButtonStates, viewLogShowsTheLogWindowOnlyWhenXdgOpenIsMissingOrFails) {
    LauncherFixture fixture;
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    const QString bin = fixture.root() + QStringLiteral("/bin");
    ASSERT_TRUE(QDir().mkpath(bin));
    struct PathGuard {
        QByteArray saved = qgetenv("PATH");
        ~PathGuard() { qputenv("PATH", saved); }
    } restorePath;
    qputenv("PATH", QFile::encodeName(bin));
    // Replaced by a rename, so that a copy still running keeps reading its own script.
    auto installXdgOpen = [&](int status) {
        QFile script(bin + QStringLiteral("/next"));
        ASSERT_TRUE(script.open(QIODevice::WriteOnly));
        script.write("#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$0.calls\"\nexit " +
                     QByteArray::number(status) + "\n");
        script.close();
        script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        ASSERT_EQ(std::rename(QFile::encodeName(script.fileName()).constData(),
                              QFile::encodeName(bin + QStringLiteral("/xdg-open")).constData()),
                  0);
    };
    auto calls = [&] {
        QFile file(bin + QStringLiteral("/xdg-open.calls"));
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(u'\n')
                                              : QStringList();
    };
    const LogFiles launcherOnly{fixture.supportDirectory() + QStringLiteral("/launcher.log"),
                                std::nullopt};

    controller->openLog(); // no xdg-open at all
    EXPECT_EQ(fixture.view.shownLogs, QList<LogFiles>{launcherOnly});

    installXdgOpen(0);
    controller->openLog();
    ASSERT_TRUE(waitFor([&] { return calls().size() == 2; }));
    EXPECT_EQ(calls().front(), launcherOnly.launcherLog);

    // A failing xdg-open, with a game log for the selected region: both logs are offered. The
    // successful run above has long finished by the time this one has, and showed nothing.
    const QString gameLog =
        fixture.supportDirectory() + QStringLiteral("/client/regions/eu-west/game.log");
    ASSERT_TRUE(QDir().mkpath(QFileInfo(gameLog).path()));
    QFile(gameLog).open(QIODevice::WriteOnly);
    installXdgOpen(3);
    controller->openLog();
    EXPECT_TRUE(waitFor([&] { return fixture.view.shownLogs.size() == 2; }));
    EXPECT_EQ(calls().size(), 3);
    EXPECT_EQ(fixture.view.shownLogs,
              (QList<LogFiles>{launcherOnly, LogFiles{launcherOnly.launcherLog, gameLog}}));
    EXPECT_TRUE(fixture.view.openedFiles.isEmpty());
}

TEST(ButtonStates, regionChangeStoresTheChoiceRefreshesTheFooterAndChecks) {
    LauncherFixture fixture;
    fixture.writeMetadata("na-east", R"({"releaseId": "r7", "sourceRevision": "abc"})");
    fixture.setScenario(
        {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}}});
    auto controller = fixture.launch({"--continue"});
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_FALSE(controller->automaticUpdatePending()); // consumed by the successful check
    fixture.view.selectedIndex = 1;
    controller->regionChanged();
    EXPECT_EQ(storedRegion(fixture), QStringLiteral("na-east"));
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r7"));
    ASSERT_TRUE(controller->hasProcess());
    ASSERT_TRUE(waitFor([&] { return fixture.runs().size() == 2; }));
    EXPECT_TRUE(fixture.runs().last().value("argv").toArray().contains(QStringLiteral("na-east")));
    // A change while a run is under way is ignored.
    fixture.view.selectedIndex = 0;
    controller->regionChanged();
    EXPECT_EQ(storedRegion(fixture), QStringLiteral("na-east"));
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_EQ(fixture.runs().size(), 2);
}

TEST(Termination, decisionsDependOnWhatIsRunning) {
    // No run: closing the window ends the application.
    {
        LauncherFixture fixture;
        fixture.setScenario(
            {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}}});
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        EXPECT_TRUE(controller->windowShouldClose());
        controller->terminate();
        EXPECT_EQ(fixture.quitSignals, 1);
        EXPECT_FALSE(controller->isLogOpen());
    }
    // A check is running: the updater gets SIGTERM and the quit does not wait for it.
    {
        LauncherFixture fixture;
        fixture.setScenario({{"check", QJsonArray{QJsonObject{{"sleep", 30}}}}});
        auto controller = fixture.launch();
        ASSERT_TRUE(waitFor([&] { return fixture.runs().size() == 1; }));
        QElapsedTimer timer;
        timer.start();
        controller->terminate();
        EXPECT_LT(timer.elapsed(), 1000);
        EXPECT_EQ(fixture.quitSignals, 1);
        EXPECT_TRUE(waitFor([&] { return QFile::exists(fixture.resources() + "/terminated"); }));
    }
    // The game is running: quitting is refused, closing only hides the window.
    {
        LauncherFixture fixture;
        fixture.setScenario(
            {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}},
             {"play", QJsonArray{QJsonObject{{"out", QJsonArray{"Starting Thornwake\u2026\n"}},
                                             {"sleep", 30}}}}});
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        controller->startUpdater(Mode::play);
        ASSERT_TRUE(waitFor([&] { return controller->sawGameStart(); }));
        controller->terminate();
        EXPECT_EQ(fixture.quitSignals, 0);
        EXPECT_TRUE(fixture.view.visible);
        EXPECT_FALSE(controller->windowShouldClose());
        EXPECT_FALSE(fixture.view.visible);
        EXPECT_TRUE(controller->hasProcess());
        EXPECT_FALSE(QFile::exists(fixture.resources() + "/terminated"));
        ::kill(static_cast<pid_t>(controller->processId()), SIGKILL);
        ASSERT_TRUE(waitForIdle(*controller));
    }
}

TEST(Startup, legacyDirectoryMovesBeforeTheLogOpensAndTheRegionIsApplied) {
    LauncherFixture fixture;
    const QString legacy = fixture.dataDirectory() + "/Gloamreach";
    QDir().mkpath(legacy + "/client/regions/eu-west");
    {
        QFile log(legacy + "/launcher.log");
        ASSERT_TRUE(log.open(QIODevice::WriteOnly));
        log.write("an entry from before\n");
        QFile metadata(legacy + "/client/regions/eu-west/current.json");
        ASSERT_TRUE(metadata.open(QIODevice::WriteOnly));
        metadata.write(R"({"releaseId": "r1", "sourceRevision": "abc"})");
    }
    const QString retired = fixture.bundle() + ".old";
    QDir().mkpath(retired + "/Contents");
    fixture.setScenario({{"check", QJsonArray{QJsonObject{{"sleep", 30}}}}});
    auto controller = fixture.launch();

    EXPECT_FALSE(QFileInfo::exists(legacy));
    // The log was opened in the moved directory, after its old entries.
    EXPECT_TRUE(fixture.logText().startsWith("an entry from before\n\n--- Launcher opened "));
    // The footer of the applied region reads the moved metadata.
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r1"));
    EXPECT_TRUE(waitFor([&] { return !QFileInfo::exists(retired); }, 5000));
    controller->terminate();
}

TEST(Startup, hostileFilesInTheSupportDirectoryNeitherBlockNorCrash) {
    LauncherFixture fixture;
    // Metadata of gigabytes (sparse, so the test stays cheap) and a log that is a link elsewhere.
    const QString metadata = fixture.supportDirectory() + "/client/regions/eu-west/current.json";
    QDir().mkpath(QFileInfo(metadata).path());
    {
        QFile huge(metadata);
        ASSERT_TRUE(huge.open(QIODevice::WriteOnly));
        ASSERT_TRUE(huge.resize(3LL << 30));
    }
    const QString elsewhere = fixture.root() + "/elsewhere.txt";
    ASSERT_TRUE(QFile::link(elsewhere, fixture.supportDirectory() + "/launcher.log"));
    fixture.setScenario(
        {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}}});
    QElapsedTimer timer;
    timer.start();
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    EXPECT_LT(timer.elapsed(), 10000);
    EXPECT_EQ(fixture.view.footer,
              QStringLiteral("Launcher 0123456789abcdef \u00b7 Game not installed"));
    EXPECT_EQ(fixture.view.buttonTitle, QStringLiteral("Play"));
    EXPECT_FALSE(controller->isLogOpen());
    EXPECT_FALSE(QFileInfo::exists(elsewhere));
}

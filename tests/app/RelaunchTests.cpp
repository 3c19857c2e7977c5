#include "LauncherFixture.h"

#include <QDir>
#include <QFile>
#include <gtest/gtest.h>

namespace {

const QString notStarted =
    QStringLiteral("The updated launcher was installed but could not be started.");

void writeExecutable(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

// A stand-in for the platform's open tool: records its arguments and exits with a chosen status.
QString writeOpenTool(const LauncherFixture& fixture, int status) {
    const QString path = fixture.root() + "/open";
    writeExecutable(path,
                    QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\nexit %1\n")
                        .arg(status)
                        .toUtf8());
    return path;
}

QStringList recordedArguments(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString text = QString::fromUtf8(file.readAll());
    text.chop(1);
    return text.split(u'\n');
}

QJsonObject installsLauncher(const QStringList& location) {
    return printing(location +
                    QStringList{"Installed launcher 1111111111111111. Restarting\u2026"});
}

} // namespace

TEST(Relaunch, theInstalledBundleIsOpenedWithEverythingItNeeds) {
    LauncherFixture fixture;
    fixture.openTool = writeOpenTool(fixture, 0);
    const QString successor = fixture.root() + "/Thornwake Launcher.app";
    fixture.setScenario(
        {{"check", QJsonArray{printing(
                       {"UPDATE_CHECK launcher=available:1111111111111111 client=current"})}},
         {"update", QJsonArray{installsLauncher({"Launcher installed at " + successor})}}});
    auto controller = fixture.launch({"--no-self-update", "--region", "na-east", "--", "-x", "--"});
    ASSERT_TRUE(waitForIdle(*controller));
    // The update replaces the bundle's files; the running launcher is still the old version.
    fixture.writeInfoPlist(QStringLiteral("ffffffffffffffff"));
    controller->primaryAction();
    ASSERT_TRUE(waitFor([&] { return fixture.quitSignals == 1; }));
    EXPECT_EQ(recordedArguments(fixture.openTool + ".args"),
              (QStringList{"-n", successor, "--args", "--region", "na-east", "--continue",
                           "--relaunched-from", LauncherFixture::defaultVersion, "--no-self-update",
                           "--", "-x", "--"}));
    EXPECT_TRUE(fixture.logText().endsWith("Restarting\u2026\nStarted the updated launcher.\n"));
    EXPECT_EQ(fixture.view.status, QStringLiteral("Restarting the launcher\u2026"));
}

TEST(Relaunch, withoutAReportedLocationTheRunningBundleIsOpened) {
    LauncherFixture fixture;
    fixture.openTool = writeOpenTool(fixture, 0);
    fixture.writeInfoPlist(std::nullopt);
    fixture.setScenario(
        {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}},
         {"play", QJsonArray{installsLauncher({})}}});
    auto controller = fixture.launch();
    ASSERT_TRUE(waitForIdle(*controller));
    controller->startUpdater(Mode::play);
    ASSERT_TRUE(waitFor([&] { return fixture.quitSignals == 1; }));
    // No version of its own: no "--relaunched-from".
    EXPECT_EQ(recordedArguments(fixture.openTool + ".args"),
              (QStringList{"-n", fixture.bundle(), "--args", "--region", "eu-west", "--continue"}));
}

TEST(Relaunch, failuresToStartTheSuccessorAreShown) {
    struct Case {
        const char* name;
        bool bare;
        std::optional<int> openStatus; // absent: the tool does not exist
        QString logTail;
    };
    const QList<Case> cases = {
        {"open exits 1", false, 1, "The updated launcher would not start (open exited 1).\n"},
        {"open cannot be started", false, std::nullopt,
         "The updated launcher could not be started: "},
        {"not running from a bundle", true, 0, "Restarting\u2026\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LauncherFixture fixture;
        fixture.openTool =
            c.openStatus ? writeOpenTool(fixture, *c.openStatus) : fixture.root() + "/no-such-open";
        fixture.setScenario(
            {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}},
             {"update", QJsonArray{installsLauncher({})}}});
        if (c.bare)
            fixture.runBare();
        auto controller = fixture.launch();
        ASSERT_TRUE(waitForIdle(*controller));
        controller->startUpdater(Mode::update);
        ASSERT_TRUE(waitFor([&] { return fixture.view.buttonTitle == "Retry"; }));
        EXPECT_EQ(fixture.view.status, QStringLiteral("Couldn\u2019t start the game"));
        EXPECT_EQ(fixture.view.detail, notStarted);
        EXPECT_FALSE(controller->sawLauncherInstalled());
        EXPECT_EQ(fixture.quitSignals, 0);
        const QString log = fixture.logText();
        EXPECT_TRUE(c.openStatus ? log.endsWith(c.logTail) : log.contains(c.logTail))
            << log.toStdString();
        if (c.bare) {
            EXPECT_FALSE(QFile::exists(fixture.openTool + ".args"));
        }
    }
}

TEST(Relaunch, withoutAnOpenToolTheSuccessorsExecutableIsStartedDirectly) {
    LauncherFixture fixture;
    const QString successor = fixture.root() + "/Next.app";
    const QString record = fixture.root() + "/successor.args";
    writeExecutable(successor + "/Contents/MacOS/thornwake-launcher",
                    ("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + "'\n").toUtf8());
    fixture.setScenario(
        {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"})}},
         {"update", QJsonArray{installsLauncher({"Launcher installed at " + successor})}}});
    auto controller = fixture.launch({"--", "game-arg"});
    ASSERT_TRUE(waitForIdle(*controller));
    controller->startUpdater(Mode::update);
    ASSERT_TRUE(waitFor([&] { return fixture.quitSignals == 1; }));
    EXPECT_TRUE(fixture.logText().endsWith("Started the updated launcher.\n"));
    ASSERT_TRUE(waitFor([&] { return QFile::exists(record); }));
    ASSERT_TRUE(waitFor([&] { return recordedArguments(record).size() == 7; }));
    EXPECT_EQ(recordedArguments(record),
              (QStringList{"--region", "eu-west", "--continue", "--relaunched-from",
                           LauncherFixture::defaultVersion, "--", "game-arg"}));
}

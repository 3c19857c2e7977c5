#include "LauncherFixture.h"

#include <QDir>
#include <gtest/gtest.h>

namespace {

// A controller in the middle of a run of the given mode whose updater prints nothing, so lines can
// be handed to the interpreter directly.
std::unique_ptr<LauncherController> duringRun(LauncherFixture& fixture, Mode mode) {
    const QJsonArray waits{QJsonObject{{"sleep", 30}}};
    fixture.setScenario(
        {{"check", QJsonArray{printing({"UPDATE_CHECK launcher=current client=current"}),
                              QJsonObject{{"sleep", 30}}}},
         {"update", waits},
         {"play", waits}});
    auto controller = fixture.launch();
    waitForIdle(*controller);
    controller->startUpdater(mode);
    return controller;
}

} // namespace

TEST(OutputProtocol, linesChangeStatusDetailAndProgress) {
    struct Case {
        const char* line;
        const char* status; // nullptr: unchanged
        const char* detail; // nullptr: unchanged
        std::optional<double> progress;
        std::optional<bool> indeterminate;
    };
    const Case cases[] = {
        {"Downloading launcher: 42%", "Downloading launcher \u2014 42%", nullptr, 42, false},
        {"Downloading launcher: 100%", "Downloading launcher \u2014 100%", nullptr, 100, false},
        {"Downloading launcher: 250%", "Downloading launcher \u2014 250%", nullptr, 100, false},
        {"Downloading client: no number", "Downloading update \u2014 0%", nullptr, 0, false},
        {"Downloading client: 4% of 120", "Downloading update \u2014 4120%", nullptr, 100, false},
        {"Downloading client: \u0664\u0662%", "Downloading update \u2014 0%", nullptr, 0, false},
        {"Downloading client: 4\u4e94%", "Downloading update \u2014 0%", nullptr, 0, false},
        {"Downloading client: 99999999999999999999%",
         "Downloading update \u2014 99999999999999999999%", nullptr, 100, false},
        {"Updating launcher to fedcba9876543210\u2026", "Updating the launcher\u2026",
         "Launcher fedcba9876543210", std::nullopt, std::nullopt},
        {"Updating to client 2026.12.1 (143 MB)\u2026", "Downloading the latest update\u2026",
         "Version 2026.12.1 (143 MB)", std::nullopt, std::nullopt},
        {"Verifying and installing launcher\u2026", "Installing the launcher\u2026", nullptr,
         std::nullopt, true},
        {"Verifying and installing client\u2026", "Preparing your game\u2026", nullptr,
         std::nullopt, true},
        {"Verifying and installing client...", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Installed launcher 1111111111111111. Restarting\u2026", "Restarting the launcher\u2026",
         "The launcher was updated and is starting again.", std::nullopt, std::nullopt},
        {"Installed launcher 1111111111111111.", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Installed client r2.", "Ready to play", nullptr, std::nullopt, std::nullopt},
        {"Client is current.", "Ready to play", nullptr, std::nullopt, std::nullopt},
        {"Client r2 is current", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Starting Thornwake...", nullptr, nullptr, std::nullopt, std::nullopt},
        {"UPDATE_CHECK", nullptr, nullptr, std::nullopt, std::nullopt},
        {"downloading client: 50%", nullptr, nullptr, std::nullopt, std::nullopt},
        // Prefixes and suffixes match whole characters only: a combining mark joins the prefix's
        // last character, a prepended mark the character before the suffix.
        {"Downloading launcher:\u0301 42%", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Installed client \u0301r2.", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Client r2\u0600 is current.", nullptr, nullptr, std::nullopt, std::nullopt},
        {"Installed launcher 1111111111111111.\u0600Restarting\u2026", nullptr, nullptr,
         std::nullopt, std::nullopt},
    };
    LauncherFixture fixture;
    auto controller = duringRun(fixture, Mode::update);
    RecordingView& view = fixture.view;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line);
        view.status = "before";
        view.detail = "before";
        view.progressValue = -1;
        view.progressIndeterminate = false;
        view.progressAnimating = false;
        controller->handleOutputLine(QString::fromUtf8(c.line));
        EXPECT_EQ(view.status, c.status ? QString::fromUtf8(c.status) : "before");
        EXPECT_EQ(view.detail, c.detail ? QString::fromUtf8(c.detail) : "before");
        if (c.progress)
            EXPECT_EQ(view.progressValue, *c.progress);
        else
            EXPECT_EQ(view.progressValue, -1);
        if (c.indeterminate) {
            EXPECT_EQ(view.progressIndeterminate, *c.indeterminate);
            EXPECT_EQ(view.progressAnimating, *c.indeterminate);
        }
    }
    EXPECT_TRUE(controller->sawLauncherInstalled());
    EXPECT_FALSE(controller->sawGameStart());
    controller->terminate();
}

TEST(OutputProtocol, checkRunsOnlyReadResultsAndErrors) {
    LauncherFixture fixture;
    auto controller = duringRun(fixture, Mode::check);
    RecordingView& view = fixture.view;
    const QString status = view.status;
    for (const char* line :
         {"Downloading client: 50%", "Installed client r2.", "Starting Thornwake\u2026",
          "Installed launcher 1111111111111111. Restarting\u2026"})
        controller->handleOutputLine(QString::fromUtf8(line));
    EXPECT_EQ(view.status, status);
    EXPECT_FALSE(controller->sawGameStart());
    EXPECT_FALSE(controller->sawLauncherInstalled());

    controller->handleOutputLine("UPDATE_CHECK launcher=current client=available:r9");
    EXPECT_EQ(controller->checkOutcome(), (CheckOutcome{std::nullopt, QStringLiteral("r9")}));
    // Not a check line, so it leaves the outcome, as the marker below leaves the error alone.
    controller->handleOutputLine(QStringLiteral("UPDATE_CHECK \u0301launcher=current"));
    EXPECT_EQ(controller->checkOutcome(), (CheckOutcome{std::nullopt, QStringLiteral("r9")}));
    controller->handleOutputLine(QStringLiteral("Thornwake launcher error:\u0301 no"));
    EXPECT_EQ(controller->lastErrorDetail(), std::nullopt);
    controller->handleOutputLine("UPDATE_CHECK launcher=current client=available:");
    EXPECT_EQ(controller->checkOutcome(), std::nullopt);

    controller->handleOutputLine("Thornwake launcher error:   The server said no.  ");
    EXPECT_EQ(controller->lastErrorDetail(), QStringLiteral("The server said no."));
    controller->handleOutputLine("Thornwake launcher error:");
    EXPECT_EQ(controller->lastErrorDetail(), QString());
    controller->handleOutputLine("Thornwake launcher error: A Thornwake launcher error: twice");
    EXPECT_EQ(controller->lastErrorDetail(), QStringLiteral("A  twice"));
    controller->terminate();
}

TEST(OutputProtocol, installedLauncherIsAcceptedOnlyBesideTheRunningBundle) {
    LauncherFixture fixture;
    auto controller = duringRun(fixture, Mode::update);
    const QString beside = QFileInfo(fixture.bundle()).path();
    struct Case {
        QString path;
        bool accepted;
    };
    const QList<Case> cases = {
        {beside + "/Thornwake Launcher.app", true},
        {beside + "/Other.app", true},
        {fixture.root() + "/elsewhere/Thornwake Launcher.app", false},
        {beside + "/Thornwake Launcher.APP", false},
        {beside + "/Thornwake Launcher.apps", false},
        {"Thornwake Launcher.app", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        const std::optional<QString> before = controller->installedLauncherURL();
        controller->handleOutputLine("Launcher installed at " + c.path);
        EXPECT_EQ(controller->installedLauncherURL(), c.accepted ? c.path : before);
    }
    EXPECT_EQ(controller->installedLauncherURL(), beside + "/Other.app");
    controller->terminate();

    // Outside a bundle nothing is accepted.
    LauncherFixture bare;
    bare.runBare();
    auto bareController = duringRun(bare, Mode::update);
    bareController->handleOutputLine("Launcher installed at " + bare.root() + "/X.app");
    EXPECT_EQ(bareController->installedLauncherURL(), std::nullopt);
    bareController->terminate();
}

TEST(OutputProtocol, clientReportsRefreshTheInstalledVersion) {
    LauncherFixture fixture;
    auto controller = duringRun(fixture, Mode::update);
    fixture.writeMetadata("eu-west", R"({"releaseId": "r2", "sourceRevision": "deadbeefcafe"})");
    controller->handleOutputLine("Installed client r2.");
    EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play"));
    EXPECT_EQ(fixture.view.detail, QStringLiteral("Version r2  \u2022  source deadbeef"));
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r2"));
    EXPECT_EQ(fixture.view.footerToolTip, fixture.view.footer);
    controller->terminate();
}

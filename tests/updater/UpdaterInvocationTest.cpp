#include "updater/UpdaterInvocation.h"

#include <gtest/gtest.h>

TEST(UpdaterInvocation, argumentsFollowTheModeAndTheOptions) {
    const QString version = "0123456789abcdef";
    const QStringList common{"/r/client_updater.py", "--config", "/r/c.json", "--region", "eu"};
    const QStringList bundle{"--launcher-bundle", "/a/X.app", "--launcher-version", version};
    struct Case {
        Mode mode;
        std::optional<QString> launcherBundle, launcherVersion, relaunchedFrom;
        bool noSelfUpdate;
        QStringList expectedTail;
    };
    const Case cases[] = {
        {Mode::check, {}, version, {}, false, {"--check"}},
        {Mode::check, "/a/X.app", {}, {}, false, {"--check"}},
        {Mode::check, "/a/X.app", version, {}, false, bundle + QStringList{"--check"}},
        {Mode::update, "/a/X.app", version, "fedcba9876543210", true,
         bundle + QStringList{"--relaunched-from", "fedcba9876543210", "--no-self-update",
                              "--update-only"}},
        {Mode::play, {}, {}, {}, true, {"--no-self-update", "--", "--region", "x", "--", ""}},
    };
    for (const Case& c : cases) {
        UpdaterInvocation invocation{
            "/r/client_updater.py", "/r/c.json", "eu", {}, {}, {}, false, {}};
        invocation.launcherBundle = c.launcherBundle;
        invocation.launcherVersion = c.launcherVersion;
        invocation.relaunchedFrom = c.relaunchedFrom;
        invocation.noSelfUpdate = c.noSelfUpdate;
        invocation.gameArguments = {"--region", "x", "--", ""};
        EXPECT_EQ(invocation.arguments(c.mode), common + c.expectedTail);
    }
    EXPECT_EQ(UpdaterInvocation{}.arguments(Mode::play).size(), 5) << "no game arguments, no --";
}

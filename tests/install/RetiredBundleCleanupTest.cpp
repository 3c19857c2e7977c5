#include "../config/Files.h"

#include "install/RetiredBundleCleanup.h"

#include <QThread>

#include <cmath>
#include <map>

using Cleanup = TempDirTest;

TEST_F(Cleanup, findsTheOldCopyAndTheLegacyNameBesideTheBundleAndRemovesThemNeverThroughALink) {
    const QString bundle = path("Thornwake Launcher.app"), retired = bundle + ".old",
                  legacy = path("Gloamreach Launcher.app.old");
    writeFile(bundle + "/Contents/MacOS/launcher", "running");
    EXPECT_EQ(retiredBundleCandidates(std::nullopt), QStringList{});
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{});
    writeFile(legacy + "/Contents/MacOS/launcher", "legacy");
    // The legacy name is looked for whatever the running bundle is called, unless it is that.
    EXPECT_EQ(retiredBundleCandidates(path("Other.app")), QStringList{legacy});
    EXPECT_EQ(retiredBundleCandidates(legacy), QStringList{});
    // Existence follows links: a link to a bundle counts, a dangling one does not.
    ASSERT_TRUE(QFile::link(path("nothing"), retired));
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{legacy});
    ASSERT_TRUE(QFile::remove(retired));
    writeFile(retired + "/Contents/MacOS/launcher", "old");
    ASSERT_TRUE(QFile::link(bundle, retired + "/Contents/Running"));
    ASSERT_EQ(retiredBundleCandidates(bundle), (QStringList{retired, legacy}));

    removeRetiredBundlesInBackground(retiredBundleCandidates(bundle));
    for (int waited = 0;
         (QFileInfo::exists(retired) || QFileInfo::exists(legacy)) && waited < 10000; waited += 10)
        QThread::msleep(10);
    EXPECT_FALSE(QFileInfo::exists(retired) || QFileInfo::exists(legacy));
    EXPECT_EQ(readFile(bundle + "/Contents/MacOS/launcher"), "running");
    // A link is removed itself; a path that cannot be looked up is a failure.
    ASSERT_TRUE(QFile::link(bundle, retired));
    EXPECT_TRUE(removeItem(retired) && !QFileInfo(retired).isSymLink() &&
                QFileInfo::exists(bundle));
    EXPECT_FALSE(removeItem(path(QString(5000, 'x'))));
}

TEST(RetiredBundleRemoval, triesFiveTimesPerLocationSleepingLongerEachTime) {
    struct Case {
        QStringList locations;
        // Failed attempts before one succeeds; a location not named here always fails.
        std::map<QString, int> failures;
        QStringList attempts;
        std::vector<long> sleepsMs;
    };
    const Case cases[] = {
        {{"a"}, {}, QStringList(5, "a"), {200, 400, 600, 800, 1000}},
        {{"a", "b", "c"},
         {{"b", 1}, {"c", 0}},
         {"a", "a", "a", "a", "a", "b", "b", "c"},
         {200, 400, 600, 800, 1000, 200}},
    };
    for (Case c : cases) {
        QStringList attempts;
        std::vector<long> sleepsMs;
        removeWithRetries(
            c.locations,
            [&](const QString& location) {
                attempts.append(location);
                const auto found = c.failures.find(location);
                return found != c.failures.end() && found->second-- == 0;
            },
            [&](double seconds) { sleepsMs.push_back(std::lround(seconds * 1000)); });
        EXPECT_EQ(attempts, c.attempts);
        EXPECT_EQ(sleepsMs, c.sleepsMs);
    }
}

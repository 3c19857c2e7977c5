#include "../config/Files.h"

#include "install/RetiredBundleCleanup.h"

#include <QElapsedTimer>
#include <QThread>

#include <cmath>
#include <map>

namespace {

class Cleanup : public TempDirTest {
protected:
    void SetUp() override {
        TempDirTest::SetUp();
        bundle = path("Thornwake Launcher.app");
        retired = bundle + ".old";
        legacy = path("Gloamreach Launcher.app.old");
        writeFile(bundle + "/Contents/MacOS/launcher", "running");
    }

    QString bundle, retired, legacy;
};

} // namespace

TEST_F(Cleanup, candidatesAreTheOldCopyThenTheLegacyNameWhereTheyExist) {
    EXPECT_EQ(retiredBundleCandidates(std::nullopt), QStringList{});
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{});
    writeFile(legacy + "/Contents/MacOS/launcher", "legacy");
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{legacy});
    // Whatever the running bundle is called, the legacy name beside it is looked for...
    EXPECT_EQ(retiredBundleCandidates(path("Other.app")), QStringList{legacy});
    // ...unless it is the running bundle itself.
    writeFile(legacy + ".old/Contents/MacOS/launcher", "older");
    EXPECT_EQ(retiredBundleCandidates(legacy), QStringList{legacy + ".old"});

    // Existence follows links: a link to a bundle counts, a dangling one does not.
    ASSERT_TRUE(QFile::link(path("nothing"), retired));
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{legacy});
    ASSERT_TRUE(QFile::remove(retired));
    ASSERT_TRUE(QFile::link(legacy, retired));
    EXPECT_EQ(retiredBundleCandidates(bundle), (QStringList{retired, legacy}));
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
        {{"a"}, {{"a", 2}}, QStringList(3, "a"), {200, 400}},
        // Giving up on one location, or succeeding, moves on to the next.
        {{"a", "b", "c"},
         {{"b", 1}, {"c", 0}},
         {"a", "a", "a", "a", "a", "b", "b", "c"},
         {200, 400, 600, 800, 1000, 200}},
        {{}, {}, {}, {}},
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
        EXPECT_EQ(sleepsMs, c.sleepsMs) << c.attempts.join(' ').toStdString();
    }
}

TEST_F(Cleanup, removeItemRemovesTreesAndLinksButNeverWhatALinkPointsTo) {
    writeFile(retired + "/Contents/MacOS/launcher", "old");
    ASSERT_TRUE(QFile::link(bundle, retired + "/Contents/Running"));
    EXPECT_TRUE(removeItem(retired));
    EXPECT_FALSE(QFileInfo::exists(retired));

    ASSERT_TRUE(QFile::link(bundle, retired));
    EXPECT_TRUE(removeItem(retired));
    EXPECT_FALSE(QFileInfo(retired).isSymLink());
    EXPECT_EQ(readFile(bundle + "/Contents/MacOS/launcher"), "running");

    // Nothing there is nothing left; a path that cannot be looked up is a failure.
    EXPECT_TRUE(removeItem(retired));
    EXPECT_FALSE(removeItem(path(QString(5000, 'x'))));
}

TEST_F(Cleanup, backgroundRemovalDeletesBothRetiredBundles) {
    writeFile(retired + "/Contents/MacOS/launcher", "old");
    writeFile(legacy + "/Contents/MacOS/launcher", "legacy");
    removeRetiredBundlesInBackground(retiredBundleCandidates(bundle));

    QElapsedTimer timer;
    timer.start();
    while ((QFileInfo::exists(retired) || QFileInfo::exists(legacy)) && timer.elapsed() < 10000)
        QThread::msleep(10);
    EXPECT_FALSE(QFileInfo::exists(retired));
    EXPECT_FALSE(QFileInfo::exists(legacy));
    EXPECT_EQ(readFile(bundle + "/Contents/MacOS/launcher"), "running");
}

#include "install/RetiredBundleCleanup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <map>

namespace {

class Cleanup : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(applications.isValid());
        bundle = applications.filePath("Thornwake Launcher.app");
        retired = bundle + ".old";
        legacy = applications.filePath("Gloamreach Launcher.app.old");
        ASSERT_TRUE(QDir().mkpath(bundle + "/Contents/MacOS"));
    }

    static void makeBundle(const QString& path) {
        ASSERT_TRUE(QDir().mkpath(path + "/Contents/MacOS"));
        QFile file(path + "/Contents/MacOS/launcher");
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write("binary"), 6);
    }

    QTemporaryDir applications;
    QString bundle;
    QString retired;
    QString legacy;
};

struct Recorder {
    // How many attempts fail for each location before one succeeds; absent: always fails.
    std::map<QString, int> failuresBeforeSuccess;
    QStringList attempts;
    std::vector<double> sleeps;

    void run(const QStringList& locations) {
        removeWithRetries(
            locations,
            [this](const QString& location) {
                attempts.append(location);
                const auto found = failuresBeforeSuccess.find(location);
                return found != failuresBeforeSuccess.end() && found->second-- == 0;
            },
            [this](double seconds) { sleeps.push_back(seconds); });
    }
};

void expectSleeps(const std::vector<double>& actual, const std::vector<double>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i)
        EXPECT_DOUBLE_EQ(actual[i], expected[i]) << "sleep " << i;
}

} // namespace

TEST_F(Cleanup, candidatesAreTheOldCopyThenTheLegacyName) {
    EXPECT_EQ(retiredBundleCandidates(std::nullopt), QStringList{});
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{});

    makeBundle(legacy);
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{legacy});

    makeBundle(retired);
    EXPECT_EQ(retiredBundleCandidates(bundle), (QStringList{retired, legacy}));

    // Whatever the running bundle is called, the legacy name beside it is looked for.
    EXPECT_EQ(retiredBundleCandidates(applications.filePath("Other.app")), QStringList{legacy});
}

TEST_F(Cleanup, candidatesSkipTheRunningBundleAndDanglingLinks) {
    makeBundle(legacy);
    makeBundle(legacy + ".old");
    EXPECT_EQ(retiredBundleCandidates(legacy), QStringList{legacy + ".old"});

    // The existence test follows links: a link to a bundle counts, a dangling one does not.
    ASSERT_TRUE(QFile::link(applications.filePath("nothing"), retired));
    EXPECT_EQ(retiredBundleCandidates(bundle), QStringList{legacy});
    ASSERT_TRUE(QFile::remove(retired));
    ASSERT_TRUE(QFile::link(legacy, retired));
    EXPECT_EQ(retiredBundleCandidates(bundle), (QStringList{retired, legacy}));
}

TEST(RetiredBundleRemoval, retriesFiveTimesWithGrowingSleeps) {
    Recorder alwaysFails;
    alwaysFails.run({"/a.app.old"});
    EXPECT_EQ(alwaysFails.attempts, QStringList(5, "/a.app.old"));
    expectSleeps(alwaysFails.sleeps, {0.2, 0.4, 0.6, 0.8, 1.0});

    Recorder thirdSucceeds;
    thirdSucceeds.failuresBeforeSuccess = {{"/a.app.old", 2}};
    thirdSucceeds.run({"/a.app.old"});
    EXPECT_EQ(thirdSucceeds.attempts, QStringList(3, "/a.app.old"));
    expectSleeps(thirdSucceeds.sleeps, {0.2, 0.4});
}

TEST(RetiredBundleRemoval, givingUpOnOneLocationMovesOnToTheNext) {
    Recorder recorder;
    recorder.failuresBeforeSuccess = {{"/b.app.old", 0}};
    recorder.run({"/a.app.old", "/b.app.old"});
    EXPECT_EQ(recorder.attempts, QStringList(5, "/a.app.old") << "/b.app.old");
    expectSleeps(recorder.sleeps, {0.2, 0.4, 0.6, 0.8, 1.0});

    Recorder nothing;
    nothing.run({});
    EXPECT_TRUE(nothing.attempts.isEmpty());
    EXPECT_TRUE(nothing.sleeps.empty());
}

TEST_F(Cleanup, removeItemRemovesTreesAndLinksButNeverLinkTargets) {
    makeBundle(retired);
    EXPECT_TRUE(removeItem(retired));
    EXPECT_FALSE(QFileInfo::exists(retired));

    // A link to the running bundle: the link goes, the bundle and its contents stay.
    ASSERT_TRUE(QFile::link(bundle, retired));
    EXPECT_TRUE(removeItem(retired));
    EXPECT_FALSE(QFileInfo(retired).isSymLink());
    EXPECT_TRUE(QFileInfo::exists(bundle + "/Contents/MacOS"));

    // A link inside a retired bundle is not followed either.
    makeBundle(retired);
    ASSERT_TRUE(QFile::link(bundle, retired + "/Contents/Running"));
    EXPECT_TRUE(removeItem(retired));
    EXPECT_TRUE(QFileInfo::exists(bundle + "/Contents/MacOS"));

    // Nothing there is nothing left.
    EXPECT_TRUE(removeItem(retired));
    // A path the file system refuses to look up is a failure, not a success.
    EXPECT_FALSE(removeItem(applications.filePath(QString(5000, 'x'))));
}

TEST_F(Cleanup, backgroundRemovalDeletesBothRetiredBundles) {
    makeBundle(retired);
    makeBundle(legacy);
    removeRetiredBundlesInBackground(retiredBundleCandidates(bundle));

    QElapsedTimer timer;
    timer.start();
    while ((QFileInfo::exists(retired) || QFileInfo::exists(legacy)) && timer.elapsed() < 10000)
        QThread::msleep(10);
    EXPECT_FALSE(QFileInfo::exists(retired));
    EXPECT_FALSE(QFileInfo::exists(legacy));
    EXPECT_TRUE(QFileInfo::exists(bundle + "/Contents/MacOS"));
}

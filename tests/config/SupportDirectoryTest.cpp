#include "config/SupportDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class Migration : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(data.isValid());
        support = supportDirectoryIn(data.path());
        legacy = data.filePath("Gloamreach");
    }

    static void write(const QString& path, const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        ASSERT_EQ(file.write(content), content.size());
    }

    static QByteArray read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

    QTemporaryDir data;
    QString support;
    QString legacy;
};

} // namespace

TEST(SupportDirectory, liesInTheGenericDataLocation) {
    EXPECT_EQ(supportDirectoryIn("/home/p/.local/share"), "/home/p/.local/share/Thornwake");
    EXPECT_EQ(supportDirectoryIn("/Users/p/Library/Application Support"),
              "/Users/p/Library/Application Support/Thornwake");
}

TEST_F(Migration, legacyDirectoryMovesIntoPlaceWithItsContents) {
    write(legacy + "/launcher.log", "old log\n");
    write(legacy + "/client/regions/eu/current.json", "{}");

    migrateSupportDirectory(support);

    EXPECT_FALSE(QFileInfo::exists(legacy));
    EXPECT_EQ(read(support + "/launcher.log"), "old log\n");
    EXPECT_EQ(read(support + "/client/regions/eu/current.json"), "{}");
}

TEST_F(Migration, existingSupportDirectoryWins) {
    write(support + "/launcher.log", "new\n");
    write(legacy + "/launcher.log", "old\n");

    migrateSupportDirectory(support);

    EXPECT_EQ(read(support + "/launcher.log"), "new\n");
    EXPECT_EQ(read(legacy + "/launcher.log"), "old\n");
}

TEST_F(Migration, anythingAtTheSupportPathWins) {
    write(legacy + "/launcher.log", "old\n");
    // A regular file, and a link to a directory elsewhere: both count as existing.
    write(support, "file");
    migrateSupportDirectory(support);
    EXPECT_EQ(read(legacy + "/launcher.log"), "old\n");
    EXPECT_EQ(read(support), "file");

    ASSERT_TRUE(QFile::remove(support));
    ASSERT_TRUE(QDir().mkpath(data.filePath("elsewhere")));
    ASSERT_TRUE(QFile::link(data.filePath("elsewhere"), support));
    migrateSupportDirectory(support);
    EXPECT_EQ(read(legacy + "/launcher.log"), "old\n");
    EXPECT_TRUE(QDir(data.filePath("elsewhere")).isEmpty());
}

TEST_F(Migration, linkedOrNonDirectoryLegacyIsLeftAlone) {
    // A link to a directory.
    write(data.filePath("target/launcher.log"), "target\n");
    ASSERT_TRUE(QFile::link(data.filePath("target"), legacy));
    migrateSupportDirectory(support);
    EXPECT_FALSE(QFileInfo::exists(support));
    EXPECT_TRUE(QFileInfo(legacy).isSymLink());
    EXPECT_EQ(read(data.filePath("target/launcher.log")), "target\n");

    // A regular file.
    ASSERT_TRUE(QFile::remove(legacy));
    write(legacy, "file");
    migrateSupportDirectory(support);
    EXPECT_FALSE(QFileInfo::exists(support));
    EXPECT_EQ(read(legacy), "file");

    // A dangling link.
    ASSERT_TRUE(QFile::remove(legacy));
    ASSERT_TRUE(QFile::link(data.filePath("nothing"), legacy));
    migrateSupportDirectory(support);
    EXPECT_FALSE(QFileInfo::exists(support));
    EXPECT_TRUE(QFileInfo(legacy).isSymLink());
}

TEST_F(Migration, nothingToMoveDoesNothing) {
    migrateSupportDirectory(support);
    EXPECT_FALSE(QFileInfo::exists(support));
    EXPECT_FALSE(QFileInfo::exists(legacy));
    EXPECT_TRUE(QDir(data.path()).isEmpty());
}

TEST_F(Migration, failedMoveLeavesBothPlacesAsTheyWere) {
    write(legacy + "/launcher.log", "old\n");
    // A dangling link at the support path does not count as existing, and the move onto it fails.
    ASSERT_TRUE(QFile::link(data.filePath("nothing"), support));
    migrateSupportDirectory(support);
    EXPECT_EQ(read(legacy + "/launcher.log"), "old\n");
    EXPECT_TRUE(QFileInfo(support).isSymLink());
}

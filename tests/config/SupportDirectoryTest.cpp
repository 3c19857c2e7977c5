#include "Files.h"

#include "config/SupportDirectory.h"

namespace {

// Puts a thing of the given kind at `path`: "dir" (holding a launcher.log of `content`), "empty"
// (directory), "file", "link" (to a directory elsewhere), "dangling" (link) or nothing.
void make(const QString& path, const QByteArray& kind, const QByteArray& content) {
    const QString elsewhere = path + ".elsewhere";
    if (kind == "dir")
        return writeFile(path + "/launcher.log", content);
    if (kind == "file")
        return writeFile(path, content);
    if (kind == "empty" || kind == "link") {
        ASSERT_TRUE(QDir().mkpath(kind == "empty" ? path : elsewhere));
    }
    if (kind == "link" || kind == "dangling") {
        ASSERT_TRUE(QFile::link(elsewhere, path));
    }
}

// What lies at a path, as far as the migration is concerned.
QByteArray state(const QString& path) {
    const QFileInfo info(path);
    if (info.isSymLink())
        return "link";
    if (info.isDir())
        return "dir " + readFile(path + "/launcher.log");
    return info.isFile() ? "file " + readFile(path) : "none";
}

} // namespace

TEST(SupportDirectory, migrationMovesOnlyARealLegacyDirectoryIntoAFreePlace) {
    struct Case {
        QByteArray support, legacy;
        QByteArray supportAfter, legacyAfter;
    };
    const Case cases[] = {
        {"", "dir", "dir old", "none"},
        {"", "", "none", "none"},
        // Anything at the support path, a link to anything included, wins.
        {"dir", "dir", "dir new", "dir old"},
        {"empty", "dir", "dir <unreadable>", "dir old"},
        {"file", "dir", "file new", "dir old"},
        {"link", "dir", "link", "dir old"},
        // A legacy that is not a real directory stays where it is.
        {"", "link", "none", "link"},
        {"", "file", "none", "file old"},
        {"", "dangling", "none", "link"},
        // A dangling link does not count as existing, but the move onto it fails: both stay.
        {"dangling", "dir", "link", "dir old"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.support + " / " + c.legacy).constData());
        QTemporaryDir data;
        ASSERT_TRUE(data.isValid());
        const QString support = data.filePath("Thornwake");
        const QString legacy = data.filePath("Gloamreach");
        make(support, c.support, "new");
        make(legacy, c.legacy, "old");

        migrateSupportDirectory(supportDirectoryIn(data.path()));

        EXPECT_EQ(state(support), c.supportAfter);
        EXPECT_EQ(state(legacy), c.legacyAfter);
    }
}

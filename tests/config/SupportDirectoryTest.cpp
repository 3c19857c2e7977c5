#include "Files.h"

#include "config/SupportDirectory.h"

TEST(SupportDirectory, migrationMovesOnlyARealLegacyDirectoryIntoAFreePlace) {
    // What lies at each place before and after: "dir" (holding a launcher.log of "new" or "old"),
    // "empty" (directory), "file", "link" (to a directory elsewhere), "dangling" (link), "".
    const std::array<QByteArray, 4> cases[] = {
        {"", "dir", "dir old", ""},
        {"", "", "", ""},
        // Anything at the support path, a link to anything included, wins.
        {"dir", "dir", "dir new", "dir old"},
        {"empty", "dir", "dir <unreadable>", "dir old"},
        {"file", "dir", "file new", "dir old"},
        {"link", "dir", "link", "dir old"},
        // A legacy that is not a real directory stays where it is.
        {"", "link", "", "link"},
        {"", "file", "", "file old"},
        // A dangling link does not count as existing, but the move onto it fails: both stay.
        {"dangling", "dir", "link", "dir old"},
    };
    for (const auto& [support, legacy, supportAfter, legacyAfter] : cases) {
        SCOPED_TRACE((support + " / " + legacy).constData());
        QTemporaryDir data;
        auto make = [](const QString& at, const QByteArray& kind, const QByteArray& content) {
            if (kind == "dir")
                writeFile(at + "/launcher.log", content);
            else if (kind == "file")
                writeFile(at, content);
            else if (kind == "empty")
                QDir().mkpath(at);
            else if (kind == "link" && QDir().mkpath(at + ".elsewhere"))
                QFile::link(at + ".elsewhere", at);
            else if (kind == "dangling")
                QFile::link(at + ".gone", at);
        };
        auto state = [](const QString& at) -> QByteArray {
            const QFileInfo info(at);
            return info.isSymLink() ? "link"
                   : info.isDir()   ? "dir " + readFile(at + "/launcher.log")
                   : info.isFile()  ? "file " + readFile(at)
                                    : "";
        };
        make(data.filePath("Thornwake"), support, "new");
        make(data.filePath("Gloamreach"), legacy, "old");
        migrateSupportDirectory(supportDirectoryIn(data.path()));
        EXPECT_EQ(state(data.filePath("Thornwake")), supportAfter);
        EXPECT_EQ(state(data.filePath("Gloamreach")), legacyAfter);
    }
}

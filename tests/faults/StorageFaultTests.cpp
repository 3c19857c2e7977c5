// The file system failing under a running launcher: the log's file system fills up (a small
// tmpfs, or the process's file size limit), or the whole support directory is removed. The
// launcher keeps running, writes every log entry that still fits, and ends its runs as usual.
#include "FaultFixture.h"

#include <QFile>
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __linux__
#include <sys/mount.h>
#endif

namespace {

// A tmpfs of 256 KiB over the directory; false where this process may not mount one, or where
// mounting takes other calls (macOS).
bool mountSmallFileSystem(const QString& directory) {
#ifdef __linux__
    return ::mount("thornwake-faults", QFile::encodeName(directory).constData(), "tmpfs",
                   MS_NOSUID | MS_NODEV, "size=256k,mode=0700") == 0;
#else
    Q_UNUSED(directory);
    return false;
#endif
}

void unmount(const QString& directory) {
#ifdef __linux__
    ::umount2(QFile::encodeName(directory).constData(), MNT_DETACH);
#else
    Q_UNUSED(directory);
#endif
}

const QString upToDate = QStringLiteral("UPDATE_CHECK launcher=current client=current");

// Everything after the launch header, which carries the time.
QByteArray afterHeader(const QByteArray& log) {
    if (!log.startsWith("\n--- Launcher opened "))
        return "<no header> " + log;
    return log.mid(log.indexOf('\n', 1) + 1);
}

enum class Exhaustion { smallFileSystem, fileSizeLimit };

// Makes the log's storage run out, and gives it back.
class StorageLimit {
public:
    StorageLimit(Exhaustion kind, QString directory)
        : kind(kind)
        , directory(std::move(directory)) {}
    StorageLimit(const StorageLimit&) = delete;
    StorageLimit& operator=(const StorageLimit&) = delete;
    ~StorageLimit() {
        release();
        if (mounted)
            unmount(directory);
    }

    // Before the launch: a file system of 64 pages for the support directory. False when this
    // process may not mount one.
    bool prepare() {
        if (kind != Exhaustion::smallFileSystem)
            return true;
        std::filesystem::create_directories(directory.toStdString());
        mounted = mountSmallFileSystem(directory);
        return mounted;
    }

    // The log may grow by at most `room` more bytes (tmpfs: what is left of its last page).
    void exhaust(qint64 logSize, qint64 room) {
        if (kind == Exhaustion::fileSizeLimit) {
            ::getrlimit(RLIMIT_FSIZE, &saved);
            rlimit limited = saved;
            limited.rlim_cur = rlim_t(logSize + room);
            ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &limited), 0);
            limitSet = true;
            return;
        }
        const QByteArray filler = QFile::encodeName(directory + QStringLiteral("/filler"));
        const int file = ::open(filler.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ASSERT_GE(file, 0);
        const QByteArray block(4096, 'f');
        while (::write(file, block.constData(), size_t(block.size())) > 0) {
        }
        EXPECT_EQ(errno, ENOSPC);
        ::close(file);
    }

    void release() {
        if (limitSet)
            ::setrlimit(RLIMIT_FSIZE, &saved);
        limitSet = false;
        if (kind == Exhaustion::smallFileSystem && mounted)
            ::unlink(QFile::encodeName(directory + QStringLiteral("/filler")).constData());
    }

private:
    Exhaustion kind;
    QString directory;
    bool mounted = false;
    bool limitSet = false;
    rlimit saved{};
};

class FullStorage : public ::testing::TestWithParam<Exhaustion> {};

} // namespace

TEST_P(FullStorage, entriesThatDoNotFitAreDroppedAndLaterOnesStillWritten) {
    FaultFixture fixture;
    StorageLimit limit(GetParam(), fixture.supportDirectory());
    if (!limit.prepare())
        GTEST_SKIP() << "mounting a tmpfs needs Linux and privileges this process may not have";

    // Lines longer than a page cannot fit into the slack of the log's last page on the small file
    // system, nor under a limit 100 bytes above the log's size; the short line fits either way.
    QJsonArray whileFull;
    for (int i = 0; i < 3; ++i)
        whileFull.append(QStringLiteral("while full %1 ").arg(i) + QString(5000, u'w') + u'\n');
    QJsonArray out{"before full\n", QJsonObject{{"touch", "printed-1"}},
                   QJsonObject{{"waitFor", "go-1"}}};
    for (const QJsonValue& line : whileFull)
        out.append(line);
    for (const QJsonValue& step :
         QJsonArray{"short while full\n", QJsonObject{{"touch", "printed-2"}},
                    QJsonObject{{"waitFor", "go-2"}}, "after freed\n", upToDate + u'\n'})
        out.append(step);
    fixture.setScenario({{"check", QJsonArray{steps(out, {{"exit", 0}})}}});

    auto controller = fixture.launch();
    ASSERT_TRUE(controller->isLogOpen());
    ASSERT_TRUE(runUntil([&] { return fixture.logBytes().endsWith("before full\n"); }));
    limit.exhaust(fixture.logBytes().size(), 100);
    fixture.touch("go-1");

    ASSERT_TRUE(runUntil([&] { return fixture.exists("printed-2"); }));
    EXPECT_TRUE(runUntil([&] { return fixture.logBytes().endsWith("short while full\n"); }, 10000));
    EXPECT_EQ(afterHeader(fixture.logBytes()),
              "Checking for updates.\nbefore full\nshort while full\n");

    limit.release();
    fixture.touch("go-2");
    ASSERT_TRUE(runUntil([&] { return !controller->hasProcess(); }));
    EXPECT_EQ(controller->buttonState(), ButtonState::play);
    EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play Europe West"));
    EXPECT_TRUE(controller->isLogOpen());
    EXPECT_EQ(afterHeader(fixture.logBytes()),
              "Checking for updates.\nbefore full\nshort while full\nafter freed\n" +
                  upToDate.toUtf8() + '\n');
    controller.reset();
}

INSTANTIATE_TEST_SUITE_P(Log, FullStorage,
                         ::testing::Values(Exhaustion::smallFileSystem, Exhaustion::fileSizeLimit),
                         [](const ::testing::TestParamInfo<Exhaustion>& info) {
                             return info.param == Exhaustion::smallFileSystem
                                        ? std::string("smallFileSystem")
                                        : std::string("fileSizeLimit");
                         });

TEST(SupportDirectoryRemoved, runsGoOnIntoTheOpenLogAndTheNextStartRecreatesIt) {
    FaultFixture fixture;
    fixture.writeMetadata(QStringLiteral("eu-west"),
                          R"({"releaseId": "r1", "sourceRevision": "0123456789abcdef"})");
    fixture.setScenario(
        {{"check",
          QJsonArray{steps({"first\n", QJsonObject{{"touch", "printed-1"}},
                            QJsonObject{{"waitFor", "go-1"}}, "second\n", upToDate + u'\n'},
                           {{"exit", 0}}),
                     printing({upToDate})}},
         {"play", QJsonArray{printing({QStringLiteral("Starting Thornwake\u2026")})}}});

    auto controller = fixture.launch();
    ASSERT_TRUE(runUntil([&] { return fixture.logBytes().endsWith("first\n"); }));
    EXPECT_EQ(fixture.view.footer, QStringLiteral("Launcher 0123456789abcdef \u00b7 Game r1"));
    // The same file as the launcher's handle, readable after its name is gone.
    QFile log(fixture.supportDirectory() + QStringLiteral("/launcher.log"));
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));

    std::filesystem::remove_all(fixture.supportDirectory().toStdString());
    fixture.touch("go-1");
    ASSERT_TRUE(runUntil([&] { return !controller->hasProcess(); }));

    EXPECT_EQ(controller->buttonState(), ButtonState::play);
    EXPECT_EQ(fixture.view.status, QStringLiteral("Ready to play Europe West"));
    EXPECT_EQ(fixture.view.detail, QStringLiteral("Your game is up to date."));
    EXPECT_EQ(fixture.view.footer,
              QStringLiteral("Launcher 0123456789abcdef \u00b7 Game not installed"));
    EXPECT_FALSE(QFile::exists(fixture.supportDirectory())) << "nothing is recreated mid-run";

    // Play: a check, then the game, which ends well, so the launcher quits.
    controller->primaryAction();
    ASSERT_TRUE(runUntil([&] { return fixture.quitSignals == 1; }));
    EXPECT_EQ(fixture.runModes(), (QStringList{"check", "check", "play"}));
    EXPECT_EQ(afterHeader(log.readAll()),
              "Checking for updates.\nfirst\nsecond\n" + upToDate.toUtf8() +
                  "\nChecking for updates.\n" + upToDate.toUtf8() +
                  "\nStarting update check.\nStarting Thornwake\u2026\n");
    controller.reset();

    // The next start makes the directory and the log again, private as on a first start.
    controller = fixture.launch();
    struct stat status {};
    ASSERT_EQ(::stat(QFile::encodeName(fixture.supportDirectory()).constData(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat(QFile::encodeName(fixture.supportDirectory() + "/launcher.log").constData(),
                     &status),
              0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_EQ(afterHeader(fixture.logBytes()), "Checking for updates.\n");
    ASSERT_TRUE(runUntil([&] { return !controller->hasProcess(); }));
}

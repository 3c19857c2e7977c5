#include "Files.h"

#include "config/LauncherLog.h"

#include <QTimeZone>

#include <csignal>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Headers show the UTC time to the second, whatever the time's milliseconds and zone.
const QDateTime firstStart(QDate(2026, 12, 6), QTime(6, 29, 31, 987), QTimeZone::utc());
const QDateTime secondStart(QDate(2026, 12, 7), QTime(10, 0, 5), QTimeZone(7200));
const QByteArray firstHeader = "\n--- Launcher opened 2026-12-06T06:29:31Z ---\n";
const QByteArray secondHeader = "\n--- Launcher opened 2026-12-07T08:00:05Z ---\n";

mode_t permissions(const QString& path) {
    struct stat status {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & 07777 : 0;
}

class Log : public TempDirTest {
protected:
    // Opens the log as one launcher start would, writes the entries and closes it again.
    bool start(const QDateTime& now, const QStringList& entries = {}) {
        LauncherLog log;
        const bool prepared = log.prepare(support, now);
        for (const QString& entry : entries)
            log.append(entry);
        return prepared && log.isOpen();
    }

    QString support = path("share/Thornwake");
    QString logPath = support + "/launcher.log";
};

} // namespace

TEST_F(Log, firstStartCreatesPrivatelyAndLaterStartsAppendUnchangedUtf8) {
    // A umask that strips the owner's write and search bits must not change the modes.
    const mode_t previous = ::umask(0377);
    // Text with no exact UTF-8 form (a lone surrogate) is not written at all.
    const bool prepared =
        start(firstStart, {QString::fromUtf8("Über ✓\n"), QString("broken ") + QChar(0xD800)});
    ::umask(previous);
    ASSERT_TRUE(prepared);
    EXPECT_EQ(permissions(path("share")), 0700u);
    EXPECT_EQ(permissions(support), 0700u);
    EXPECT_EQ(permissions(logPath), 0600u);
    // What exists is taken as it is.
    ASSERT_EQ(::chmod(QFile::encodeName(logPath).constData(), 0644), 0);
    ASSERT_TRUE(start(secondStart, {"partial"}));
    EXPECT_EQ(permissions(logPath), 0644u);
    EXPECT_EQ(readFile(logPath), firstHeader +
                                     "\xc3\x9c"
                                     "ber \xe2\x9c\x93\n" +
                                     secondHeader + "partial");
}

TEST_F(Log, onlyALogOverTwoMillionBytesIsEmptiedKeepingItsPermissions) {
    const QByteArray atLimit(LauncherLog::sizeLimit, 'a');
    writeFile(logPath, atLimit);
    ASSERT_TRUE(start(firstStart));
    EXPECT_EQ(readFile(logPath), atLimit + firstHeader);
    writeFile(logPath, atLimit + "b");
    ASSERT_EQ(::chmod(QFile::encodeName(logPath).constData(), 0640), 0);
    ASSERT_TRUE(start(secondStart));
    EXPECT_EQ(readFile(logPath), secondHeader);
    EXPECT_EQ(permissions(logPath), 0640u);
    EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"launcher.log"})
        << "no temporary file is left behind";
}

TEST_F(Log, anythingButARegularFileTurnsLoggingOffWithoutBlockingOrWritingThroughIt) {
    // Over the size limit, so that emptying it through the link would show too.
    const QByteArray big(LauncherLog::sizeLimit + 10, 'x');
    for (const QByteArray kind :
         {"link", "dangling link", "directory", "FIFO", "FIFO with a reader", "support file"}) {
        SCOPED_TRACE(kind.constData());
        ASSERT_TRUE(QDir(dir.path()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(path("share")));
        if (kind == "support file") {
            writeFile(support, "file");
        } else if (kind == "directory") {
            ASSERT_TRUE(QDir().mkpath(logPath));
        } else if (kind.startsWith("FIFO")) {
            makeFifo(logPath);
        } else {
            ASSERT_TRUE(QDir().mkpath(support));
            if (kind == "link")
                writeFile(path("target"), big);
            ASSERT_TRUE(QFile::link(path("target"), logPath));
        }
        const int reader =
            kind == "FIFO with a reader"
                ? ::open(QFile::encodeName(logPath).constData(), O_RDONLY | O_NONBLOCK)
                : -1;
        EXPECT_FALSE(start(firstStart, {"ignored\n"}));
        // Nothing was written through a link or into the FIFO, nor a dangling link's target made.
        EXPECT_EQ(readFile(path("target")), kind == "link" ? big : "<unreadable>");
        char byte = 0;
        EXPECT_LE(reader < 0 ? 0 : ::read(reader, &byte, 1), 0);
        ::close(reader);
    }
}

TEST_F(Log, anEntryBeyondTheFileSizeLimitIsDroppedWithoutKillingTheProcess) {
    ASSERT_TRUE(start(firstStart));
    // In a child, so that the limit and the default SIGXFSZ action, which kills, stay there.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_DFL);
        LauncherLog log;
        const rlim_t size = firstHeader.size() + secondHeader.size() + 10;
        const rlimit limit{size, size};
        if (!log.prepare(support, secondStart) || ::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(2);
        for (const char* entry : {"far too long for the limit\n", "fits\n", "too long\n"})
            log.append(entry);
        ::_exit(log.isOpen() ? 0 : 3);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(logPath), firstHeader + secondHeader + "fits\n");
}

TEST_F(Log, onAFullFileSystemAnEntryThatDoesNotFitIsCutOffAndLaterOnesStillWritten) {
    ASSERT_TRUE(QDir().mkpath(support));
    const QByteArray directory = QFile::encodeName(support);
    if (::mount("thornwake-test", directory.constData(), "tmpfs", 0, "size=64k,mode=0700") != 0)
        GTEST_SKIP() << "mounting a tmpfs needs Linux and privileges this process may not have";
    struct Unmount {
        QByteArray directory;
        ~Unmount() { ::umount2(directory.constData(), MNT_DETACH); }
    } unmount{directory};
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, firstStart));
    // Fill the file system up to the slack of the log's last page.
    QFile filler(support + "/filler");
    ASSERT_TRUE(filler.open(QIODevice::WriteOnly));
    while (filler.write(QByteArray(4096, 'f')) == 4096 && filler.flush()) {
    }
    filler.close();
    log.append(QString(8000, u'w') + u'\n');
    log.append("short\n");
    QFile::remove(support + "/filler");
    log.append("after freed\n");
    EXPECT_EQ(readFile(logPath), firstHeader + "short\nafter freed\n");
}

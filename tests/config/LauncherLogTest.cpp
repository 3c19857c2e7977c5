#include "config/LauncherLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTimeZone>
#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const QDateTime firstStart(QDate(2026, 12, 6), QTime(6, 29, 31), QTimeZone::utc());
const QDateTime secondStart(QDate(2026, 12, 7), QTime(8, 0, 5), QTimeZone::utc());
const QByteArray firstHeader = "\n--- Launcher opened 2026-12-06T06:29:31Z ---\n";
const QByteArray secondHeader = "\n--- Launcher opened 2026-12-07T08:00:05Z ---\n";

mode_t permissions(const QString& path) {
    struct stat status {};
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return status.st_mode & 07777;
}

class Log : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(home.isValid());
        support = home.filePath("share/Thornwake");
        logPath = support + "/launcher.log";
    }

    static QByteArray read(const QString& path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
    }

    static void write(const QString& path, const QByteArray& content) {
        ASSERT_TRUE(QDir().mkpath(QFileInfo(path).path()));
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_EQ(file.write(content), content.size());
    }

    QTemporaryDir home;
    QString support;
    QString logPath;
};

} // namespace

TEST(LauncherLogHeader, isTheTwentyCharacterUtcTime) {
    EXPECT_EQ(LauncherLog::header(firstStart), QString::fromLatin1(firstHeader));
    const QDateTime withMilliseconds(QDate(2026, 12, 6), QTime(6, 29, 31, 987), QTimeZone::utc());
    EXPECT_EQ(LauncherLog::header(withMilliseconds), QString::fromLatin1(firstHeader));
    const QDateTime twoHoursAhead(QDate(2026, 12, 6), QTime(8, 29, 31), QTimeZone(7200));
    EXPECT_EQ(LauncherLog::header(twoHoursAhead), QString::fromLatin1(firstHeader));
}

TEST_F(Log, firstStartCreatesPrivateDirectoriesAndFile) {
    // A umask that would strip the owner's write and search bits must not change the result.
    const mode_t previous = ::umask(0377);
    LauncherLog log;
    const bool prepared = log.prepare(support, firstStart);
    ::umask(previous);

    ASSERT_TRUE(prepared);
    EXPECT_TRUE(log.isOpen());
    EXPECT_EQ(log.path(), logPath);
    EXPECT_EQ(permissions(home.filePath("share")), 0700u);
    EXPECT_EQ(permissions(support), 0700u);
    EXPECT_EQ(permissions(logPath), 0600u);
    EXPECT_EQ(read(logPath), firstHeader);
}

TEST_F(Log, existingDirectoryAndFileKeepTheirPermissions) {
    write(logPath, "earlier\n");
    ASSERT_EQ(::chmod(QFile::encodeName(support).constData(), 0755), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(logPath).constData(), 0644), 0);
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, firstStart));
    EXPECT_EQ(permissions(support), 0755u);
    EXPECT_EQ(permissions(logPath), 0644u);
    EXPECT_EQ(read(logPath), "earlier\n" + firstHeader);
}

TEST_F(Log, sizeLimitEmptiesOnlyLogsOverTwoMillionBytes) {
    const QByteArray atLimit(LauncherLog::sizeLimit, 'a');
    write(logPath, atLimit);
    {
        LauncherLog log;
        ASSERT_TRUE(log.prepare(support, firstStart));
    }
    EXPECT_EQ(read(logPath), atLimit + firstHeader);

    write(logPath, atLimit + "b");
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, secondStart));
    EXPECT_EQ(read(logPath), secondHeader);
    EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"launcher.log"});
}

TEST_F(Log, secondStartAppendsAfterTheFirstRun) {
    {
        LauncherLog log;
        ASSERT_TRUE(log.prepare(support, firstStart));
        log.append("Checking for updates.\n");
        log.append("");
        log.append(QString::fromUtf8("Übersicht — 更新 ✓\n"));
    }
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, secondStart));
    log.append("partial");
    EXPECT_EQ(read(logPath), firstHeader + "Checking for updates.\n" +
                                 QByteArray("\xc3\x9c"
                                            "bersicht \xe2\x80\x94 \xe6\x9b\xb4\xe6\x96\xb0 "
                                            "\xe2\x9c\x93\n") +
                                 secondHeader + "partial");
}

TEST_F(Log, textWithoutAnExactUtf8FormIsNotWritten) {
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, firstStart));
    log.append(QString("broken ") + QChar(0xD800) + "\n");
    EXPECT_EQ(read(logPath), firstHeader);
}

TEST_F(Log, supportPathThatIsAFileTurnsLoggingOff) {
    write(support, "not a directory");
    LauncherLog log;
    EXPECT_FALSE(log.prepare(support, firstStart));
    EXPECT_FALSE(log.isOpen());
    log.append("ignored\n");
    EXPECT_EQ(read(support), "not a directory");

    // A parent that is a file fails the same way.
    LauncherLog below;
    EXPECT_FALSE(below.prepare(support + "/inner", firstStart));
    EXPECT_FALSE(below.isOpen());
}

TEST_F(Log, neverWritesThroughALink) {
    const QString target = home.filePath("elsewhere.txt");
    write(target, QByteArray(LauncherLog::sizeLimit + 10, 'x'));
    ASSERT_TRUE(QDir().mkpath(support));
    ASSERT_TRUE(QFile::link(target, logPath));
    LauncherLog log;
    EXPECT_FALSE(log.prepare(support, firstStart));
    EXPECT_FALSE(log.isOpen());
    EXPECT_EQ(read(target), QByteArray(LauncherLog::sizeLimit + 10, 'x'));
    EXPECT_TRUE(QFileInfo(logPath).isSymLink());

    // A dangling link does not get its target created either.
    ASSERT_TRUE(QFile::remove(logPath));
    ASSERT_TRUE(QFile::link(home.filePath("created-through-link"), logPath));
    EXPECT_FALSE(log.prepare(support, firstStart));
    EXPECT_FALSE(QFileInfo::exists(home.filePath("created-through-link")));
}

TEST_F(Log, directoryOrFifoNamedLikeTheLogTurnsLoggingOffWithoutBlocking) {
    ASSERT_TRUE(QDir().mkpath(logPath));
    LauncherLog log;
    EXPECT_FALSE(log.prepare(support, firstStart));
    EXPECT_FALSE(log.isOpen());
    ASSERT_TRUE(QDir().rmdir(logPath));

    ASSERT_EQ(::mkfifo(QFile::encodeName(logPath).constData(), 0600), 0);
    EXPECT_FALSE(log.prepare(support, firstStart));

    // With a reader at the other end the open succeeds, but a FIFO is still not a log.
    const int reader = ::open(QFile::encodeName(logPath).constData(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_FALSE(log.prepare(support, firstStart));
    EXPECT_FALSE(log.isOpen());
    char byte = 0;
    EXPECT_LE(::read(reader, &byte, 1), 0);
    ::close(reader);
}

TEST_F(Log, removedFileDoesNotStopTheLauncher) {
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, firstStart));
    ASSERT_TRUE(QFile::remove(logPath));
    log.append("after removal\n");
    EXPECT_TRUE(log.isOpen());
    EXPECT_FALSE(QFileInfo::exists(logPath));
    log.close();
    EXPECT_FALSE(log.isOpen());
    log.append("after close\n");
    EXPECT_FALSE(QFileInfo::exists(logPath));
}

TEST_F(Log, entryBeyondTheFileSizeLimitIsDroppedWithoutKillingTheProcess) {
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, firstStart));
    log.close();

    // In a child, so that the limit and the default signal action stay there. With the default
    // action a write past the limit would kill the child with SIGXFSZ.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_DFL);
        LauncherLog childLog;
        if (!childLog.prepare(support, secondStart))
            ::_exit(2);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = rlim_t(firstHeader.size() + secondHeader.size() + 10);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        childLog.append(QString(100, 'x') + "\n");
        childLog.append("fits\n");
        childLog.append("too long\n");
        ::_exit(childLog.isOpen() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(read(logPath), firstHeader + secondHeader + "fits\n");
}

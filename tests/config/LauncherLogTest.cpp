#include "Files.h"

#include "config/LauncherLog.h"

#include <QTimeZone>

#include <csignal>
#include <fcntl.h>
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
    void SetUp() override {
        TempDirTest::SetUp();
        support = path("share/Thornwake");
        logPath = support + "/launcher.log";
    }

    // Opens the log as one launcher start would and closes it again.
    bool start(const QDateTime& now, const QStringList& entries = {}) {
        LauncherLog log;
        const bool prepared = log.prepare(support, now);
        for (const QString& entry : entries)
            log.append(entry);
        return prepared && log.isOpen();
    }

    QString support;
    QString logPath;
};

} // namespace

TEST_F(Log, firstStartCreatesPrivatelyAndLaterStartsAppendUnchangedUtf8) {
    // A umask that strips the owner's write and search bits must not change the modes.
    const mode_t previous = ::umask(0377);
    const bool prepared = start(firstStart, {"Checking.\n", "", QString::fromUtf8("Über 更新 ✓\n"),
                                             // No exact UTF-8 form: not written at all.
                                             QString("broken ") + QChar(0xD800) + "\n"});
    ::umask(previous);
    ASSERT_TRUE(prepared);
    EXPECT_EQ(permissions(path("share")), 0700u);
    EXPECT_EQ(permissions(support), 0700u);
    EXPECT_EQ(permissions(logPath), 0600u);

    // What exists is taken as it is.
    ASSERT_EQ(::chmod(QFile::encodeName(logPath).constData(), 0644), 0);
    LauncherLog log;
    ASSERT_TRUE(log.prepare(support, secondStart));
    log.append("partial");
    EXPECT_EQ(log.path(), logPath);
    EXPECT_EQ(permissions(logPath), 0644u);
    EXPECT_EQ(readFile(logPath), firstHeader +
                                     "Checking.\n\xc3\x9c"
                                     "ber \xe6\x9b\xb4\xe6\x96\xb0 \xe2\x9c\x93\n" +
                                     secondHeader + "partial");
}

TEST_F(Log, onlyALogOverTwoMillionBytesIsEmptied) {
    const QByteArray atLimit(LauncherLog::sizeLimit, 'a');
    writeFile(logPath, atLimit);
    ASSERT_TRUE(start(firstStart));
    EXPECT_EQ(readFile(logPath), atLimit + firstHeader);

    // The emptied log keeps the permission bits the player gave the old one.
    writeFile(logPath, atLimit + "b");
    ASSERT_EQ(::chmod(QFile::encodeName(logPath).constData(), 0640), 0);
    ASSERT_TRUE(start(secondStart));
    EXPECT_EQ(readFile(logPath), secondHeader);
    EXPECT_EQ(permissions(logPath), 0640u);
    // The emptying leaves no temporary file behind.
    EXPECT_EQ(QDir(support).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
              QStringList{"launcher.log"});
}

TEST_F(Log, anythingButARegularFileTurnsLoggingOffWithoutBlockingOrWritingThroughIt) {
    // Over the size limit, so that emptying it through the link would show too.
    const QByteArray big(LauncherLog::sizeLimit + 10, 'x');
    for (const QByteArray kind :
         {"link", "dangling link", "directory", "FIFO", "FIFO with a reader", "support file"}) {
        SCOPED_TRACE(kind.constData());
        ASSERT_TRUE(QDir(dir.path()).removeRecursively());
        ASSERT_TRUE(QDir().mkpath(kind == "support file" ? path("share") : support));
        if (kind == "support file") {
            writeFile(support, "file");
        } else if (kind == "directory") {
            ASSERT_TRUE(QDir().mkpath(logPath));
        } else if (kind.endsWith("link")) {
            if (kind == "link")
                writeFile(path("target"), big);
            ASSERT_TRUE(QFile::link(path("target"), logPath));
        } else {
            makeFifo(logPath);
        }
        const int reader =
            kind == "FIFO with a reader"
                ? ::open(QFile::encodeName(logPath).constData(), O_RDONLY | O_NONBLOCK)
                : -1;

        EXPECT_FALSE(start(firstStart, {"ignored\n"}));
        // Nothing was written through a link, nor was a dangling link's target created.
        EXPECT_EQ(readFile(path("target")), kind == "link" ? big : "<unreadable>");
        if (reader >= 0) {
            // Nor into the FIFO.
            char byte = 0;
            EXPECT_LE(::read(reader, &byte, 1), 0);
            ::close(reader);
        }
    }
}

TEST_F(Log, entryBeyondTheFileSizeLimitIsDroppedWithoutKillingTheProcess) {
    ASSERT_TRUE(start(firstStart));
    // In a child, so that the limit and the default SIGXFSZ action, which kills, stay there.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_DFL);
        LauncherLog log;
        if (!log.prepare(support, secondStart))
            ::_exit(2);
        struct rlimit limit {};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = rlim_t(firstHeader.size() + secondHeader.size() + 10);
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(3);
        log.append(QString(100, 'x') + "\n");
        log.append("fits\n");
        log.append("too long\n");
        ::_exit(log.isOpen() ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status)) << "killed by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_EQ(readFile(logPath), firstHeader + secondHeader + "fits\n");
}

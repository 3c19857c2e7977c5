// The built launcher program itself, started as a separate process over a temporary bundle and
// home: what only a whole process shows, its memory under a flood of output with every byte of
// it logged, and its survival of the file size limit.
#include "LauncherFixture.h"

#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QThread>
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

namespace {

const QByteArray upToDate = "UPDATE_CHECK launcher=current client=current";

// The fixture's bundle with the built executable in it, run with a temporary home on Qt's
// offscreen platform.
class RealLauncher : public LauncherFixture {
public:
    RealLauncher() {
        const QString executable = bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher");
        // A link keeps the test cheap; a copy where the build lies on another file system.
        if (::link(THORNWAKE_LAUNCHER_EXECUTABLE, QFile::encodeName(executable).constData()) != 0 &&
            !QFile::copy(QStringLiteral(THORNWAKE_LAUNCHER_EXECUTABLE), executable))
            qFatal("cannot place the launcher in the test bundle");
    }
    ~RealLauncher() {
        process.terminate();
        if (!process.waitForFinished(20000))
            process.kill();
        process.waitForFinished(5000);
    }

    QString logPath() const { return supportDirectory() + QStringLiteral("/launcher.log"); }
    // The last bytes of the log, without reading all of it.
    QByteArray logTail() const {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        file.seek(std::max<qint64>(0, file.size() - 64));
        return file.readAll();
    }

    void start(rlim_t fileSizeLimit = RLIM_INFINITY) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("HOME", root() + "/home");
        environment.insert("XDG_DATA_HOME", dataDirectory());
        environment.insert("XDG_CONFIG_HOME", root() + "/home/.config");
        environment.insert("XDG_RUNTIME_DIR", root());
        environment.insert("QT_QPA_PLATFORM", "offscreen");
        // An instrumented build keeps freed memory aside (256 MiB by default) to catch late uses;
        // a small quarantine lets the resident size show what the launcher itself holds.
        if (environment.contains("ASAN_OPTIONS"))
            environment.insert("ASAN_OPTIONS",
                               environment.value("ASAN_OPTIONS") + ":quarantine_size_mb=8");
        process.setProcessEnvironment(environment);
        process.setProgram(bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher"));
        process.setChildProcessModifier([fileSizeLimit] {
            const rlimit value{fileSizeLimit, fileSizeLimit};
            ::setrlimit(RLIMIT_FSIZE, &value);
        });
        process.start();
        ASSERT_TRUE(process.waitForStarted(10000));
    }

    bool alive() {
        process.waitForFinished(0);
        return process.state() != QProcess::NotRunning;
    }

    // The peak resident size in KiB (Linux only), or -1.
    qint64 peakKib() const {
        QFile status(QStringLiteral("/proc/%1/status").arg(process.processId()));
        if (status.open(QIODevice::ReadOnly))
            for (const QByteArray& line : status.readAll().split('\n'))
                if (line.startsWith("VmHWM:"))
                    return line.mid(6).trimmed().split(' ').front().toLongLong();
        return -1;
    }

    QProcess process;
};

bool waitUntil(const std::function<bool()>& condition, int timeoutMs) {
    for (int waited = 0; !condition(); waited += 20) {
        if (waited >= timeoutMs)
            return false;
        QThread::msleep(20);
    }
    return true;
}

} // namespace

TEST(RealLauncher, floodOfHundredMebibytesKeepsItsMemoryBoundedAndEveryByteLogged) {
    if (!QFile::exists(QStringLiteral("/proc/self/status")))
        GTEST_SKIP() << "the peak resident size is read from /proc";
    // 50 MiB in lines of 64 KiB, then 50 MiB without a single line feed.
    const QByteArray line = QByteArray(65535, 'y') + '\n';
    RealLauncher launcher;
    launcher.setScenario(
        {{"check",
          QJsonArray{steps({QJsonObject{{"waitFor", "go"}},
                            QJsonObject{{"repeat", QString::fromLatin1(line)}, {"times", 800}},
                            QJsonObject{{"repeat", QString(4096, u'z')}, {"times", 12800}},
                            QString::fromLatin1("\n" + upToDate + "\n")})}}});
    launcher.start();
    ASSERT_TRUE(
        waitUntil([&] { return launcher.logTail().endsWith("Checking for updates.\n"); }, 30000));
    QThread::msleep(500); // the window is up and the start-up is over
    const qint64 peakBefore = launcher.peakKib();
    ASSERT_GT(peakBefore, 0);

    launcher.touch(QStringLiteral("go"));
    ASSERT_TRUE(waitUntil([&] { return launcher.logTail().endsWith(upToDate + '\n'); }, 300000));
    QThread::msleep(300); // run completion
    ASSERT_TRUE(launcher.alive());
    const qint64 peakAfter = launcher.peakKib();
    std::printf("launcher peak resident size: %lld KiB before the flood, %lld KiB after it\n",
                static_cast<long long>(peakBefore), static_cast<long long>(peakAfter));
    EXPECT_LT(peakAfter - peakBefore, 24 * 1024) << "the flood raised the peak by that many KiB";

    // Lines whole; the run without line feeds in pieces of at most 1 MiB, nothing lost.
    QFile log(launcher.logPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    int longLines = 0, pieces = 0;
    qint64 unbrokenBytes = 0;
    QByteArrayList unexpected;
    while (!log.atEnd()) {
        const QByteArray entry = log.readLine(4 << 20);
        if (entry == line) {
            ++longLines;
        } else if (entry.startsWith('z') && entry.count('z') == entry.size() - 1 &&
                   entry.size() - 1 <= (1 << 20)) {
            ++pieces;
            unbrokenBytes += entry.size() - 1;
        } else if (entry != "\n" && !entry.startsWith("--- Launcher opened ") &&
                   entry != "Checking for updates.\n" && entry != upToDate + '\n') {
            unexpected.append(entry.left(80));
        }
    }
    EXPECT_EQ(longLines, 800);
    EXPECT_EQ(unbrokenBytes, 50 << 20);
    EXPECT_EQ(pieces, 50);
    EXPECT_TRUE(unexpected.isEmpty()) << unexpected.join('|').toStdString();
}

TEST(RealLauncher, underAFileSizeLimitItKeepsRunningAndLogsEveryEntryThatFits) {
    constexpr qint64 limit = 64 * 1024;
    QList<QByteArray> lines;
    for (int i = 0; i < 8; ++i)
        lines.append("long " + QByteArray::number(i) + ' ' + QByteArray(9000, 'l') + '\n');
    for (int i = 0; i < 20; ++i)
        lines.append("short " + QByteArray::number(i) + '\n');
    lines.append(upToDate + '\n');
    QJsonArray out;
    for (const QByteArray& line : lines)
        out.append(QString::fromLatin1(line));

    RealLauncher launcher;
    launcher.setScenario({{"check", QJsonArray{steps(out)}}});
    launcher.start(rlim_t(limit));
    ASSERT_TRUE(waitUntil([&] { return launcher.logTail().endsWith(upToDate + '\n'); }, 60000));
    QThread::msleep(300); // run completion
    EXPECT_TRUE(launcher.alive()) << "the limit must not end the launcher";

    // Each entry is written when it fits under the limit, in order; no entry is cut.
    QFile log(launcher.logPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    const QByteArray logged = log.readAll();
    const qsizetype start = logged.indexOf("Checking for updates.\n");
    ASSERT_GT(start, 0);
    QByteArray expected = logged.left(start) + "Checking for updates.\n";
    for (const QByteArray& line : lines)
        if (expected.size() + line.size() <= limit)
            expected += line;
    EXPECT_TRUE(logged == expected) << logged.size() << " bytes, expected " << expected.size();
    EXPECT_FALSE(logged.contains("long 7 ")) << "the eighth long line does not fit";
}

// The built launcher program itself, started as a separate process over a temporary bundle and
// home: what only a whole process shows, its memory under a flood of output and its survival of
// the file size limit.
#include "FaultFixture.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <unistd.h>

namespace {

const QByteArray upToDate = "UPDATE_CHECK launcher=current client=current";

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
        file.write(content) != content.size())
        qFatal("cannot write %s", qPrintable(path));
}

// A bundle made of the built executable, the fault updater and a one-region configuration, run
// with a temporary home on Qt's offscreen platform.
class RealLauncher {
public:
    RealLauncher() {
        const QString executable = bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher");
        QDir().mkpath(QFileInfo(executable).path());
        // A link keeps the test cheap; a copy where the build lies on another file system.
        if (::link(THORNWAKE_LAUNCHER_EXECUTABLE, QFile::encodeName(executable).constData()) != 0 &&
            !QFile::copy(QStringLiteral(THORNWAKE_LAUNCHER_EXECUTABLE), executable))
            qFatal("cannot place the launcher in the test bundle");
        writeFile(bundle() + QStringLiteral("/Contents/Info.plist"),
                  R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleExecutable</key><string>thornwake-launcher</string>
<key>CFBundleVersion</key><string>0123456789abcdef</string>
</dict></plist>
)");
        writeFile(
            resource(QStringLiteral("launcher-config.json")),
            R"({"schemaVersion": 3, "defaultRegion": "eu-west", "regions": [{"id": "eu-west", "name": "Europe West"}]})");
        writeFile(resource(QStringLiteral("client_updater.py")), scriptedUpdater());
    }
    RealLauncher(const RealLauncher&) = delete;
    RealLauncher& operator=(const RealLauncher&) = delete;
    ~RealLauncher() { stop(); }

    QString bundle() const { return directory.path() + QStringLiteral("/Thornwake Launcher.app"); }
    QString home() const { return directory.path() + QStringLiteral("/home"); }
    QString resource(const QString& name) const {
        return bundle() + QStringLiteral("/Contents/Resources/") + name;
    }
    QString logPath() const {
        return home() + QStringLiteral("/.local/share/Thornwake/launcher.log");
    }
    void setScenario(const QJsonObject& scenario) {
        writeFile(resource(QStringLiteral("scenario.json")), QJsonDocument(scenario).toJson());
    }
    void touch(const QString& name) { writeFile(resource(name), {}); }

    // The last bytes of the log, without reading all of it.
    QByteArray logTail(qint64 bytes) const {
        QFile file(logPath());
        if (!file.open(QIODevice::ReadOnly))
            return {};
        file.seek(std::max<qint64>(0, file.size() - bytes));
        return file.readAll();
    }

    void start(std::optional<rlim_t> fileSizeLimit = std::nullopt) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("HOME"), home());
        environment.insert(QStringLiteral("XDG_DATA_HOME"),
                           home() + QStringLiteral("/.local/share"));
        environment.insert(QStringLiteral("XDG_CONFIG_HOME"), home() + QStringLiteral("/.config"));
        environment.insert(QStringLiteral("XDG_CACHE_HOME"), home() + QStringLiteral("/.cache"));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        // An instrumented build keeps freed memory aside (256 MiB by default) to catch late uses;
        // a small quarantine lets the resident size show what the launcher itself holds.
        if (environment.contains(QStringLiteral("ASAN_OPTIONS")))
            environment.insert(QStringLiteral("ASAN_OPTIONS"),
                               environment.value(QStringLiteral("ASAN_OPTIONS")) +
                                   QStringLiteral(":quarantine_size_mb=8"));
        QDir().mkpath(home());
        process.setProcessEnvironment(environment);
        process.setProgram(bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher"));
        process.setProcessChannelMode(QProcess::MergedChannels);
        if (fileSizeLimit) {
            const rlim_t limit = *fileSizeLimit;
            process.setChildProcessModifier([limit] {
                const rlimit value{limit, limit};
                ::setrlimit(RLIMIT_FSIZE, &value);
            });
        }
        process.start();
        ASSERT_TRUE(process.waitForStarted(10000));
        pid = pid_t(process.processId());
    }

    // Still running: an ended process has been collected by now.
    bool alive() {
        process.waitForFinished(0);
        return process.state() != QProcess::NotRunning;
    }

    // A "Vm…" figure of /proc/<pid>/status in KiB (Linux only), or -1.
    qint64 memoryKib(const char* field) const {
        QFile status(QStringLiteral("/proc/%1/status").arg(pid));
        if (!status.open(QIODevice::ReadOnly))
            return -1;
        for (const QByteArray& line : status.readAll().split('\n'))
            if (line.startsWith(field))
                return line.mid(qstrlen(field)).trimmed().split(' ').front().toLongLong();
        return -1;
    }

    QByteArray stop() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(20000)) {
                process.kill();
                process.waitForFinished(5000);
            }
        }
        return process.readAll();
    }

private:
    QTemporaryDir directory;
    QProcess process;
    pid_t pid = 0;
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
                            QString::fromLatin1("\n" + upToDate + "\n")},
                           {{"exit", 0}})}}});
    launcher.start();
    ASSERT_TRUE(
        waitUntil([&] { return launcher.logTail(64).endsWith("Checking for updates.\n"); }, 30000));
    QThread::msleep(500); // the window is up and the start-up is over
    const qint64 peakBefore = launcher.memoryKib("VmHWM:");
    ASSERT_GT(peakBefore, 0);

    launcher.touch(QStringLiteral("go"));
    ASSERT_TRUE(waitUntil([&] { return launcher.logTail(64).endsWith(upToDate + '\n'); }, 300000));
    QThread::msleep(300); // run completion
    ASSERT_TRUE(launcher.alive());
    const qint64 peakAfter = launcher.memoryKib("VmHWM:");
    std::printf("launcher peak resident size: %lld KiB before the flood, %lld KiB after it\n",
                static_cast<long long>(peakBefore), static_cast<long long>(peakAfter));
    EXPECT_LT(peakAfter - peakBefore, 24 * 1024) << "the flood raised the peak by that many KiB";
    launcher.stop();

    // Lines whole; the run without line feeds in pieces of at most 1 MiB, nothing lost.
    QFile log(launcher.logPath());
    ASSERT_TRUE(log.open(QIODevice::ReadOnly));
    int longLines = 0;
    qint64 unbrokenBytes = 0;
    int pieces = 0;
    bool unexpected = false;
    while (!log.atEnd()) {
        const QByteArray entry = log.readLine(4 << 20);
        if (entry == line) {
            ++longLines;
        } else if (entry.startsWith('z')) {
            ++pieces;
            unbrokenBytes += entry.size() - 1;
            unexpected |= entry.size() - 1 > (1 << 20) || entry.count('z') != entry.size() - 1;
        } else if (entry != "\n" && !entry.startsWith("--- Launcher opened ") &&
                   entry != "Checking for updates.\n" && entry != upToDate + '\n') {
            unexpected = true;
        }
    }
    EXPECT_EQ(longLines, 800);
    EXPECT_EQ(unbrokenBytes, 50 << 20);
    EXPECT_EQ(pieces, 50);
    EXPECT_FALSE(unexpected);
}

TEST(RealLauncher, underAFileSizeLimitItKeepsRunningAndLogsEveryEntryThatFits) {
    constexpr qint64 limit = 64 * 1024;
    QList<QByteArray> lines;
    for (int i = 0; i < 8; ++i)
        lines.append("long " + QByteArray::number(i) + ' ' + QByteArray(9000, 'l') + '\n');
    for (int i = 0; i < 20; ++i)
        lines.append("short " + QByteArray::number(i) + '\n');
    for (int i = 8; i < 11; ++i)
        lines.append("long " + QByteArray::number(i) + ' ' + QByteArray(9000, 'l') + '\n');
    lines.append(upToDate + '\n');
    QJsonArray out;
    for (const QByteArray& line : lines)
        out.append(QString::fromLatin1(line));

    RealLauncher launcher;
    launcher.setScenario({{"check", QJsonArray{steps(out, {{"exit", 0}})}}});
    launcher.start(rlim_t(limit));
    ASSERT_TRUE(waitUntil([&] { return launcher.logTail(64).endsWith(upToDate + '\n'); }, 60000));
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
    EXPECT_EQ(logged.size(), expected.size());
    EXPECT_TRUE(logged == expected);
    EXPECT_LE(logged.size(), limit);
    EXPECT_FALSE(logged.contains("long 7 ")) << "the eighth long line does not fit";
    launcher.stop();
}

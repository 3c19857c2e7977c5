#include "../config/Files.h"

#include "install/Relaunch.h"

#include <QCoreApplication>
#include <QTest>

TEST(Relaunch, successorArgumentsCarryOnWhereThisLauncherStopped) {
    EXPECT_EQ(relaunchArguments({}, {}, false, {}), QStringList{"--continue"});
    EXPECT_EQ(relaunchArguments("eu", "0123456789abcdef", true, {"--", "-x"}),
              (QStringList{"--region", "eu", "--continue", "--relaunched-from", "0123456789abcdef",
                           "--no-self-update", "--", "--", "-x"}));
}

using RelaunchRun = TempDirTest;

TEST_F(RelaunchRun, startsTheSuccessorReportsOnceAndLogsHowItWent) {
    int argc = 1;
    char name[] = "install_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    // A stand-in for the open tool or the successor: records its arguments, exits with a status.
    auto tool = [&](const QString& file, int status) {
        writeFile(file, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\nexit " +
                            QByteArray::number(status) + "\n");
        QFile(file).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
        return file;
    };
    const QString installed = path("New.app"), running = path("Old.app");
    const QString successor = tool(installed + "/Contents/MacOS/thornwake-launcher", 0);
    const QString started = "Started the updated launcher.\n";
    struct Case {
        std::optional<QString> installed;
        QString openTool; // empty: the successor's executable is started directly
        bool started;
        QString log;
        QStringList arguments; // what the tool or the successor was started with
    };
    auto viaOpen = [&](const QString& bundle) {
        return QStringList{"-n", bundle, "--args", "--continue"};
    };
    const QString refused = "The updated launcher would not start (open exited 1).\n";
    const Case cases[] = {
        {installed, tool(path("open"), 0), true, started, viaOpen(installed)},
        {{}, tool(path("open1"), 1), false, refused, viaOpen(running)},
        {installed, path("missing"), false, "The updated launcher could not be started: ", {}},
        {installed, "", true, started, {"--continue"}},
        {path("Broken.app"), "", false, "The updated launcher could not be started: ", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.toStdString());
        QObject context;
        QString log;
        QList<bool> reports;
        relaunch(
            {c.installed, running, {"--continue"}, c.openTool, "thornwake-launcher"}, &context,
            [&](const QString& line) { log += line; }, [&](bool ok) { reports.append(ok); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.isEmpty(); }, 10000));
        EXPECT_EQ(reports, QList<bool>{c.started});
        EXPECT_EQ(log.left(c.log.size()), c.log);
        const QString record = (c.openTool.isEmpty() ? successor : c.openTool) + ".args";
        auto recorded = [&] {
            return QString::fromUtf8(readFile(record)).split(u'\n', Qt::SkipEmptyParts);
        };
        EXPECT_TRUE(c.arguments.isEmpty() ||
                    QTest::qWaitFor([&] { return recorded() == c.arguments; }, 10000))
            << recorded().join(' ').toStdString();
    }
    // With no bundle to start, nothing is started or logged.
    QList<bool> reports;
    relaunch(
        {}, nullptr, [](const QString&) { FAIL(); }, [&](bool ok) { reports.append(ok); });
    EXPECT_EQ(reports, QList<bool>{false});
}

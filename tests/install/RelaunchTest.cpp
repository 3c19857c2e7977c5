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
        writeFile(file, QStringLiteral("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1.args'\nexit %2\n")
                            .arg(file)
                            .arg(status)
                            .toUtf8());
        QFile(file).setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return file;
    };
    const QString installed = path("New.app"), running = path("Old.app");
    tool(installed + "/Contents/MacOS/thornwake-launcher", 0);
    struct Case {
        std::optional<QString> installed, running;
        QString openTool; // empty: start the executable; "missing": a tool that is not there
        bool started;
        QString log;
        QString argumentsFile;
        QStringList arguments;
    };
    const Case cases[] = {
        {installed,
         running,
         tool(path("open"), 0),
         true,
         "Started the updated launcher.\n",
         path("open.args"),
         {"-n", installed, "--args", "--continue"}},
        {std::nullopt,
         running,
         tool(path("open1"), 1),
         false,
         "The updated launcher would not start (open exited 1).\n",
         path("open1.args"),
         {"-n", running, "--args", "--continue"}},
        {installed,
         running,
         path("missing"),
         false,
         "The updated launcher could not be started: ",
         {},
         {}},
        {std::nullopt, std::nullopt, path("open"), false, "", {}, {}},
        {installed,
         running,
         "",
         true,
         "Started the updated launcher.\n",
         installed + "/Contents/MacOS/thornwake-launcher.args",
         {"--continue"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log.toStdString());
        QObject context;
        QString log;
        QList<bool> reports;
        relaunch(
            {c.installed, c.running, {"--continue"}, c.openTool, "thornwake-launcher"}, &context,
            [&](const QString& line) { log += line; },
            [&](bool started) { reports.append(started); });
        ASSERT_TRUE(QTest::qWaitFor([&] { return !reports.isEmpty(); }, 10000));
        EXPECT_EQ(reports, QList<bool>{c.started});
        EXPECT_EQ(log.left(c.log.size()), c.log);
        auto recorded = [&] {
            return QString::fromUtf8(readFile(c.argumentsFile)).split(u'\n', Qt::SkipEmptyParts);
        };
        if (!c.argumentsFile.isEmpty()) {
            EXPECT_TRUE(QTest::qWaitFor([&] { return recorded() == c.arguments; }, 10000))
                << recorded().join(' ').toStdString();
        }
    }
}

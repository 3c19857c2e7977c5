#include "ui/LogWindow.h"
#include "ui/LogTail.h"
#include "ui/LogView.h"
#include "ui/MainWindow.h"

#include <QFile>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cstdio>

namespace {

void write(const QString& path, const QByteArray& bytes, QIODevice::OpenMode mode) {
    QFile file(path);
    ASSERT_TRUE(file.open(mode));
    file.write(bytes);
}

} // namespace

TEST(LogWindow, showsBothLogsReadOnlyAndFollowsTheLauncherLogThroughTruncationAndReplacement) {
    QTemporaryDir home;
    const QString launcherLog = home.filePath(QStringLiteral("launcher.log"));
    const QString gameLog = home.filePath(QStringLiteral("game.log"));
    write(launcherLog, "Checking for updates.\n", QIODevice::WriteOnly);
    write(gameLog, "--- Thornwake r2 started\n", QIODevice::WriteOnly);

    MainWindow window(Palette::standard());
    window.showLog({launcherLog, gameLog});
    LogWindow* logs = window.logWindow();
    ASSERT_NE(logs, nullptr);
    ASSERT_EQ(logs->tabs()->count(), 2);
    const LogView* view = logs->view(0);
    EXPECT_TRUE(view->textView()->isReadOnly() && view->pathField()->isReadOnly());
    EXPECT_EQ(view->pathField()->text(), launcherLog);
    auto shows = [&](const char* text) {
        return QTest::qWaitFor([&] { return view->textView()->toPlainText() == text; }, 5000);
    };
    EXPECT_TRUE(shows("Checking for updates.\n"));
    write(launcherLog, "more\n", QIODevice::Append);
    EXPECT_TRUE(shows("Checking for updates.\nmore\n"));
    write(launcherLog, "emptied\n", QIODevice::WriteOnly | QIODevice::Truncate);
    EXPECT_TRUE(shows("emptied\n"));
    // Another, longer file renamed into its place.
    write(launcherLog + ".new", "fresh\nand longer\n", QIODevice::WriteOnly);
    ASSERT_EQ(std::rename(QFile::encodeName(launcherLog + ".new").constData(),
                          QFile::encodeName(launcherLog).constData()),
              0);
    EXPECT_TRUE(shows("fresh\nand longer\n"));
    logs->tabs()->setCurrentIndex(1);
    EXPECT_EQ(logs->view(1)->textView()->toPlainText(), "--- Thornwake r2 started\n");
    window.showLog({launcherLog, std::nullopt});
    EXPECT_EQ(logs->tabs()->count(), 1);

    // Of a long log only the end is read, from a line start; a link is not read at all. Lines of
    // 17 bytes do not divide the shown size, so the shown end starts inside one.
    const QByteArray line = "0123456789abcdef\n";
    static_assert(LogTail::shownBytes % 17 != 0);
    const QByteArray lines = line.repeated(LogTail::shownBytes / line.size() + 10);
    write(gameLog, lines, QIODevice::WriteOnly);
    const QString shown = LogTail(gameLog).read().text;
    EXPECT_TRUE(shown.size() <= LogTail::shownBytes &&
                shown.startsWith(QString::fromLatin1(line)) && lines.endsWith(shown.toUtf8()));
    ASSERT_TRUE(QFile::link(gameLog, home.filePath(QStringLiteral("link.log"))));
    EXPECT_TRUE(LogTail(home.filePath(QStringLiteral("link.log"))).read().missing);
}

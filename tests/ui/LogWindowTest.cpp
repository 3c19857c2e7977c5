#include "ui/LogWindow.h"
#include "ui/LogTail.h"
#include "ui/LogView.h"
#include "ui/MainWindow.h"

#include <QFile>
#include <QFontMetrics>
#include <QLabel>
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

QString shownText(const LogView* view) {
    return view->textView()->toPlainText();
}

} // namespace

TEST(LogWindow, showsBothLogsFollowsAppendedLinesAndOutlivesTruncationAndRemoval) {
    QTemporaryDir home;
    const QString launcherLog = home.filePath(QStringLiteral("launcher.log"));
    const QString gameLog = home.filePath(QStringLiteral("game.log"));
    write(launcherLog, "\n--- Launcher opened ---\nChecking for updates.\n", QIODevice::WriteOnly);
    write(gameLog, "--- Thornwake r2 started\n", QIODevice::WriteOnly);

    MainWindow window(Palette::standard());
    window.showLog({launcherLog, gameLog});
    LogWindow* logs = window.logWindow();
    ASSERT_NE(logs, nullptr);
    ASSERT_TRUE(QTest::qWaitForWindowExposed(logs));
    EXPECT_TRUE(logs->windowTitle().contains(QStringLiteral("Log")));
    ASSERT_EQ(logs->tabs()->count(), 2);
    const LogView* view = logs->view(0);
    EXPECT_EQ(shownText(view),
              QStringLiteral("\n--- Launcher opened ---\nChecking for updates.\n"));
    EXPECT_EQ(view->pathField()->text(), launcherLog);
    EXPECT_TRUE(view->pathField()->isReadOnly());
    EXPECT_TRUE(view->textView()->isReadOnly());
    const QFontMetrics metrics(view->textView()->font());
    EXPECT_EQ(metrics.horizontalAdvance(QStringLiteral("iiii")),
              metrics.horizontalAdvance(QStringLiteral("MMMM")))
        << "a monospaced font";

    auto shows = [&](const QString& text) {
        return QTest::qWaitFor([&] { return shownText(view) == text; }, 5000);
    };
    write(launcherLog, "UPDATE_CHECK launcher=current client=current\n", QIODevice::Append);
    EXPECT_TRUE(shows(QStringLiteral(
        "\n--- Launcher opened ---\nChecking for updates.\nUPDATE_CHECK launcher=current "
        "client=current\n")));
    write(launcherLog, "\n--- Launcher opened ---\n", QIODevice::WriteOnly | QIODevice::Truncate);
    EXPECT_TRUE(shows(QStringLiteral("\n--- Launcher opened ---\n")));
    ASSERT_TRUE(QFile::remove(launcherLog));
    EXPECT_TRUE(QTest::qWaitFor([&] { return view->note()->isVisible(); }, 5000));
    EXPECT_EQ(shownText(view), QStringLiteral("\n--- Launcher opened ---\n"));
    write(launcherLog, "again\n", QIODevice::WriteOnly);
    EXPECT_TRUE(shows(QStringLiteral("again\n")));
    EXPECT_FALSE(view->note()->isVisible());
    // Another, longer file renamed into its place.
    write(launcherLog + ".new", "fresh\nand longer\n", QIODevice::WriteOnly);
    ASSERT_EQ(std::rename(QFile::encodeName(launcherLog + ".new").constData(),
                          QFile::encodeName(launcherLog).constData()),
              0);
    EXPECT_TRUE(shows(QStringLiteral("fresh\nand longer\n")));

    logs->tabs()->setCurrentIndex(1);
    EXPECT_EQ(shownText(logs->view(1)), QStringLiteral("--- Thornwake r2 started\n"));
    window.showLog({launcherLog, std::nullopt});
    EXPECT_EQ(logs->tabs()->count(), 1);
}

TEST(LogTail, readsOnlyTheEndOfALongLogFromALineStartAndNoLink) {
    QTemporaryDir home;
    const QString log = home.filePath(QStringLiteral("launcher.log"));
    // Lines of 17 bytes, which do not divide the shown size: the shown end starts inside one.
    const QByteArray line = "0123456789abcdef\n";
    static_assert(LogTail::shownBytes % 17 != 0);
    const QByteArray lines = line.repeated(LogTail::shownBytes / line.size() + 10);
    write(log, lines, QIODevice::WriteOnly);

    LogTail tail(log);
    const LogTail::Change change = tail.read();
    EXPECT_TRUE(change.restart && change.shortened);
    EXPECT_LE(change.text.size(), LogTail::shownBytes);
    EXPECT_TRUE(change.text.startsWith(QString::fromLatin1(line)));
    EXPECT_TRUE(lines.endsWith(change.text.toUtf8()));

    const QString link = home.filePath(QStringLiteral("link.log"));
    ASSERT_TRUE(QFile::link(log, link));
    EXPECT_TRUE(LogTail(link).read().missing);
}

// Times the launcher's own log window: opening a log of a given size until the window has
// painted it, and appending single lines while it is open (read, insert, follow, repaint).
// Prints one JSON object.

#include "ui/LogView.h"
#include "ui/LogWindow.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

QByteArray logLine(int i) {
    switch (i % 4) {
    case 0:
        return "Downloading client: " + QByteArray::number(i % 101) + "% of 143 MB\n";
    case 1:
        return "Thornwake launcher error: The update server could not be reached (attempt " +
               QByteArray::number(i) + ").\n";
    case 2:
        return "\n--- Launcher opened 2026-01-0" + QByteArray::number(i % 9 + 1) +
               "T10:00:00Z ---\n";
    default:
        return "UPDATE_CHECK launcher=current client=available:2026.12." + QByteArray::number(i) +
               "\n";
    }
}

double percentile(std::vector<double> values, double share) {
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, size_t(share * double(values.size())))];
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication application(argc, argv);
    const qint64 bytes = argc > 1 ? QByteArray(argv[1]).toLongLong() : 2000000;
    const int appends = argc > 2 ? QByteArray(argv[2]).toInt() : 300;

    QTemporaryDir directory;
    const QString path = directory.filePath(QStringLiteral("launcher.log"));
    QByteArray content;
    for (int i = 0; content.size() < bytes; ++i)
        content += logLine(i);
    content.truncate(bytes - 1);
    content += '\n';
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size())
        return 1;
    file.flush();

    LogWindow window;
    QElapsedTimer clock;
    clock.start();
    window.showLogs({path, std::nullopt});
    if (!QTest::qWaitForWindowExposed(&window))
        return 1;
    LogView* view = window.view(0);
    view->textView()->viewport()->repaint();
    const double openMs = double(clock.nsecsElapsed()) / 1e6;

    // Per line: what one poll of the view does for it (read the new bytes, insert them, follow
    // the end); then, timed apart, the repaint that the event loop does once per poll, whatever
    // the number of lines the poll found.
    std::vector<double> appendMs;
    std::vector<double> paintMs;
    for (int i = 0; i < appends; ++i) {
        file.write(logLine(i));
        file.flush();
        clock.restart();
        view->refresh();
        appendMs.push_back(double(clock.nsecsElapsed()) / 1e6);
        clock.restart();
        view->textView()->viewport()->repaint();
        paintMs.push_back(double(clock.nsecsElapsed()) / 1e6);
    }
    const bool whole = view->textView()->toPlainText().size() >= content.size();
    std::printf("{\"bytes\": %lld, \"open_ms\": %.1f, \"append_median_ms\": %.3f, "
                "\"append_p95_ms\": %.3f, \"append_max_ms\": %.3f, \"paint_median_ms\": %.3f, "
                "\"paint_p95_ms\": %.3f, \"paint_max_ms\": %.3f, \"appends\": %d, "
                "\"whole\": %s}\n",
                static_cast<long long>(bytes), openMs, percentile(appendMs, 0.5),
                percentile(appendMs, 0.95), percentile(appendMs, 1.0), percentile(paintMs, 0.5),
                percentile(paintMs, 0.95), percentile(paintMs, 1.0), appends,
                whole ? "true" : "false");
    return 0;
}

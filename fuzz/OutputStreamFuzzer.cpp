// The updater's output from the pipe to the window: arbitrary bytes cut into arbitrary chunks go
// through the line framing, the percentage and check-line parsers, and a real controller (over an
// in-memory window) in a check run or an update run. Properties: the lines do not depend on where
// the chunks fall, every line is logged exactly once and in order, and the progress bar stays on
// its scale.
//
// Input: byte 0 picks the run (even: check, odd: update), byte 1 seeds the chunk sizes, the rest
// is the stream.
#include "Expect.h"
#include "RecordingView.h"
#include "ScratchDirectory.h"
#include "app/LauncherController.h"
#include "updater/CheckResult.h"
#include "updater/LineFramer.h"
#include "updater/ProgressPercentage.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace {

// Waits silently, as an updater does while it downloads, and ends with the fuzzer. The region
// "updating" reports a client update first, so that its controller can be moved into an update
// run; no output of the real process is read after that (the event loop no longer runs).
const char* const fixtureUpdater = R"PY(import os, sys, time
args = sys.argv[1:]
region = args[args.index("--region") + 1]
if "--check" in args and region == "updating":
    print("UPDATE_CHECK launcher=current client=available:r2")
    sys.exit(0)
parent = os.getppid()
while os.getppid() == parent:
    time.sleep(0.2)
)PY";

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(content) != content.size())
        std::abort();
}

struct Run {
    RecordingView view;
    std::unique_ptr<LauncherController> controller;
    QString dataDirectory;

    QString logPath() const { return dataDirectory + QStringLiteral("/Thornwake/launcher.log"); }
};

Run* checkRun = nullptr;
Run* updateRun = nullptr;

bool waitFor(const std::function<bool()>& condition) {
    QDeadlineTimer deadline(20000);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    return true;
}

Run* startRun(const QString& regionId) {
    const QString bundle = scratchDirectory() + QStringLiteral("/Fuzz.app");
    auto* run = new Run;
    run->dataDirectory = scratchDirectory() + QStringLiteral("/data-") + regionId;
    writeFile(run->dataDirectory + QStringLiteral("/Thornwake/client/regions/") + regionId +
                  QStringLiteral("/current.json"),
              R"({"releaseId": "r1", "sourceRevision": "0123456789abcdef0123", "worldVersion": "1.2.3.0123456789ab"})");

    LauncherEnvironment environment;
    environment.executablePath = bundle + QStringLiteral("/Contents/MacOS/thornwake-launcher");
    environment.arguments = {environment.executablePath, QStringLiteral("--region"), regionId};
    environment.dataDirectory = run->dataDirectory;
    environment.settingsFile = run->dataDirectory + QStringLiteral("/settings.ini");
    environment.processEnvironment = QProcessEnvironment::systemEnvironment();
    run->controller = std::make_unique<LauncherController>(run->view, environment);
    run->controller->applicationDidFinishLaunching();
    return run;
}

QList<QByteArray> chunksOf(const QByteArray& stream, uint32_t seed) {
    QList<QByteArray> chunks;
    uint32_t state = seed * 2654435761u + 1;
    qsizetype at = 0;
    while (at < stream.size()) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        // Mostly short chunks, so that lines and UTF-8 sequences are split; now and then a long one.
        const qsizetype length = (state & 7) == 0 ? qsizetype(state >> 20) % 4096 + 1
                                                  : qsizetype(state >> 8) % 16 + 1;
        chunks.append(stream.mid(at, length));
        at += length;
    }
    return chunks;
}

QByteArray readFrom(const QString& path, qint64 offset) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) || !file.seek(offset))
        return {};
    return file.readAll();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    static int applicationArgc = 1;
    static char* applicationArgv[] = {(*argv)[0], nullptr};
    (void)argc;
    new QCoreApplication(applicationArgc, applicationArgv);

    const QString resources = scratchDirectory() + QStringLiteral("/Fuzz.app/Contents/Resources");
    writeFile(resources + QStringLiteral("/client_updater.py"), fixtureUpdater);
    writeFile(resources + QStringLiteral("/launcher-config.json"),
              R"({"schemaVersion": 3, "defaultRegion": "idle", "regions": [
                  {"id": "idle", "name": "Idle"}, {"id": "updating", "name": "Updating"}]})");
    writeFile(scratchDirectory() + QStringLiteral("/Fuzz.app/Contents/Info.plist"),
              R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>CFBundleVersion</key><string>0123456789abcdef</string></dict></plist>
)");

    checkRun = startRun(QStringLiteral("idle"));
    updateRun = startRun(QStringLiteral("updating"));
    LauncherController& updating = *updateRun->controller;
    if (!waitFor([&] { return updating.buttonState() == ButtonState::update; }))
        qFatal("the fixture's check run did not offer an update");
    updating.primaryAction();
    if (!waitFor([&] { return updating.mode() == Mode::update && updating.hasProcess(); }) ||
        !checkRun->controller->hasProcess() || !checkRun->controller->isLogOpen() ||
        !updating.isLogOpen())
        qFatal("the fixture runs did not start");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2)
        return 0;
    Run& run = (data[0] & 1) ? *updateRun : *checkRun;
    const QByteArray stream(reinterpret_cast<const char*>(data) + 2, qsizetype(size) - 2);
    const QList<QByteArray> chunks = chunksOf(stream, data[1]);

    // The lines of the whole stream framed at once, the unterminated rest included.
    LineFramer whole;
    QStringList expected = whole.consume(stream);
    if (const QString rest = whole.takeRest(); !rest.isEmpty())
        expected.append(rest);

    LineFramer framer;
    QStringList framed;
    for (const QByteArray& chunk : chunks)
        framed += framer.consume(chunk);
    if (const QString rest = framer.takeRest(); !rest.isEmpty())
        framed.append(rest);
    FUZZ_EXPECT(framed == expected, framed.join(u'|') + QStringLiteral(" vs ") + expected.join(u'|'));

    QByteArray expectedLog;
    for (const QString& line : std::as_const(expected)) {
        FUZZ_EXPECT(!line.isEmpty() && line == line.trimmed() && !line.contains(u'\n'), line);
        expectedLog += line.toUtf8() + '\n';

        const ProgressPercentage percentage = parsePercentage(line);
        FUZZ_EXPECT(percentage.value >= 0 && !std::isnan(percentage.value), line);
        FUZZ_EXPECT(!percentage.shown.isEmpty(), line);
        for (QChar c : percentage.shown)
            FUZZ_EXPECT(c >= u'0' && c <= u'9', percentage.shown);
        if (const std::optional<CheckOutcome> outcome = parseCheck(line)) {
            FUZZ_EXPECT(line.startsWith(QStringLiteral("UPDATE_CHECK ")), line);
        }
    }

    // The controller: its log must grow by exactly these lines. A final line feed ends the rest,
    // so that nothing of this input is left in its buffer for the next one.
    if (QFileInfo(run.logPath()).size() > 2'000'000)
        run.controller->prepareLog(); // empties it, as at a start
    const qint64 logSize = QFileInfo(run.logPath()).size();
    for (const QByteArray& chunk : chunks)
        run.controller->consume(chunk);
    run.controller->consume(QByteArrayLiteral("\n"));
    const QByteArray logged = readFrom(run.logPath(), logSize);
    FUZZ_EXPECT(logged == expectedLog, QString::fromUtf8(logged));
    FUZZ_EXPECT(run.view.progressValue >= 0 && run.view.progressValue <= 100,
                QString::number(run.view.progressValue));
    return 0;
}

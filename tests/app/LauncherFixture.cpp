#include "LauncherFixture.h"

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QTimer>

LauncherFixture::LauncherFixture() {
    QDir().mkpath(dataDirectory());
    QDir().mkpath(bundle() + QStringLiteral("/Contents/MacOS"));
    writeInfoPlist(QString::fromLatin1(defaultVersion));
    write(resource("launcher-config.json"),
          R"({"schemaVersion": 3, "defaultRegion": "eu-west", "regions": [
              {"id": "eu-west", "name": "Europe West"}, {"id": "na-east", "name": "North America East"}]})");
    QFile updater(QStringLiteral(THORNWAKE_SCRIPTED_UPDATER));
    if (!updater.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", THORNWAKE_SCRIPTED_UPDATER);
    write(resource("client_updater.py"), updater.readAll());
    setScenario({});
}

void LauncherFixture::write(const QString& path, const QByteArray& content) const {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

QString LauncherFixture::writeRecorder(const QString& path, int status) const {
    write(path, "#!/bin/sh\nprintf '%s\\n' \"$@\" >> \"$0.args\"\nexit " +
                    QByteArray::number(status) + "\n");
    QFile(path).setPermissions(QFile::ReadOwner | QFile::ExeOwner);
    return path;
}

void LauncherFixture::writeInfoPlist(const QString& version) const {
    write(bundle() + QStringLiteral("/Contents/Info.plist"),
          "<plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>thornwake-launcher"
          "</string><key>CFBundleVersion</key><string>" +
              version.toUtf8() + "</string></dict></plist>\n");
}

void LauncherFixture::setScenario(const QJsonObject& scenario) const {
    write(resource("scenario.json"), QJsonDocument(scenario).toJson());
}

bool LauncherFixture::exists(const QString& name) const {
    return QFile::exists(resource(name));
}

std::unique_ptr<LauncherController> LauncherFixture::launch(const QStringList& arguments) {
    LauncherEnvironment environment;
    environment.executablePath = bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher");
    environment.arguments = QStringList{environment.executablePath} + arguments;
    environment.dataDirectory = dataDirectory();
    environment.settingsFile = root() + QStringLiteral("/settings.ini");
    environment.interpreter = interpreter;
    environment.processEnvironment = QProcessEnvironment::systemEnvironment();
    environment.processEnvironment.insert("THORNWAKE_TEST_INHERITED", "kept");
    environment.processEnvironment.insert("PYTHONUNBUFFERED", "0");
    environment.openTool = openTool;
    auto controller = std::make_unique<LauncherController>(view, environment);
    QObject::connect(controller.get(), &LauncherController::quitRequested,
                     [this] { ++quitSignals; });
    controller->applicationDidFinishLaunching();
    return controller;
}

QList<QJsonObject> LauncherFixture::runs() const {
    QList<QJsonObject> list;
    QFile file(resource("runs.jsonl"));
    if (file.open(QIODevice::ReadOnly))
        for (const QByteArray& line : file.readAll().split('\n'))
            if (!line.isEmpty())
                list.append(QJsonDocument::fromJson(line).object());
    return list;
}

QStringList LauncherFixture::runModes() const {
    QStringList modes;
    for (const QJsonObject& run : runs()) {
        const QJsonArray argv = run.value("argv").toArray();
        modes.append(argv.contains("--check")         ? "check"
                     : argv.contains("--update-only") ? "update"
                                                      : "play");
    }
    return modes;
}

QByteArray LauncherFixture::logBytes() const {
    QFile file(supportDirectory() + QStringLiteral("/launcher.log"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    if (condition())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (condition())
            loop.quit();
    });
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    poll.start(5);
    loop.exec();
    return condition();
}

bool waitForIdle(const LauncherController& controller, int timeoutMs) {
    const bool idle = waitFor([&] { return !controller.hasProcess(); }, timeoutMs);
    // Deferred deletions and queued work of the finished run settle as well.
    QCoreApplication::processEvents();
    return idle;
}

QJsonObject printing(const QStringList& lines, int exitStatus) {
    QJsonArray out;
    for (const QString& line : lines)
        out.append(line + u'\n');
    return steps(out, {{"exit", exitStatus}});
}

QJsonObject steps(const QJsonArray& out, const QJsonObject& extra) {
    QJsonObject entry = extra;
    entry.insert("out", out);
    return entry;
}

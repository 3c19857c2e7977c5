#include "LauncherFixture.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QTest>

namespace {

void writeFile(const QString& path, const QByteArray& content) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        qFatal("cannot write %s", qPrintable(path));
    file.write(content);
}

} // namespace

QByteArray scriptedUpdater() {
    QFile file(QStringLiteral(THORNWAKE_SCRIPTED_UPDATER));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("cannot read %s", THORNWAKE_SCRIPTED_UPDATER);
    return file.readAll();
}

LauncherFixture::LauncherFixture() {
    QDir().mkpath(dataDirectory());
    QDir().mkpath(bundle() + QStringLiteral("/Contents/MacOS"));
    writeInfoPlist(QString::fromLatin1(defaultVersion));
    writeConfig(R"({"schemaVersion": 3, "defaultRegion": "eu-west", "regions": [
        {"id": "eu-west", "name": "Europe West"}, {"id": "na-east", "name": "North America East"}]})");
    writeFile(resources() + QStringLiteral("/client_updater.py"), scriptedUpdater());
    setScenario({});
}

QString LauncherFixture::executable() const {
    if (!bareDirectory.isEmpty())
        return bareDirectory + QStringLiteral("/thornwake-launcher");
    return bundle() + QStringLiteral("/Contents/MacOS/thornwake-launcher");
}

void LauncherFixture::writeConfig(const QByteArray& json) {
    writeFile(resources() + QStringLiteral("/launcher-config.json"), json);
}

void LauncherFixture::writeInfoPlist(const std::optional<QString>& version) {
    QByteArray plist = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
	<key>CFBundleExecutable</key>
	<string>thornwake-launcher</string>
)";
    if (version)
        plist += "\t<key>CFBundleVersion</key>\n\t<string>" + version->toUtf8() + "</string>\n";
    plist += "</dict>\n</plist>\n";
    writeFile(bundle() + QStringLiteral("/Contents/Info.plist"), plist);
}

void LauncherFixture::removeUpdater() {
    QFile::remove(resources() + QStringLiteral("/client_updater.py"));
}

void LauncherFixture::runBare() {
    const QString from = resources();
    bareDirectory = root() + QStringLiteral("/bare");
    QDir().mkpath(bareDirectory);
    for (const char* name : {"client_updater.py", "launcher-config.json", "scenario.json"})
        QFile::copy(from + u'/' + QLatin1String(name), bareDirectory + u'/' + QLatin1String(name));
}

void LauncherFixture::setScenario(const QJsonObject& scenario) {
    writeFile(resources() + QStringLiteral("/scenario.json"), QJsonDocument(scenario).toJson());
}

void LauncherFixture::writeMetadata(const QString& regionId, const QByteArray& json) {
    writeFile(supportDirectory() + QStringLiteral("/client/regions/") + regionId +
                  QStringLiteral("/current.json"),
              json);
}

LauncherEnvironment LauncherFixture::environment(const QStringList& arguments) const {
    LauncherEnvironment environment;
    environment.arguments = QStringList{executable()} + arguments;
    environment.executablePath = executable();
    environment.dataDirectory = dataDirectory();
    environment.settingsFile = root() + QStringLiteral("/settings.ini");
    environment.interpreter = interpreter;
    environment.processEnvironment = QProcessEnvironment::systemEnvironment();
    environment.processEnvironment.insert(QStringLiteral("THORNWAKE_TEST_INHERITED"),
                                          QStringLiteral("kept"));
    environment.processEnvironment.insert(QStringLiteral("PYTHONUNBUFFERED"), QStringLiteral("0"));
    environment.openTool = openTool;
    return environment;
}

std::unique_ptr<LauncherController> LauncherFixture::create(const QStringList& arguments) {
    auto controller = std::make_unique<LauncherController>(view, environment(arguments));
    QObject::connect(controller.get(), &LauncherController::quitRequested,
                     [this] { ++quitSignals; });
    return controller;
}

std::unique_ptr<LauncherController> LauncherFixture::launch(const QStringList& arguments) {
    auto controller = create(arguments);
    controller->applicationDidFinishLaunching();
    return controller;
}

QList<QJsonObject> LauncherFixture::runs() const {
    QList<QJsonObject> list;
    QFile file(resources() + QStringLiteral("/runs.jsonl"));
    if (!file.open(QIODevice::ReadOnly))
        return list;
    for (const QByteArray& line : file.readAll().split('\n'))
        if (!line.isEmpty())
            list.append(QJsonDocument::fromJson(line).object());
    return list;
}

QStringList LauncherFixture::runModes() const {
    QStringList modes;
    for (const QJsonObject& run : runs()) {
        const QJsonArray argv = run.value(QStringLiteral("argv")).toArray();
        QStringList arguments;
        for (const QJsonValue& value : argv)
            arguments.append(value.toString());
        modes.append(arguments.contains(QStringLiteral("--check")) ? QStringLiteral("check")
                     : arguments.contains(QStringLiteral("--update-only"))
                         ? QStringLiteral("update")
                         : QStringLiteral("play"));
    }
    return modes;
}

QString LauncherFixture::logText() const {
    QFile file(supportDirectory() + QStringLiteral("/launcher.log"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

bool waitFor(const std::function<bool()>& condition, int timeoutMs) {
    QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        QTest::qSleep(2);
    }
    return true;
}

bool waitForIdle(const LauncherController& controller, int timeoutMs) {
    // Deferred deletions and queued work of the finished run settle as well.
    const bool idle = waitFor([&] { return !controller.hasProcess(); }, timeoutMs);
    QCoreApplication::processEvents();
    return idle;
}

QJsonObject printing(const QStringList& lines, int exitStatus) {
    QJsonArray out;
    for (const QString& line : lines)
        out.append(line + u'\n');
    return QJsonObject{{QStringLiteral("out"), out}, {QStringLiteral("exit"), exitStatus}};
}

#include "app/LauncherController.h"

#include "app/DesktopOpen.h"
#include "config/Regions.h"
#include "config/SupportDirectory.h"
#include "install/InstalledMetadata.h"
#include "install/Relaunch.h"
#include "install/RetiredBundleCleanup.h"
#include "install/RunCompletion.h"
#include "updater/CheckResult.h"
#include "updater/ProgressPercentage.h"
#include "updater/UpdaterInvocation.h"
#include "updater/UpdaterProcess.h"

#include <QDateTime>
#include <QFileInfo>
#include <QProcess>
#include <QTextBoundaryFinder>
#include <QTimer>

namespace {

const QString kEllipsis = QStringLiteral("\u2026");
const QString kSelectedRegionKey = QStringLiteral("selectedRegion");
const QString kWorking = QStringLiteral("Working\u2026");

QString buttonTitle(ButtonState state) {
    switch (state) {
    case ButtonState::checking:
        return QStringLiteral("Checking\u2026");
    case ButtonState::updating:
        return QStringLiteral("Updating\u2026");
    case ButtonState::starting:
        return QStringLiteral("Starting\u2026");
    case ButtonState::update:
        return QStringLiteral("Update");
    case ButtonState::play:
        return QStringLiteral("Play");
    case ButtonState::retry:
        return QStringLiteral("Retry");
    }
    return {};
}

QString buttonHelp(ButtonState state) {
    switch (state) {
    case ButtonState::update:
        return QStringLiteral("Downloads and installs the update, then returns to Play");
    case ButtonState::play:
        return QStringLiteral("Starts Thornwake");
    case ButtonState::retry:
        return QStringLiteral("Checks for updates again");
    default:
        return kWorking;
    }
}

ButtonState busyState(Mode mode) {
    switch (mode) {
    case Mode::check:
        return ButtonState::checking;
    case Mode::update:
        return ButtonState::updating;
    case Mode::play:
        return ButtonState::starting;
    }
    return ButtonState::checking;
}

QString runLogLine(Mode mode) {
    switch (mode) {
    case Mode::check:
        return QStringLiteral("Checking for updates.\n");
    case Mode::update:
        return QStringLiteral("Starting update.\n");
    case Mode::play:
        return QStringLiteral("Starting update check.\n");
    }
    return {};
}

bool isReadableFile(const QString& path) {
    const QFileInfo info(path);
    return info.isFile() && info.isReadable();
}

// Trims spaces and tabs only (Unicode Zs and U+0009), not line breaks.
QString trimSpacesAndTabs(const QString& text) {
    auto isSpace = [](QChar c) {
        return c == QChar(u'\t') || c.category() == QChar::Separator_Space;
    };
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isSpace(text[begin]))
        ++begin;
    while (end > begin && isSpace(text[end - 1]))
        --end;
    return text.sliced(begin, end - begin);
}

// Whether `position` falls between two user-perceived characters of the text.
bool isCharacterBoundary(const QString& text, qsizetype position) {
    if (position <= 0 || position >= text.size())
        return true;
    // No character below U+0300 joins a neighbour below it into one (no combining or prepended
    // marks are there), except a line feed after a carriage return: the common case needs no
    // further rules.
    const char16_t before = text[position - 1].unicode();
    const char16_t after = text[position].unicode();
    if (before < 0x300 && after < 0x300 && !(before == u'\r' && after == u'\n'))
        return true;
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    finder.setPosition(position);
    return finder.isAtBoundary();
}

// Prefix and suffix tests on whole characters: a combining mark after a prefix belongs to the
// prefix's last character, which then differs from the one the prefix ends with.
bool startsWithCharacters(const QString& line, const QString& prefix) {
    return line.startsWith(prefix) && isCharacterBoundary(line, prefix.size());
}

bool endsWithCharacters(const QString& line, const QString& suffix) {
    return line.endsWith(suffix) && isCharacterBoundary(line, line.size() - suffix.size());
}

// The parent directory of a path as a string: everything before the last component.
QString parentPath(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const qsizetype slash = path.lastIndexOf(u'/');
    if (slash < 0)
        return QStringLiteral(".");
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString pathExtension(QString path) {
    while (path.size() > 1 && path.endsWith(u'/'))
        path.chop(1);
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot <= 0 ? QString() : name.mid(dot + 1);
}

} // namespace

LauncherController::LauncherController(LauncherView& view, LauncherEnvironment environment,
                                       QObject* parent)
    : QObject(parent)
    , view(view)
    , environment(std::move(environment))
    , bundle(MainBundle::forExecutable(this->environment.executablePath))
    , runningVersion(bundle.launcherVersion())
    , launchOptions(LaunchOptions::parse(this->environment.arguments)) {
    hideAfterGameStart.setSingleShot(true);
    hideAfterGameStart.setInterval(250);
    connect(&hideAfterGameStart, &QTimer::timeout, this, [this] { this->view.hideWindow(); });
}

LauncherController::~LauncherController() = default;

// ---- Lifecycle -------------------------------------------------------------------------------

void LauncherController::applicationDidFinishLaunching() {
    // The window's initial busy presentation and footer.
    currentButtonState = ButtonState::checking;
    view.setButtonTitle(buttonTitle(ButtonState::checking));
    view.setButtonEnabled(false);
    view.setButtonHelp(kWorking);
    view.redrawButton();
    refreshFooter();

    migrateSupportDirectory();
    prepareLog();
    if (!environment.startupNotice.isEmpty())
        appendLog(environment.startupNotice);
    removeRetiredBundle();
    continuePending = launchOptions.automaticContinue;
    loadRegions();
    view.showWindow();
    launched = true;
}

bool LauncherController::gameIsRunning() const {
    return gameStarted && process && process->isRunning();
}

bool LauncherController::applicationShouldTerminate() const {
    return !gameIsRunning();
}

void LauncherController::applicationWillTerminate() {
    if (process && process->isRunning()) {
        process->terminate();
        process->abandon();
    }
    log.close();
}

bool LauncherController::windowShouldClose() {
    if (gameIsRunning()) {
        view.hideWindow();
        return false;
    }
    if (process && process->isRunning() && !gameStarted)
        process->terminate();
    return true;
}

void LauncherController::terminate() {
    if (terminating || !applicationShouldTerminate())
        return;
    terminating = true;
    applicationWillTerminate();
    emit quitRequested();
}

void LauncherController::showRequested(const QString& activationToken) {
    // Before the launch has finished the window is about to show anyway; while the game runs it
    // stays hidden, as it does for the game's whole run.
    if (!launched || terminating || gameIsRunning())
        return;
    view.bringWindowToFront(activationToken);
}

// ---- Actions ---------------------------------------------------------------------------------

void LauncherController::primaryAction() {
    switch (currentButtonState) {
    case ButtonState::checking:
    case ButtonState::updating:
    case ButtonState::starting:
        return;
    case ButtonState::update:
        startUpdater(Mode::update);
        return;
    case ButtonState::play:
        playRequested = true;
        startUpdater(Mode::check);
        return;
    case ButtonState::retry:
        startUpdater(Mode::check);
        return;
    }
}

void LauncherController::regionChanged() {
    if (process)
        return;
    const std::optional<Region> region = selectedRegion();
    if (!region)
        return;
    settings()->setValue(kSelectedRegionKey, region->id);
    refreshFooter();
    startUpdater(Mode::check);
}

void LauncherController::openLog() {
    LogFiles files{supportDirectory() + QStringLiteral("/launcher.log"), std::nullopt};
    if (toolkitOpenIsReliable()) {
        view.openFile(files.launcherLog);
        return;
    }
    if (const std::optional<Region> region = selectedRegion(); region) {
        const QString gameLog = supportDirectory() + QStringLiteral("/client/regions/") +
                                region->id + QStringLiteral("/game.log");
        const QFileInfo info(gameLog);
        if (info.isFile() && !info.isSymLink())
            files.gameLog = gameLog;
    }
    // Where the desktop has nothing to show it with, the launcher's own window does.
    openWithXdgOpen(files.launcherLog, this, [this, files](bool opened) {
        if (!opened)
            view.showLog(files);
    });
}

// ---- Button states and failures ---------------------------------------------------------------

void LauncherController::setButton(ButtonState state) {
    currentButtonState = state;
    view.setButtonTitle(buttonTitle(state));
    view.setButtonEnabled(true);
    view.setButtonHelp(buttonHelp(state));
    view.redrawButton();
}

void LauncherController::stopProgress() {
    view.setProgressAnimating(false);
    view.setProgressIndeterminate(false);
    view.setProgressValue(0);
    view.setProgressHidden(true);
}

void LauncherController::presentFailure(const QString& status, const QString& message) {
    stopProgress();
    view.setStatusText(status);
    view.setDetailText(message);
    view.setDetailToolTip(message);
    setButton(ButtonState::retry);
    view.setRegionPickerEnabled(true);
    view.setLogButtonHidden(!log.isOpen());
    // A failure must reach the player even when the window was hidden for the game.
    hideAfterGameStart.stop();
    if (launched && !view.isWindowVisible())
        view.showWindow();
    view.requestAttention();
}

void LauncherController::showFailure(const QString& message) {
    presentFailure(QStringLiteral("Couldn\u2019t start the game"), message);
}

void LauncherController::presentCheckFailure(const QString& message) {
    presentFailure(QStringLiteral("Couldn\u2019t check for updates"), message);
}

void LauncherController::presentCheckSuccess(const QString& status, const QString& detail) {
    stopProgress();
    view.setRegionPickerEnabled(true);
    view.setLogButtonHidden(true);
    view.setDetailToolTip(std::nullopt);
    refreshFooter();
    view.setStatusText(status);
    view.setDetailText(detail);
}

// ---- Updater runs ----------------------------------------------------------------------------

void LauncherController::startUpdater(Mode mode) {
    if (process)
        return;
    const std::optional<Region> region = selectedRegion();
    if (!region)
        return;
    if (bundle.resourceDirectory.isEmpty()) {
        showFailure(QStringLiteral("The launcher resources could not be found."));
        return;
    }
    const QString scriptPath = bundle.resourceDirectory + QStringLiteral("/client_updater.py");
    const QString configurationPath =
        bundle.resourceDirectory + QStringLiteral("/launcher-config.json");
    if (!isReadableFile(scriptPath) || !isReadableFile(configurationPath)) {
        showFailure(QStringLiteral("The launcher installation is incomplete."));
        return;
    }

    currentMode = mode;
    gameStarted = false;
    launcherInstalled = false;
    installedLauncher.reset();
    errorDetail.reset();
    outcome.reset();
    outputBuffer.clear();

    view.setRegionPickerEnabled(false);
    view.setLogButtonHidden(true);
    currentButtonState = busyState(mode);
    view.setButtonTitle(buttonTitle(currentButtonState));
    view.setButtonEnabled(false);
    view.setButtonHelp(kWorking);
    view.redrawButton();
    view.setStatusText(QStringLiteral("Checking for updates\u2026"));
    view.setDetailText(QStringLiteral("Connecting securely to ") + region->name);
    view.setDetailToolTip(std::nullopt);
    view.setProgressHidden(false);
    view.setProgressIndeterminate(true);
    view.setProgressAnimating(true);

    UpdaterInvocation invocation;
    invocation.scriptPath = scriptPath;
    invocation.configurationPath = configurationPath;
    invocation.regionId = region->id;
    invocation.launcherBundle = launcherBundleURL();
    invocation.launcherVersion = launcherVersion();
    invocation.relaunchedFrom = launchOptions.relaunchedFrom;
    invocation.noSelfUpdate = launchOptions.noSelfUpdate;
    invocation.gameArguments = launchOptions.gameArguments;

    auto* run = new UpdaterProcess(this);
    // The context object (`this`) drops late deliveries once the controller is gone.
    connect(run, &UpdaterProcess::outputReceived, this, &LauncherController::consume);
    connect(run, &UpdaterProcess::finished, this, &LauncherController::processFinished);
    if (!run->start(environment.interpreter, invocation.arguments(mode),
                    updaterEnvironment(environment.processEnvironment))) {
        run->disconnect(this);
        run->deleteLater();
        showFailure(QStringLiteral("The update service could not be started."));
        return;
    }
    process = run;
    appendLog(runLogLine(mode));
    emit updaterStarted(mode);
}

void LauncherController::consume(const QByteArray& data) {
    const QStringList lines = outputBuffer.consume(data);
    for (const QString& line : lines) {
        appendLog(line + u'\n');
        handleOutputLine(line);
    }
}

void LauncherController::applyPercentage(const QString& line, const QString& statusPrefix) {
    const ProgressPercentage percentage = parsePercentage(line);
    view.setProgressIndeterminate(false);
    view.setProgressAnimating(false);
    view.setProgressValue(std::clamp(percentage.value, 0.0, 100.0));
    view.setStatusText(statusPrefix + percentage.shown + u'%');
}

void LauncherController::acceptInstalledLauncher(const QString& line) {
    const QString path = line.mid(22);
    const std::optional<QString> running = launcherBundleURL();
    if (!running)
        return;
    if (pathExtension(path) == QStringLiteral("app") && parentPath(path) == parentPath(*running))
        installedLauncher = path;
}

void LauncherController::startGame() {
    gameStarted = true;
    const std::optional<Region> region = selectedRegion();
    view.setStatusText(QStringLiteral("Launching ") +
                       (region ? region->name : QStringLiteral("Thornwake")) + kEllipsis);
    view.setProgressAnimating(false);
    view.setProgressValue(100);
    hideAfterGameStart.start();
}

void LauncherController::handleOutputLine(const QString& line) {
    static const QString errorMarker = QStringLiteral("Thornwake launcher error:");
    if (startsWithCharacters(line, QStringLiteral("UPDATE_CHECK "))) {
        outcome = parseCheck(line);
        return;
    }
    if (startsWithCharacters(line, errorMarker)) {
        errorDetail = trimSpacesAndTabs(QString(line).remove(errorMarker));
        return;
    }
    // Check runs only report their result and errors.
    if (currentMode == Mode::check)
        return;

    if (startsWithCharacters(line, QStringLiteral("Downloading launcher:"))) {
        applyPercentage(line, QStringLiteral("Downloading launcher \u2014 "));
    } else if (startsWithCharacters(line, QStringLiteral("Updating launcher to "))) {
        view.setStatusText(QStringLiteral("Updating the launcher\u2026"));
        view.setDetailText(
            QString(line)
                .replace(QStringLiteral("Updating launcher to "), QStringLiteral("Launcher "))
                .remove(kEllipsis));
    } else if (line == QStringLiteral("Verifying and installing launcher\u2026")) {
        view.setProgressIndeterminate(true);
        view.setProgressAnimating(true);
        view.setStatusText(QStringLiteral("Installing the launcher\u2026"));
    } else if (startsWithCharacters(line, QStringLiteral("Launcher installed at "))) {
        acceptInstalledLauncher(line);
    } else if (startsWithCharacters(line, QStringLiteral("Installed launcher ")) &&
               endsWithCharacters(line, QStringLiteral("Restarting\u2026"))) {
        launcherInstalled = true;
        view.setStatusText(QStringLiteral("Restarting the launcher\u2026"));
        view.setDetailText(QStringLiteral("The launcher was updated and is starting again."));
    } else if (startsWithCharacters(line, QStringLiteral("Downloading client:"))) {
        applyPercentage(line, QStringLiteral("Downloading update \u2014 "));
    } else if (startsWithCharacters(line, QStringLiteral("Updating to client "))) {
        view.setStatusText(QStringLiteral("Downloading the latest update\u2026"));
        view.setDetailText(
            QString(line)
                .replace(QStringLiteral("Updating to client "), QStringLiteral("Version "))
                .remove(kEllipsis));
    } else if (line == QStringLiteral("Verifying and installing client\u2026")) {
        view.setProgressIndeterminate(true);
        view.setProgressAnimating(true);
        view.setStatusText(QStringLiteral("Preparing your game\u2026"));
    } else if (startsWithCharacters(line, QStringLiteral("Installed client ")) ||
               (startsWithCharacters(line, QStringLiteral("Client ")) &&
                endsWithCharacters(line, QStringLiteral(" is current.")))) {
        view.setStatusText(QStringLiteral("Ready to play"));
        showInstalledVersion(QStringLiteral("Version"));
        refreshFooter();
    } else if (line == QStringLiteral("Starting Thornwake\u2026")) {
        startGame();
    }
}

void LauncherController::clearProcess() {
    if (!process)
        return;
    process->disconnect(this);
    process->deleteLater();
    process = nullptr;
}

void LauncherController::processFinished(int status) {
    const QString rest = outputBuffer.takeRest();
    if (!rest.isEmpty()) {
        appendLog(rest + u'\n');
        handleOutputLine(rest);
    }
    clearProcess();

    RunFacts facts;
    facts.sawLauncherInstalled = launcherInstalled;
    facts.mode = currentMode;
    facts.sawGameStart = gameStarted;
    facts.status = status;
    facts.checkOutcome = outcome;
    const QString preserved =
        QStringLiteral("The update could not be completed. Your installed game was preserved.");

    switch (completionRow(facts)) {
    case CompletionRow::relaunch: {
        QPointer<LauncherController> self(this);
        relaunch([self](bool started) {
            if (!self)
                return;
            if (started) {
                self->terminate();
                return;
            }
            self->launcherInstalled = false;
            self->showFailure(
                QStringLiteral("The updated launcher was installed but could not be started."));
        });
        return;
    }
    case CompletionRow::launcherUpdateFailed:
        launcherInstalled = false;
        showFailure(
            errorDetail.value_or(QStringLiteral("The launcher update could not be completed.")));
        return;
    case CompletionRow::launcherUpdateAvailable:
        presentCheckSuccess(QStringLiteral("Launcher update available"),
                            QStringLiteral("Launcher ") + *outcome->launcherVersion);
        setButton(ButtonState::update);
        runFollowUps(true, false);
        return;
    case CompletionRow::clientUpdateAvailable:
        presentCheckSuccess(QStringLiteral("Update available"),
                            QStringLiteral("Version ") + *outcome->clientRelease);
        setButton(ButtonState::update);
        runFollowUps(true, false);
        return;
    case CompletionRow::upToDate: {
        const std::optional<Region> region = selectedRegion();
        presentCheckSuccess(QStringLiteral("Ready to play ") +
                                (region ? region->name : QStringLiteral("Thornwake")),
                            QStringLiteral("Your game is up to date."));
        showInstalledVersion(QStringLiteral("Installed"));
        setButton(ButtonState::play);
        runFollowUps(false, true);
        return;
    }
    case CompletionRow::checkFailed:
        presentCheckFailure(
            errorDetail.value_or(QStringLiteral("The update check could not be completed.")));
        return;
    case CompletionRow::updateInstalled:
        startUpdater(Mode::check);
        return;
    case CompletionRow::updateFailed:
    case CompletionRow::playFailed:
        showFailure(errorDetail.value_or(preserved));
        return;
    case CompletionRow::gameEnded:
        terminate();
        return;
    case CompletionRow::gameFailed:
        gameStarted = false;
        showFailure(QStringLiteral("The game closed unexpectedly. You can try again."));
        return;
    case CompletionRow::gameDidNotStart:
        showFailure(QStringLiteral("The game closed before it finished starting."));
        return;
    }
}

void LauncherController::runFollowUps(bool somethingNewer, bool upToDate) {
    if (continuePending) {
        continuePending = false;
        if (somethingNewer) {
            startUpdater(Mode::update);
            return;
        }
    }
    if (playRequested) {
        playRequested = false;
        if (upToDate)
            startUpdater(Mode::play);
    }
}

void LauncherController::relaunch(std::function<void(bool started)> completion) {
    const std::optional<QString> target =
        installedLauncher ? installedLauncher : launcherBundleURL();
    if (!target) {
        completion(false);
        return;
    }
    const std::optional<Region> region = selectedRegion();
    const QStringList launcherArguments = relaunchArguments(
        region ? std::optional<QString>(region->id) : std::nullopt, launcherVersion(),
        launchOptions.noSelfUpdate, launchOptions.gameArguments);

    if (environment.openTool.isEmpty()) {
        // No open tool here: start the successor's executable directly, detached, so it outlives
        // this launcher. Whether it started is known at once.
        const MainBundle successor{*target, *target + QStringLiteral("/Contents/Resources"),
                                   *target + QStringLiteral("/Contents/Info.plist")};
        const QString executableName =
            successor.infoString(QStringLiteral("CFBundleExecutable"))
                .value_or(QFileInfo(environment.executablePath).fileName());
        QProcess starter;
        starter.setProgram(*target + QStringLiteral("/Contents/MacOS/") + executableName);
        starter.setArguments(launcherArguments);
        if (!starter.startDetached()) {
            appendLog(QStringLiteral("The updated launcher could not be started: ") +
                      starter.errorString() + u'\n');
            completion(false);
            return;
        }
        appendLog(QStringLiteral("Started the updated launcher.\n"));
        completion(true);
        return;
    }

    auto* open = new QProcess(this);
    open->setProgram(environment.openTool);
    open->setArguments(openToolArguments(*target, launcherArguments));
    open->setInputChannelMode(QProcess::ForwardedInputChannel);
    open->setProcessChannelMode(QProcess::ForwardedChannels);
    QPointer<LauncherController> self(this);
    connect(
        open, &QProcess::finished, this,
        [self, open, completion](int exitCode, QProcess::ExitStatus exitStatus) {
            open->deleteLater();
            const int status = exitStatus == QProcess::CrashExit && exitCode == 0 ? -1 : exitCode;
            if (self) {
                self->appendLog(status == 0 ? QStringLiteral("Started the updated launcher.\n")
                                            : QStringLiteral("The updated launcher would not start "
                                                             "(open exited %1).\n")
                                                  .arg(status));
            }
            completion(status == 0);
        });
    open->start();
    if (!open->waitForStarted(-1)) {
        open->disconnect(this);
        appendLog(QStringLiteral("The updated launcher could not be started: ") +
                  open->errorString() + u'\n');
        open->deleteLater();
        completion(false);
    }
}

// ---- Start-up steps ----------------------------------------------------------------------------

void LauncherController::migrateSupportDirectory() {
    ::migrateSupportDirectory(supportDirectory());
}

void LauncherController::prepareLog() {
    log.prepare(supportDirectory(), QDateTime::currentDateTimeUtc());
}

void LauncherController::removeRetiredBundle() {
    const QStringList candidates = retiredBundleCandidates(launcherBundleURL());
    if (!candidates.isEmpty())
        removeRetiredBundlesInBackground(candidates);
}

void LauncherController::loadRegions() {
    auto fail = [this] {
        showFailure(QStringLiteral("The launcher region configuration is invalid."));
        view.setButtonEnabled(false);
        view.setRegionPickerEnabled(false);
    };
    if (bundle.resourceDirectory.isEmpty())
        return fail();
    const std::optional<Regions> loaded =
        Regions::load(bundle.resourceDirectory + QStringLiteral("/launcher-config.json"));
    if (!loaded)
        return fail();

    regionList = loaded->regions;
    QStringList titles;
    for (const Region& region : std::as_const(regionList))
        titles.append(region.name);
    view.addRegionItems(titles);

    std::optional<QString> stored;
    const QVariant storedValue = settings()->value(kSelectedRegionKey);
    if (storedValue.typeId() == QMetaType::QString)
        stored = storedValue.toString();
    const std::optional<qsizetype> index =
        chooseRegionIndex(regionList, launchOptions.region, stored, loaded->defaultRegion);
    if (!index)
        return fail();
    view.selectRegionIndex(static_cast<int>(*index));
    regionChanged();
}

// ---- Storage, versions and texts ----------------------------------------------------------------

void LauncherController::appendLog(const QString& text) {
    log.append(text);
}

const QString& LauncherController::supportDirectory() {
    if (!supportDirectoryLocation)
        supportDirectoryLocation = supportDirectoryIn(environment.dataDirectory);
    return *supportDirectoryLocation;
}

std::optional<Region> LauncherController::selectedRegion() const {
    const int index = view.selectedRegionIndex();
    if (index < 0 || index >= regionList.size())
        return std::nullopt;
    return regionList.at(index);
}

std::optional<QString> LauncherController::launcherBundleURL() const {
    return bundle.launcherBundleURL();
}

std::optional<QString> LauncherController::launcherVersion() const {
    return runningVersion;
}

QString LauncherController::currentMetadataURL() {
    const std::optional<Region> region = selectedRegion();
    return currentMetadataPath(supportDirectory(),
                               region ? std::optional<QString>(region->id) : std::nullopt);
}

QString LauncherController::footerText() {
    return ::footerText(launcherVersion(), InstalledMetadata::read(currentMetadataURL()));
}

void LauncherController::refreshFooter() {
    const QString footer = footerText();
    view.setFooterText(footer);
    view.setFooterToolTip(footer);
}

void LauncherController::showInstalledVersion(const QString& prefix) {
    const std::optional<InstalledMetadata> metadata = InstalledMetadata::read(currentMetadataURL());
    if (!metadata)
        return;
    const InstalledVersionDetail detail = installedVersionDetail(prefix, *metadata);
    view.setDetailText(detail.text);
    view.setDetailToolTip(detail.toolTip);
}

qint64 LauncherController::processId() const {
    return process ? process->processId() : 0;
}

std::unique_ptr<QSettings> LauncherController::settings() const {
    if (environment.settingsFile.isEmpty())
        return std::make_unique<QSettings>(QStringLiteral("Thornwake"),
                                           QStringLiteral("Thornwake Launcher"));
    return std::make_unique<QSettings>(environment.settingsFile, QSettings::IniFormat);
}

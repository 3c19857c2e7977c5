#include "app/LauncherController.h"

#include "app/DesktopOpen.h"
#include "config/Regions.h"
#include "config/SupportDirectory.h"
#include "install/InstalledMetadata.h"
#include "install/Relaunch.h"
#include "install/RetiredBundleCleanup.h"
#include "updater/UpdaterProcess.h"

#include <QDateTime>
#include <QFileInfo>
#include <QTimer>

namespace {

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

} // namespace

LauncherController::LauncherController(LauncherView& view, LauncherEnvironment environment,
                                       QObject* parent)
    : QObject(parent)
    , view(view)
    , environment(std::move(environment))
    , bundle(MainBundle::forExecutable(this->environment.executablePath))
    , runningVersion(bundle.launcherVersion())
    , options(LaunchOptions::parse(this->environment.arguments)) {
    hideAfterGameStart.setSingleShot(true);
    hideAfterGameStart.setInterval(250);
    connect(&hideAfterGameStart, &QTimer::timeout, this, [this] { this->view.hideWindow(); });
}

LauncherController::~LauncherController() = default;

// ---- Lifecycle -------------------------------------------------------------------------------

void LauncherController::applicationDidFinishLaunching() {
    // The window's initial busy presentation and footer.
    buttonState = ButtonState::checking;
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
    automaticUpdatePending = options.automaticContinue;
    loadRegions();
    view.showWindow();
    launched = true;
}

bool LauncherController::gameIsRunning() const {
    return run.sawGameStart && process && process->isRunning();
}

bool LauncherController::applicationShouldTerminate() const {
    return !gameIsRunning();
}

void LauncherController::applicationWillTerminate() {
    if (process && process->isRunning()) {
        process->terminate();
        process->abandon();
    }
    logHandle.close();
}

bool LauncherController::windowShouldClose() {
    if (gameIsRunning()) {
        view.hideWindow();
        return false;
    }
    if (process && process->isRunning() && !run.sawGameStart)
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
    switch (buttonState) {
    case ButtonState::checking:
    case ButtonState::updating:
    case ButtonState::starting:
        return;
    case ButtonState::update:
        startUpdater(Mode::update);
        return;
    case ButtonState::play:
        playAfterCheck = true;
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
    // Writing the store flushes it to the disk, twice: not worth it for the value it holds.
    const std::unique_ptr<QSettings> store = settings();
    const QVariant stored = store->value(kSelectedRegionKey);
    if (stored.typeId() != QMetaType::QString || stored.toString() != region->id)
        store->setValue(kSelectedRegionKey, region->id);
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
    buttonState = state;
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
    view.setLogButtonHidden(!logHandle.isOpen());
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
    const UpdaterInvocation updater = invocation(*region);
    if (!isReadableFile(updater.scriptPath) || !isReadableFile(updater.configurationPath)) {
        showFailure(QStringLiteral("The launcher installation is incomplete."));
        return;
    }

    run = RunFacts{.mode = mode};
    outputBuffer.clear();
    showBusyLook(mode, *region);

    auto* started = new UpdaterProcess(this);
    // The context object (`this`) drops late deliveries once the controller is gone.
    connect(started, &UpdaterProcess::outputReceived, this, &LauncherController::consume);
    connect(started, &UpdaterProcess::finished, this, &LauncherController::processFinished);
    if (!started->start(environment.interpreter, updater.arguments(mode),
                        updaterEnvironment(environment.processEnvironment))) {
        started->disconnect(this);
        started->deleteLater();
        showFailure(QStringLiteral("The update service could not be started."));
        return;
    }
    process = started;
    appendLog(runLogLine(mode));
    emit updaterStarted(mode);
}

UpdaterInvocation LauncherController::invocation(const Region& region) const {
    UpdaterInvocation updater;
    updater.scriptPath = bundle.resourceDirectory + QStringLiteral("/client_updater.py");
    updater.configurationPath = bundle.resourceDirectory + QStringLiteral("/launcher-config.json");
    updater.regionId = region.id;
    updater.launcherBundle = launcherBundleURL();
    updater.launcherVersion = launcherVersion();
    updater.relaunchedFrom = options.relaunchedFrom;
    updater.noSelfUpdate = options.noSelfUpdate;
    updater.gameArguments = options.gameArguments;
    return updater;
}

void LauncherController::showBusyLook(Mode mode, const Region& region) {
    view.setRegionPickerEnabled(false);
    view.setLogButtonHidden(true);
    buttonState = busyState(mode);
    view.setButtonTitle(buttonTitle(buttonState));
    view.setButtonEnabled(false);
    view.setButtonHelp(kWorking);
    view.redrawButton();
    view.setStatusText(QStringLiteral("Checking for updates\u2026"));
    view.setDetailText(QStringLiteral("Connecting securely to ") + region.name);
    view.setDetailToolTip(std::nullopt);
    view.setProgressHidden(false);
    view.setProgressIndeterminate(true);
    view.setProgressAnimating(true);
}

void LauncherController::consume(const QByteArray& data) {
    const QStringList lines = outputBuffer.consume(data);
    for (const QString& line : lines) {
        appendLog(line + u'\n');
        handleOutputLine(line);
    }
}

void LauncherController::handleOutputLine(const QString& line) {
    const std::optional<QString> bundleLocation = launcherBundleURL();
    const std::optional<Region> region = selectedRegion();
    apply(interpretOutputLine(
        line, {run.mode, bundleLocation ? std::optional(parentPath(*bundleLocation)) : std::nullopt,
               region ? std::optional(region->name) : std::nullopt}));
}

void LauncherController::apply(const OutputLine& meaning) {
    record(run, meaning);
    using Kind = OutputLine::Kind;
    switch (meaning.kind) {
    case Kind::percentage:
        view.setProgressIndeterminate(false);
        view.setProgressAnimating(false);
        view.setProgressValue(meaning.progress);
        view.setStatusText(meaning.status);
        return;
    case Kind::detail:
    case Kind::launcherInstalled:
        view.setStatusText(meaning.status);
        view.setDetailText(meaning.text);
        return;
    case Kind::installing:
        view.setProgressIndeterminate(true);
        view.setProgressAnimating(true);
        view.setStatusText(meaning.status);
        return;
    case Kind::clientReady:
        view.setStatusText(meaning.status);
        showInstalledVersion(QStringLiteral("Version"));
        refreshFooter();
        return;
    case Kind::gameStart:
        view.setStatusText(meaning.status);
        view.setProgressAnimating(false);
        view.setProgressValue(100);
        hideAfterGameStart.start();
        return;
    default:
        // The rest only leaves facts behind.
        return;
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
    finishRun(completionRow(run, status));
}

void LauncherController::finishRun(CompletionRow row) {
    switch (row) {
    case CompletionRow::relaunch:
        relaunchSuccessor();
        return;
    case CompletionRow::launcherUpdateFailed:
        run.sawLauncherInstalled = false;
        showFailure(run.lastErrorDetail.value_or(
            QStringLiteral("The launcher update could not be completed.")));
        return;
    case CompletionRow::launcherUpdateAvailable:
    case CompletionRow::clientUpdateAvailable:
    case CompletionRow::upToDate:
    case CompletionRow::checkFailed:
        presentCheckResult(row);
        return;
    case CompletionRow::updateInstalled:
        startUpdater(Mode::check);
        return;
    case CompletionRow::updateFailed:
    case CompletionRow::playFailed:
        showFailure(run.lastErrorDetail.value_or(QStringLiteral(
            "The update could not be completed. Your installed game was preserved.")));
        return;
    case CompletionRow::gameEnded:
        terminate();
        return;
    case CompletionRow::gameFailed:
        run.sawGameStart = false;
        showFailure(QStringLiteral("The game closed unexpectedly. You can try again."));
        return;
    case CompletionRow::gameDidNotStart:
        showFailure(QStringLiteral("The game closed before it finished starting."));
        return;
    }
}

void LauncherController::presentCheckResult(CompletionRow row) {
    switch (row) {
    case CompletionRow::launcherUpdateAvailable:
        presentCheckSuccess(QStringLiteral("Launcher update available"),
                            QStringLiteral("Launcher ") + *run.checkOutcome->launcherVersion);
        setButton(ButtonState::update);
        runFollowUps(true, false);
        return;
    case CompletionRow::clientUpdateAvailable:
        presentCheckSuccess(QStringLiteral("Update available"),
                            QStringLiteral("Version ") + *run.checkOutcome->clientRelease);
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
    default:
        presentCheckFailure(run.lastErrorDetail.value_or(
            QStringLiteral("The update check could not be completed.")));
        return;
    }
}

void LauncherController::runFollowUps(bool somethingNewer, bool upToDate) {
    if (automaticUpdatePending) {
        automaticUpdatePending = false;
        if (somethingNewer) {
            startUpdater(Mode::update);
            return;
        }
    }
    if (playAfterCheck) {
        playAfterCheck = false;
        if (upToDate)
            startUpdater(Mode::play);
    }
}

void LauncherController::relaunchSuccessor() {
    QPointer<LauncherController> self(this);
    relaunch([self](bool started) {
        if (!self)
            return;
        if (started) {
            self->terminate();
            return;
        }
        self->run.sawLauncherInstalled = false;
        self->showFailure(
            QStringLiteral("The updated launcher was installed but could not be started."));
    });
}

void LauncherController::relaunch(std::function<void(bool started)> completion) {
    const std::optional<Region> region = selectedRegion();
    RelaunchRequest request;
    request.installedLauncherURL = run.installedLauncherURL;
    request.launcherBundleURL = launcherBundleURL();
    request.launcherArguments =
        relaunchArguments(region ? std::optional<QString>(region->id) : std::nullopt,
                          launcherVersion(), options.noSelfUpdate, options.gameArguments);
    request.openTool = environment.openTool;
    request.executableName = QFileInfo(environment.executablePath).fileName();
    ::relaunch(
        request, this, [this](const QString& line) { appendLog(line); }, completion);
}

// ---- Start-up steps ----------------------------------------------------------------------------

void LauncherController::migrateSupportDirectory() {
    ::migrateSupportDirectory(supportDirectory());
}

void LauncherController::prepareLog() {
    logHandle.prepare(supportDirectory(), QDateTime::currentDateTimeUtc());
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

    regions = loaded->regions;
    QStringList titles;
    for (const Region& region : std::as_const(regions))
        titles.append(region.name);
    view.addRegionItems(titles);

    std::optional<QString> stored;
    const QVariant storedValue = settings()->value(kSelectedRegionKey);
    if (storedValue.typeId() == QMetaType::QString)
        stored = storedValue.toString();
    const std::optional<qsizetype> index =
        chooseRegionIndex(regions, options.region, stored, loaded->defaultRegion);
    if (!index)
        return fail();
    view.selectRegionIndex(static_cast<int>(*index));
    regionChanged();
}

// ---- Storage, versions and texts ----------------------------------------------------------------

void LauncherController::appendLog(const QString& text) {
    logHandle.append(text);
}

const QString& LauncherController::supportDirectory() {
    if (!supportDirectoryLocation)
        supportDirectoryLocation = supportDirectoryIn(environment.dataDirectory);
    return *supportDirectoryLocation;
}

std::optional<Region> LauncherController::selectedRegion() const {
    const int index = view.selectedRegionIndex();
    if (index < 0 || index >= regions.size())
        return std::nullopt;
    return regions.at(index);
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

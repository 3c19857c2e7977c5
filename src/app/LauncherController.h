#pragma once

#include "app/ButtonState.h"
#include "app/LauncherEnvironment.h"
#include "app/LauncherView.h"
#include "config/LaunchOptions.h"
#include "config/LauncherLog.h"
#include "config/Region.h"
#include "install/MainBundle.h"
#include "install/RunCompletion.h"
#include "updater/LineFramer.h"
#include "updater/OutputLine.h"
#include "updater/UpdaterInvocation.h"

#include <QObject>
#include <QPointer>
#include <QSettings>
#include <QTimer>
#include <functional>
#include <memory>
#include <optional>

class UpdaterProcess;

// The one owner of the launcher's state: it starts updater runs, reads what they report, decides
// what comes next and drives the window through LauncherView. Everything runs on the main thread.
class LauncherController : public QObject {
    Q_OBJECT
public:
    LauncherController(LauncherView& view, LauncherEnvironment environment,
                       QObject* parent = nullptr);
    ~LauncherController() override;

    // Lifecycle.
    void applicationDidFinishLaunching();
    bool applicationShouldTerminate() const;
    void applicationWillTerminate();
    bool windowShouldClose();
    // Asks to quit: refused while the game runs; otherwise stops a running updater, closes the
    // log and emits quitRequested once.
    void terminate();

    // User actions.
    void primaryAction();
    void regionChanged();
    void openLog();
    // Another launcher was started: show the window and bring it to the front (with that
    // launcher's activation token), unless it is hidden for the game.
    void showRequested(const QString& activationToken);

    // Button states and failures.
    void setButton(ButtonState state);
    void showFailure(const QString& message);

    // Updater runs.
    void startUpdater(Mode mode);
    void consume(const QByteArray& data);
    void handleOutputLine(const QString& line);
    void processFinished(int status);
    void relaunch(std::function<void(bool started)> completion);

    // Start-up steps.
    void migrateSupportDirectory();
    void prepareLog();
    void removeRetiredBundle();
    void loadRegions();

    // Storage, versions and texts.
    void appendLog(const QString& text);
    const QString& supportDirectory();
    std::optional<Region> selectedRegion() const;
    std::optional<QString> launcherBundleURL() const;
    std::optional<QString> launcherVersion() const;
    QString currentMetadataURL();
    QString footerText();
    void showInstalledVersion(const QString& prefix);

    // Read-only views of the state, for the window's owner and for tests.
    const RunFacts& runFacts() const { return run; }
    bool hasProcess() const { return process != nullptr; }
    qint64 processId() const;
    bool isLogOpen() const { return logHandle.isOpen(); }

signals:
    // The application should end now; main connects it to the event loop's quit.
    void quitRequested();
    // A run's process has been started (used by tests and benchmarks to time start-up).
    void updaterStarted(Mode mode);

private:
    bool gameIsRunning() const;
    std::unique_ptr<QSettings> settings() const;
    void showBusyLook(Mode mode, const Region& region);
    UpdaterInvocation invocation(const Region& region) const;
    void apply(const OutputLine& meaning);
    void finishRun(CompletionRow row);
    void presentCheckResult(CompletionRow row);
    void relaunchSuccessor();
    void presentCheckSuccess(const QString& status, const QString& detail);
    void presentCheckFailure(const QString& message);
    void presentFailure(const QString& status, const QString& message);
    void stopProgress();
    void runFollowUps(bool somethingNewer, bool upToDate);
    void clearProcess();
    void refreshFooter();

    // The controls.
    LauncherView& view;
    LauncherEnvironment environment;
    MainBundle bundle;
    // Read once: after a self-update the bundle's files are the successor's, but this process is
    // still the version it started as.
    std::optional<QString> runningVersion;

    QList<Region> regions;
    UpdaterProcess* process = nullptr;
    LineFramer outputBuffer;
    LauncherLog logHandle;
    // What the current or last run established; a run starts from a fresh value.
    RunFacts run;
    ButtonState buttonState = ButtonState::checking;
    bool automaticUpdatePending = false;
    bool playAfterCheck = false;
    LaunchOptions options;
    std::optional<QString> supportDirectoryLocation;

    // Hides the window a moment after the game started; a failure shown meanwhile cancels it.
    QTimer hideAfterGameStart;
    bool launched = false;
    bool terminating = false;
};

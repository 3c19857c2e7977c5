#pragma once

#include <QByteArray>
#include <QLockFile>
#include <QObject>
#include <QString>

class QSocketNotifier;

// One launcher per user and support directory. The claim is a lock file that names its holder's
// process, so a claim left by a killed launcher is taken over at once; beside it, the holder keeps
// a FIFO on which a later launcher asks it to show its window before that one ends. Both live
// outside the support directory, so a second launcher touches nothing inside it.
class InstanceClaim : public QObject {
    Q_OBJECT
public:
    enum class Outcome { claimed, heldByAnother, unavailable };

    // The directory for the claim of a support directory: the per-user runtime directory when
    // there is one ($XDG_RUNTIME_DIR, an absolute path), otherwise the directory that holds the
    // support directory.
    static QString directoryFor(const QString& supportDirectory, const QString& runtimeDirectory);
    // The lock file's path: named after a hash of the host name and the support directory's path,
    // so that each support directory (each home, in tests) has its own claim.
    static QString lockPathFor(const QString& supportDirectory, const QString& runtimeDirectory);

    InstanceClaim(const QString& supportDirectory, const QString& runtimeDirectory,
                  QObject* parent = nullptr);
    InstanceClaim(const InstanceClaim&) = delete;
    InstanceClaim& operator=(const InstanceClaim&) = delete;
    // Gives the claim up.
    ~InstanceClaim() override;

    // Takes the claim, waiting up to `waitMs` for another holder to give it up.
    Outcome take(int waitMs);
    // Why the claim could not be taken, or why show requests cannot reach this holder; empty when
    // all is well.
    QString problem() const { return trouble; }

    // As the holder: show requests arrive as showRequested from now on (pending ones included).
    // Needs the application object.
    void listen();
    // As a later launcher: asks the holder to show its window, handing on the activation token
    // this launcher was started with (may be empty). False when the holder is not listening.
    bool askToShow(const QByteArray& activationToken) const;

signals:
    void showRequested(const QString& activationToken);

private:
    void openRequests();
    void readRequests();

    bool usesRuntimeDirectory;
    QString requestPath;
    QLockFile lock;
    QString trouble;
    int reader = -1;
    // The holder's own write end: with it open, the FIFO never reports end-of-file between two
    // requests, so the notifier fires only for data.
    int keeper = -1;
    QSocketNotifier* notifier = nullptr;
    QByteArray pending;
};

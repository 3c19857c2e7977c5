#pragma once

#include <QObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <optional>

class QSocketNotifier;

// One updater run as a child process. It only moves bytes: the child's standard output and
// standard error share one pipe, read in bounded chunks that arrive on the main thread in stream
// order, and every byte the child wrote is handed on before `finished`.
//
// The pipe is read a chunk per event-loop turn, so a flood of output neither freezes the window
// nor piles up in memory: while the launcher is busy the pipe fills and the child waits.
class UpdaterProcess : public QObject {
    Q_OBJECT
public:
    static constexpr qsizetype chunkBytes = 2 * 1024;

    explicit UpdaterProcess(QObject* parent = nullptr);
    ~UpdaterProcess() override;

    // Starts the program (an absolute path; never searched for). False when it could not start.
    bool start(const QString& program, const QStringList& arguments,
               const QProcessEnvironment& environment);
    bool isRunning() const;
    qint64 processId() const;
    // The terminate request (SIGTERM); does not wait.
    void terminate();
    // Lets the child run on when this object goes away (at quit), instead of killing it and
    // waiting for it.
    void abandon();

signals:
    void outputReceived(const QByteArray& chunk);
    // The exit status: the child's exit code, or a non-zero value when a signal ended it.
    void finished(int status);

private:
    // Reads one chunk; returns false at end of stream or when nothing is readable now.
    bool readChunk();
    void drainAfterExit();
    void processEnded(int exitCode, QProcess::ExitStatus exitStatus);
    void closePipe();

    QProcess* process;
    int readEnd = -1;
    QSocketNotifier* notifier = nullptr;
    std::optional<int> exitStatus;
};

#include "updater/UpdaterProcess.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

// Processes left running at quit. Kept reachable so that QProcess's destructor, which would kill
// the child and wait for it, never runs for them. The list itself is never destroyed either: it
// must still hold them when leak checkers look at the end of the process.
std::vector<QProcess*>& abandonedProcesses() {
    static auto* processes = new std::vector<QProcess*>;
    return *processes;
}

// A pipe whose ends are closed in every program this process starts. pipe2 would do it in one
// call but is not on every target; all program starts happen on the main thread, so no start can
// come between the two steps.
bool closeOnExecPipe(int ends[2]) {
    if (::pipe(ends) != 0)
        return false;
    for (int i = 0; i < 2; ++i) {
        const int flags = ::fcntl(ends[i], F_GETFD);
        if (flags < 0 || ::fcntl(ends[i], F_SETFD, flags | FD_CLOEXEC) != 0) {
            ::close(ends[0]);
            ::close(ends[1]);
            return false;
        }
    }
    return true;
}

} // namespace

UpdaterProcess::UpdaterProcess(QObject* parent)
    : QObject(parent)
    , process(new QProcess(this)) {
    // The child shares the launcher's standard input and working directory; its output goes to
    // our own pipe (set up in start), so QProcess must not make pipes of its own.
    process->setStandardOutputFile(QProcess::nullDevice());
    process->setStandardErrorFile(QProcess::nullDevice());
    process->setInputChannelMode(QProcess::ForwardedInputChannel);
    connect(process, &QProcess::finished, this, &UpdaterProcess::processEnded);
}

UpdaterProcess::~UpdaterProcess() {
    if (process)
        process->disconnect(this);
    closePipe();
}

bool UpdaterProcess::start(const QString& program, const QStringList& arguments,
                           const QProcessEnvironment& environment) {
    int ends[2];
    if (!closeOnExecPipe(ends))
        return false;
    const int writeEnd = ends[1];
    process->setProgram(program);
    process->setArguments(arguments);
    process->setProcessEnvironment(environment);
    process->setChildProcessModifier([writeEnd] {
        // Runs in the child between fork and exec: only async-signal-safe calls here.
        ::dup2(writeEnd, STDOUT_FILENO);
        ::dup2(writeEnd, STDERR_FILENO);
    });
    process->start(QIODevice::ReadOnly);
    const bool started = process->waitForStarted(-1);
    ::close(writeEnd);
    if (!started) {
        ::close(ends[0]);
        return false;
    }
    readEnd = ends[0];
    ::fcntl(readEnd, F_SETFL, ::fcntl(readEnd, F_GETFL) | O_NONBLOCK);
    notifier = new QSocketNotifier(readEnd, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        if (!readChunk() && readEnd >= 0 && exitStatus)
            drainAfterExit();
    });
    return true;
}

bool UpdaterProcess::readChunk() {
    if (readEnd < 0)
        return false;
    QByteArray chunk(chunkBytes, Qt::Uninitialized);
    ssize_t count;
    do {
        count = ::read(readEnd, chunk.data(), static_cast<size_t>(chunk.size()));
    } while (count < 0 && errno == EINTR);
    if (count > 0) {
        chunk.truncate(count);
        emit outputReceived(chunk);
        return true;
    }
    if (count == 0 || errno != EAGAIN)
        closePipe(); // end of stream: no more callbacks
    return false;
}

void UpdaterProcess::drainAfterExit() {
    // The child has exited, so everything it wrote is already in the pipe: hand it on a chunk per
    // turn, then report the end. Bytes a grandchild might write later are not this run's.
    if (readChunk()) {
        QTimer::singleShot(0, this, &UpdaterProcess::drainAfterExit);
        return;
    }
    closePipe();
    if (exitStatus) {
        const int status = *exitStatus;
        exitStatus.reset();
        emit finished(status);
    }
}

void UpdaterProcess::processEnded(int exitCode, QProcess::ExitStatus status) {
    // A signal ends the run with a failure status, never with success.
    exitStatus = status == QProcess::CrashExit && exitCode == 0 ? -1 : exitCode;
    if (notifier)
        notifier->setEnabled(false);
    QTimer::singleShot(0, this, &UpdaterProcess::drainAfterExit);
}

void UpdaterProcess::closePipe() {
    if (notifier) {
        notifier->setEnabled(false);
        notifier->deleteLater();
        notifier = nullptr;
    }
    if (readEnd >= 0) {
        ::close(readEnd);
        readEnd = -1;
    }
}

bool UpdaterProcess::isRunning() const {
    return process && process->state() != QProcess::NotRunning;
}

qint64 UpdaterProcess::processId() const {
    return process ? process->processId() : 0;
}

void UpdaterProcess::terminate() {
    if (isRunning())
        process->terminate();
}

void UpdaterProcess::abandon() {
    closePipe();
    if (!isRunning())
        return;
    process->disconnect(this);
    process->setParent(nullptr);
    abandonedProcesses().push_back(process);
    process = nullptr;
}

#include "app/InstanceClaim.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QSysInfo>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// A request is one line, written at once: at most PIPE_BUF bytes (512 on every POSIX system),
// which a FIFO never splits or interleaves with another writer's.
constexpr qsizetype kLongestRequest = 512;
const QByteArray kShow = "show\t";

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

QString claimStem(const QString& supportDirectory, const QString& runtimeDirectory) {
    // The host is part of the key: a home shared over the network holds one claim per machine,
    // each of which can see whether its holder is still running, and a FIFO connects only
    // processes on one machine anyway.
    const QByteArray key = QSysInfo::machineHostName().toUtf8() + '\0' +
                           QDir::cleanPath(QDir(supportDirectory).absolutePath()).toUtf8();
    const QByteArray hash = QCryptographicHash::hash(key, QCryptographicHash::Sha256).toHex();
    return InstanceClaim::directoryFor(supportDirectory, runtimeDirectory) +
           QStringLiteral("/.thornwake-launcher-") + QString::fromLatin1(hash.left(16));
}

// Tokens are printable ASCII; anything else (a line break above all) would garble the request.
bool isToken(const QByteArray& token) {
    return token.size() <= kLongestRequest - kShow.size() - 1 &&
           std::all_of(token.begin(), token.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
}

// Creates the directory and its missing parents, private to the user as the log's are.
bool makePrivateDirectory(const QString& path) {
    if (QFileInfo(path).isDir())
        return true;
    const QString parent = QFileInfo(path).path();
    if (parent != path && !makePrivateDirectory(parent))
        return false;
    return QDir().mkdir(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner) ||
           QFileInfo(path).isDir();
}

bool isOwnFifo(int file) {
    struct stat status {};
    return ::fstat(file, &status) == 0 && S_ISFIFO(status.st_mode) && status.st_uid == ::getuid();
}

} // namespace

QString InstanceClaim::directoryFor(const QString& supportDirectory,
                                    const QString& runtimeDirectory) {
    // A relative path is no runtime directory (the XDG rules say to ignore it).
    if (QDir::isAbsolutePath(runtimeDirectory))
        return QDir::cleanPath(runtimeDirectory);
    return QFileInfo(QDir::cleanPath(QDir(supportDirectory).absolutePath())).path();
}

QString InstanceClaim::lockPathFor(const QString& supportDirectory,
                                   const QString& runtimeDirectory) {
    return claimStem(supportDirectory, runtimeDirectory) + QStringLiteral(".lock");
}

InstanceClaim::InstanceClaim(const QString& supportDirectory, const QString& runtimeDirectory,
                             QObject* parent)
    : QObject(parent)
    , usesRuntimeDirectory(QDir::isAbsolutePath(runtimeDirectory))
    , requestPath(claimStem(supportDirectory, runtimeDirectory) + QStringLiteral(".show"))
    , lock(lockPathFor(supportDirectory, runtimeDirectory)) {
    // A claim is stale only when its holder is gone, however long a launcher has been running.
    lock.setStaleLockTime(0);
}

InstanceClaim::~InstanceClaim() {
    delete notifier;
    if (reader >= 0) {
        // The FIFO goes first, so that a launcher that takes the claim next makes its own.
        ::unlink(encoded(requestPath).constData());
        ::close(reader);
        ::close(keeper);
    }
    lock.unlock();
}

InstanceClaim::Outcome InstanceClaim::take(int waitMs) {
    const QString directory = QFileInfo(lock.fileName()).path();
    // The directory that holds the support directory may not exist before the first start; the
    // runtime directory is the system's to make.
    if (!usesRuntimeDirectory)
        makePrivateDirectory(directory);
    // Polled rather than left to QLockFile's own backing-off wait, which sleeps for seconds at a
    // time: a relaunched launcher should start as soon as its predecessor is gone.
    const QDeadlineTimer deadline(waitMs);
    while (!lock.tryLock(0) && lock.error() == QLockFile::LockFailedError && !deadline.hasExpired())
        QThread::msleep(25);
    switch (lock.error()) {
    case QLockFile::NoError:
        openRequests();
        return Outcome::claimed;
    case QLockFile::LockFailedError:
        return Outcome::heldByAnother;
    case QLockFile::PermissionError:
        trouble = QStringLiteral("%1 is not writable").arg(directory);
        return Outcome::unavailable;
    case QLockFile::UnknownError:
        break;
    }
    trouble = QFileInfo(directory).isDir()
                  ? QStringLiteral("%1 could not be created").arg(lock.fileName())
                  : QStringLiteral("%1 does not exist").arg(directory);
    return Outcome::unavailable;
}

void InstanceClaim::openRequests() {
    const QByteArray name = encoded(requestPath);
    // Whatever is there was left by an earlier holder: only a holder ever makes it.
    ::unlink(name.constData());
    if (::mkfifo(name.constData(), 0600) != 0) {
        trouble = QStringLiteral("%1 could not be created (%2)")
                      .arg(requestPath, QString::fromLocal8Bit(::strerror(errno)));
        return;
    }
    reader = ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    keeper = reader < 0 ? -1 : ::open(name.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader < 0 || keeper < 0 || !isOwnFifo(reader)) {
        trouble = QStringLiteral("%1 could not be opened").arg(requestPath);
        if (reader >= 0)
            ::close(reader);
        if (keeper >= 0)
            ::close(keeper);
        reader = keeper = -1;
        ::unlink(name.constData());
    }
}

void InstanceClaim::listen() {
    if (reader < 0 || notifier)
        return;
    notifier = new QSocketNotifier(reader, QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InstanceClaim::readRequests);
    // Requests made while this launcher was starting are already waiting.
    readRequests();
}

void InstanceClaim::readRequests() {
    char buffer[kLongestRequest];
    ssize_t count;
    while ((count = ::read(reader, buffer, sizeof buffer)) > 0 || (count < 0 && errno == EINTR)) {
        if (count > 0)
            pending.append(buffer, count);
    }
    qsizetype end;
    while ((end = pending.indexOf('\n')) >= 0) {
        const QByteArray line = pending.left(end);
        pending.remove(0, end + 1);
        if (line.startsWith(kShow) && isToken(line.mid(kShow.size())))
            emit showRequested(QString::fromLatin1(line.mid(kShow.size())));
    }
    // Nothing well-formed is this long: a broken writer's bytes are dropped.
    if (pending.size() > kLongestRequest)
        pending.clear();
}

bool InstanceClaim::askToShow(const QByteArray& activationToken) const {
    // Without a reader (a holder still starting) the open fails at once instead of waiting.
    const int file =
        ::open(encoded(requestPath).constData(), O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (file < 0)
        return false;
    const QByteArray request =
        kShow + (isToken(activationToken) ? activationToken : QByteArray()) + '\n';
    ssize_t written = -1;
    if (isOwnFifo(file)) {
        do
            written = ::write(file, request.constData(), size_t(request.size()));
        while (written < 0 && errno == EINTR);
    }
    ::close(file);
    return written == request.size();
}

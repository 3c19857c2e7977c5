#include "config/LauncherLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QByteArray encoded(const QString& path) {
    return QFile::encodeName(path);
}

// Creates the directory and its missing parents. What is created here gets exactly 0700, whatever
// the umask; what exists is accepted as it is when it is a directory (or a link to one).
bool ensureDirectory(const QString& path) {
    const QByteArray name = encoded(path);
    struct stat status {};
    if (::stat(name.constData(), &status) == 0)
        return S_ISDIR(status.st_mode);
    if (errno != ENOENT)
        return false;
    const QString parent = QFileInfo(path).path();
    if (parent != path && !ensureDirectory(parent))
        return false;
    if (::mkdir(name.constData(), 0700) != 0) {
        if (errno != EEXIST)
            return false;
        return ::stat(name.constData(), &status) == 0 && S_ISDIR(status.st_mode);
    }
    const int directory = ::open(name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (directory < 0)
        return false;
    const bool changed = ::fchmod(directory, 0700) == 0;
    ::close(directory);
    return changed;
}

// Replaces the log by an empty file in one rename, so that a crash leaves either the old log or
// the empty one, never a half-truncated file. The empty file keeps the old one's permission bits:
// a log that the player or a log collector made readable to others stays readable.
bool replaceWithEmptyFile(const QString& directory, const QString& path, mode_t permissions) {
    QByteArray temporary = encoded(directory + QStringLiteral("/.launcher.log.XXXXXX"));
    const int file = ::mkstemp(temporary.data());
    if (file < 0)
        return false;
    // Should this fail, the empty log stays private (0600), which loses nothing.
    ::fchmod(file, permissions);
    ::close(file);
    if (::rename(temporary.constData(), encoded(path).constData()) != 0) {
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

int openForAppending(const QString& path) {
    const QByteArray name = encoded(path);
    // Non-blocking, so that a FIFO named like the log cannot stall the start; no following of a
    // link, so that nothing is ever written through one.
    const int flags = O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
    int file = ::open(name.constData(), flags | O_CREAT | O_EXCL, 0600);
    if (file >= 0) {
        // The umask may have removed bits from the mode given to open.
        ::fchmod(file, 0600);
    } else {
        file = ::open(name.constData(), flags);
        if (file < 0)
            return -1;
    }
    struct stat status {};
    const int openFlags = ::fcntl(file, F_GETFL);
    if (::fstat(file, &status) != 0 || !S_ISREG(status.st_mode) || openFlags < 0 ||
        ::fcntl(file, F_SETFL, openFlags & ~O_NONBLOCK) != 0) {
        ::close(file);
        return -1;
    }
    return file;
}

// Whether `size` more bytes fit under the process's file size limit. A write beyond it would
// raise SIGXFSZ, whose default action kills the process, so such an entry is dropped unwritten.
bool fitsFileSizeLimit(int file, qint64 size) {
    struct rlimit limit {};
    if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return true;
    const off_t end = ::lseek(file, 0, SEEK_END);
    if (end < 0)
        return true;
    return static_cast<rlim_t>(end) + static_cast<rlim_t>(size) <= limit.rlim_cur;
}

bool writeAll(int file, const char* data, qint64 size) {
    while (size > 0) {
        const ssize_t written = ::write(file, data, size_t(size));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        data += written;
        size -= written;
    }
    return true;
}

// Durable on the storage itself: on Apple systems fsync only reaches the drive's cache, so it takes
// F_FULLFSYNC there, and plain fsync where the file system does not support that.
void flushToStorage(int file) {
#ifdef __APPLE__
    int result;
    while ((result = ::fcntl(file, F_FULLFSYNC)) != 0 && errno == EINTR) {
    }
    if (result != 0) {
        while (::fsync(file) != 0 && errno == EINTR) {
        }
    }
#else
    while (::fdatasync(file) != 0 && errno == EINTR) {
    }
#endif
}

} // namespace

LauncherLog::~LauncherLog() {
    close();
}

QString LauncherLog::header(const QDateTime& utc) {
    return QStringLiteral("\n--- Launcher opened ") + utc.toUTC().toString(Qt::ISODate) +
           QStringLiteral(" ---\n");
}

bool LauncherLog::prepare(const QString& supportDirectory, const QDateTime& nowUtc) {
    close();
    const QString directory = QDir::cleanPath(supportDirectory);
    logPath = directory + QStringLiteral("/launcher.log");

    if (!ensureDirectory(directory))
        return false;

    // Only a regular file is measured; anything else is refused by the open below.
    struct stat status {};
    if (::lstat(encoded(logPath).constData(), &status) == 0 && S_ISREG(status.st_mode) &&
        status.st_size > sizeLimit &&
        !replaceWithEmptyFile(directory, logPath, status.st_mode & 0777))
        return false;

    descriptor = openForAppending(logPath);
    if (descriptor < 0)
        return false;
    append(header(nowUtc));
    return true;
}

void LauncherLog::append(const QString& text) {
    if (descriptor < 0 || text.isEmpty())
        return;
    // Text that has no exact UTF-8 form (a lone surrogate) is not written at all.
    if (!QStringView(text).isValidUtf16())
        return;
    const QByteArray bytes = text.toUtf8();
    if (!fitsFileSizeLimit(descriptor, bytes.size()))
        return;

    // A failing write (full disk, file too large) drops this entry and keeps the handle: a later,
    // smaller entry may still fit. A partly written entry is cut off again so that the next one
    // does not run into it. Writing a regular file never raises SIGPIPE.
    const off_t start = ::lseek(descriptor, 0, SEEK_END);
    if (!writeAll(descriptor, bytes.constData(), bytes.size())) {
        if (start >= 0 && ::ftruncate(descriptor, start) != 0) {
            // Nothing more can be done for this entry.
        }
        return;
    }
    flushToStorage(descriptor);
}

bool LauncherLog::isOpen() const {
    return descriptor >= 0;
}

void LauncherLog::close() {
    if (descriptor >= 0)
        ::close(descriptor);
    descriptor = -1;
}

QString LauncherLog::path() const {
    return logPath;
}

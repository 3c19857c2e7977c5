#include "ui/LogTail.h"

#include <QByteArray>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Reads `length` bytes at `offset`; fewer when the file ends first.
QByteArray readAt(int fd, qint64 offset, qint64 length) {
    QByteArray bytes(qsizetype(length), Qt::Uninitialized);
    qint64 done = 0;
    while (done < length) {
        const ssize_t count =
            ::pread(fd, bytes.data() + done, size_t(length - done), off_t(offset + done));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break;
        done += count;
    }
    bytes.truncate(qsizetype(done));
    return bytes;
}

} // namespace

LogTail::LogTail(QString path)
    : path_(std::move(path)) {}

LogTail::Change LogTail::read() {
    Change change;
    const QByteArray name = QFile::encodeName(path_);
    // Non-blocking, so that a FIFO at the path cannot hang the window; refused by its type.
    const int fd =
        name.isEmpty() || name.contains('\0')
            ? -1
            : ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    struct stat status {};
    if (fd < 0 || ::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (fd >= 0)
            ::close(fd);
        present = false;
        change.missing = true;
        return change;
    }

    const qint64 size = status.st_size;
    if (!present || status.st_dev != device || status.st_ino != inode || size < offset) {
        change.restart = true;
        present = true;
        device = status.st_dev;
        inode = status.st_ino;
        offset = 0;
        decoder.resetState();
    }
    if (size - offset > shownBytes) {
        // More than is shown at once (a long log, or a flood since the last read): show its end,
        // from the first line that starts there.
        const qint64 from = size - shownBytes;
        const QByteArray tail = readAt(fd, from, shownBytes);
        const qsizetype lineStart = tail.indexOf('\n') + 1;
        change.restart = true;
        change.shortened = true;
        decoder.resetState();
        change.text = decoder.decode(QByteArrayView(tail).sliced(lineStart));
        offset = from + tail.size();
    } else if (size > offset) {
        const QByteArray added = readAt(fd, offset, size - offset);
        change.text = decoder.decode(added);
        offset += added.size();
    }
    ::close(fd);
    return change;
}

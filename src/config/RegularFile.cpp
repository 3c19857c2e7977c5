#include "config/RegularFile.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit) {
    const QByteArray name = QFile::encodeName(path);
    if (name.isEmpty() || name.contains('\0'))
        return std::nullopt;

    // Non-blocking, so that opening a FIFO returns at once; it is then refused by its type.
    const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0)
        return std::nullopt;

    std::optional<QByteArray> result;
    struct stat status {};
    if (::fstat(fd, &status) == 0 && S_ISREG(status.st_mode) && status.st_size <= limit) {
        QByteArray data;
        data.reserve(qsizetype(status.st_size));
        char buffer[65536];
        bool failed = false;
        for (;;) {
            const ssize_t count = ::read(fd, buffer, sizeof buffer);
            if (count < 0 && errno == EINTR)
                continue;
            if (count < 0) {
                failed = true;
                break;
            }
            if (count == 0)
                break;
            // The file may grow while it is read; the limit holds for what is read.
            if (data.size() + count > limit) {
                failed = true;
                break;
            }
            data.append(buffer, qsizetype(count));
        }
        if (!failed)
            result = std::move(data);
    }
    ::close(fd);
    return result;
}

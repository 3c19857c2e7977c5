#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// The whole content of a regular file of at most `limit` bytes. Anything else (missing,
// unreadable, a directory, a FIFO or device, too big) is absent; never blocks on a FIFO.
std::optional<QByteArray> readRegularFile(const QString& path, qint64 limit);

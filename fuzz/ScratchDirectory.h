#pragma once

#include <QByteArray>
#include <QString>

#include <cstdlib>
#include <filesystem>
#include <system_error>

// A private directory for one fuzzer process, on a memory file system when there is one: the
// targets write files and flush them on every input. Removed at exit.
inline const QString& scratchDirectory() {
    static const QString path = [] {
        const char* base = std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : "/tmp";
        QByteArray pattern = QByteArray(base) + "/thornwake-fuzz-XXXXXX";
        if (!::mkdtemp(pattern.data()))
            std::abort();
        static const std::string remove = pattern.toStdString();
        std::atexit([] {
            std::error_code ignored;
            std::filesystem::remove_all(remove, ignored);
        });
        return QString::fromUtf8(pattern);
    }();
    return path;
}

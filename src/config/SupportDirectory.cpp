#include "config/SupportDirectory.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <system_error>

namespace {

std::filesystem::path fileSystemPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

QString supportDirectoryIn(const QString& genericDataLocation) {
    return genericDataLocation + QStringLiteral("/Thornwake");
}

void migrateSupportDirectory(const QString& supportDirectory) {
    const QString current = QDir::cleanPath(supportDirectory);
    const QString legacyPath = QFileInfo(current).path() + QStringLiteral("/Gloamreach");
    const std::filesystem::path target = fileSystemPath(current);
    const std::filesystem::path legacy = fileSystemPath(legacyPath);
    std::error_code error;

    // Anything at the support directory's path, a link to anything included, wins. When that
    // cannot be determined, nothing is moved.
    const bool currentExists = std::filesystem::exists(target, error);
    if (currentExists || error)
        return;
    if (!std::filesystem::is_directory(legacy, error))
        return;
    // A linked legacy directory is left alone: moving the link would leave the data elsewhere.
    // An unanswerable question counts as "not a link".
    const std::filesystem::file_status status = std::filesystem::symlink_status(legacy, error);
    if (!error && std::filesystem::is_symlink(status))
        return;
    std::filesystem::rename(legacy, target, error);
}

#include "install/RetiredBundleCleanup.h"

#include <QFile>
#include <QFileInfo>

#include <chrono>
#include <filesystem>
#include <system_error>
#include <thread>

namespace {

std::filesystem::path fileSystemPath(const QString& path) {
    return std::filesystem::path(QFile::encodeName(path).toStdString());
}

} // namespace

QStringList retiredBundleCandidates(const std::optional<QString>& launcherBundle) {
    if (!launcherBundle)
        return {};
    const QString retired = *launcherBundle + QStringLiteral(".old");
    const QString legacy =
        QFileInfo(retired).path() + QStringLiteral("/Gloamreach Launcher.app.old");

    QStringList locations;
    for (const QString& candidate : {retired, legacy}) {
        if (candidate == *launcherBundle)
            continue;
        std::error_code error;
        // Follows links, like the file manager's existence test: a dangling link is skipped.
        if (!std::filesystem::exists(fileSystemPath(candidate), error))
            continue;
        locations.append(candidate);
    }
    return locations;
}

void removeWithRetries(const QStringList& locations,
                       const std::function<bool(const QString&)>& remove,
                       const std::function<void(double seconds)>& sleep) {
    constexpr int attempts = 5;
    for (const QString& location : locations) {
        for (int attempt = 1; attempt <= attempts; ++attempt) {
            if (remove(location))
                break;
            sleep(attempt * 0.2);
        }
    }
}

bool removeItem(const QString& path) {
    const std::filesystem::path item = fileSystemPath(path);
    std::error_code error;
    std::filesystem::remove_all(item, error);
    if (error)
        return false;
    // The error code is also set for "not found", which is the success looked for here.
    return std::filesystem::symlink_status(item, error).type() ==
           std::filesystem::file_type::not_found;
}

void removeRetiredBundlesInBackground(QStringList locations) {
    if (locations.isEmpty())
        return;
    try {
        std::thread([locations = std::move(locations)] {
            // An exception escaping a detached thread would end the process.
            try {
                removeWithRetries(locations, removeItem, [](double seconds) {
                    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
                });
            } catch (...) {
            }
        }).detach();
    } catch (const std::system_error&) {
        // No thread to be had: the next start-up tries again.
    }
}

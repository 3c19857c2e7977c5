#pragma once

#include <QString>
#include <optional>

// The logs a player may want to read: the launcher's own and, once the selected region's game
// has been started, the game's.
struct LogFiles {
    QString launcherLog;
    std::optional<QString> gameLog;

    bool operator==(const LogFiles&) const = default;
};

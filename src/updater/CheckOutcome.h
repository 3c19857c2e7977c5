#pragma once

#include <QString>
#include <optional>

// The result of an update check. Both fields absent: nothing newer is available.
struct CheckOutcome {
    std::optional<QString> launcherVersion;
    std::optional<QString> clientRelease;

    bool operator==(const CheckOutcome&) const = default;
};

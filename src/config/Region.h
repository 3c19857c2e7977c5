#pragma once

#include <QString>

// One game environment: its machine id and the name the picker shows.
struct Region {
    QString id;
    QString name;

    bool operator==(const Region&) const = default;
};

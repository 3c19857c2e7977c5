#pragma once

#include <QString>

// The detail line and its tool tip naming the installed game release.
struct InstalledVersionDetail {
    QString text;
    QString toolTip;
};

#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

// The retired bundles to remove beside the running one: its ".old" copy and the legacy name,
// skipping the running bundle itself and anything that does not exist.
QStringList retiredBundleCandidates(const std::optional<QString>& launcherBundle);

// Up to five attempts per location, sleeping n × 0.2 seconds after failed attempt n.
void removeWithRetries(const QStringList& locations,
                       const std::function<bool(const QString&)>& remove,
                       const std::function<void(double seconds)>& sleep);

// Removes the item and everything in it; a link is removed itself, never what it points to.
// True when nothing is left at the path.
bool removeItem(const QString& path);

// Runs the removal on a detached thread that touches nothing but the file system.
void removeRetiredBundlesInBackground(QStringList locations);

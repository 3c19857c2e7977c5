#pragma once

#include <QString>

// The per-user support directory inside the platform's generic data location.
QString supportDirectoryIn(const QString& genericDataLocation);

// Moves the legacy "Gloamreach" directory beside it into place while the support directory does
// not exist yet. Never fails visibly: every error leaves both places as they were.
void migrateSupportDirectory(const QString& supportDirectory);

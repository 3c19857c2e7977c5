#pragma once

#include "updater/CheckOutcome.h"

#include <QString>
#include <optional>

// Validates a whole "UPDATE_CHECK " line; absent when any field is not exactly as expected.
std::optional<CheckOutcome> parseCheck(const QString& line);

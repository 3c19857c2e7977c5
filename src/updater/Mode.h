#pragma once

// The kind of updater run.
enum class Mode { check, update, play };

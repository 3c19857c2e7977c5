set(UPDATER_SOURCES
    src/updater/CheckResult.cpp
    src/updater/ProgressPercentage.cpp
)

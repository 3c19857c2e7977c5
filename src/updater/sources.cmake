set(UPDATER_SOURCES
    src/updater/LineFramer.cpp
    src/updater/OutputLine.cpp
    src/updater/UpdaterInvocation.cpp
    src/updater/UpdaterProcess.cpp
    src/updater/CheckResult.cpp
    src/updater/ProgressPercentage.cpp
)

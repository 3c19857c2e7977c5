set(APP_SOURCES
    src/app/LauncherEnvironment.cpp
    src/app/LauncherController.cpp
)

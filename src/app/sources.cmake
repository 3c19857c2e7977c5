set(APP_SOURCES
    src/app/LauncherController.cpp
    src/app/LauncherEnvironment.cpp
)

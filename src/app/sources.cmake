set(APP_SOURCES
    src/app/DesktopOpen.cpp
    src/app/InstanceClaim.cpp
    src/app/LauncherController.cpp
    src/app/LauncherEnvironment.cpp
)

set(CONFIG_SOURCES
    src/config/Identifiers.cpp
    src/config/LaunchOptions.cpp
    src/config/LauncherLog.cpp
    src/config/RegularFile.cpp
    src/config/Regions.cpp
    src/config/SupportDirectory.cpp
)

set(CONFIG_SOURCES
    src/config/Identifiers.cpp
    src/config/LaunchOptions.cpp
)

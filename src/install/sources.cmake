set(INSTALL_SOURCES
    src/install/InstalledMetadata.cpp
    src/install/MainBundle.cpp
    src/install/RetiredBundleCleanup.cpp
)

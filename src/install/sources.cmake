set(INSTALL_SOURCES
    src/install/InstalledMetadata.cpp
    src/install/MainBundle.cpp
    src/install/Relaunch.cpp
    src/install/RetiredBundleCleanup.cpp
    src/install/RunCompletion.cpp
)

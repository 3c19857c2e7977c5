set(INSTALL_SOURCES
    src/install/MainBundle.cpp
)

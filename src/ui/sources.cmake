set(UI_SOURCES
    src/ui/Palette.cpp
    src/ui/PlayButton.cpp
    src/ui/BackdropView.cpp
    src/ui/ElidedLabel.cpp
    src/ui/WindowLayout.cpp
    src/ui/MainWindow.cpp
)

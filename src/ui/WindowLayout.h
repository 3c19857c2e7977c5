#pragma once

#include <QRect>
#include <QSize>

// The natural sizes of the window's controls, as their size hints report them. Only the parts
// that the layout does not fix itself are used: widths of the centred controls, every height.
struct WindowControlSizes {
    QSize title;
    QSize subtitle;
    QSize regionCaption;
    QSize regionPicker;
    QSize status;
    QSize detail;
    QSize progress;
    QSize logButton;
    QSize footer;
};

// Where each control sits in the window's content area.
struct WindowGeometry {
    QRect title;
    QRect subtitle;
    QRect regionCaption;
    QRect regionPicker;
    QRect status;
    QRect detail;
    QRect progress;
    QRect playButton;
    QRect logButton;
    QRect footer;
};

// Places the controls: one centred column hanging from the top edge, with the region row offset
// to the right so that its caption and picker together look centred, and the footer pinned to the
// bottom edge on its own. Hidden controls are placed like visible ones, so showing one never
// moves another.
WindowGeometry layoutWindow(const QSize& content, const WindowControlSizes& sizes);

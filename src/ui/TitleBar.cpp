#include "ui/TitleBar.h"

#include <QWidget>

#ifdef Q_OS_MACOS
#include <objc/message.h>
#include <objc/runtime.h>
#endif

void makeTitleBarTransparent(QWidget* window, const QColor& background) {
#ifdef Q_OS_MACOS
    // Qt offers no call for this, so the native window is reached through the runtime. Each send
    // is cast to its real signature, as the runtime requires.
    const auto view = reinterpret_cast<id>(window->winId());
    if (view == nil)
        return;
    using GetObject = id (*)(id, SEL);
    using SetBool = void (*)(id, SEL, BOOL);
    using SetObject = void (*)(id, SEL, id);
    // CGFloat is a double on every 64-bit Mac.
    using MakeColor = id (*)(id, SEL, double, double, double, double);

    const id nativeWindow =
        reinterpret_cast<GetObject>(objc_msgSend)(view, sel_registerName("window"));
    if (nativeWindow == nil)
        return;
    reinterpret_cast<SetBool>(objc_msgSend)(
        nativeWindow, sel_registerName("setTitlebarAppearsTransparent:"), YES);
    const id color = reinterpret_cast<MakeColor>(objc_msgSend)(
        reinterpret_cast<id>(objc_getClass("NSColor")),
        sel_registerName("colorWithCalibratedRed:green:blue:alpha:"), background.redF(),
        background.greenF(), background.blueF(), background.alphaF());
    reinterpret_cast<SetObject>(objc_msgSend)(nativeWindow, sel_registerName("setBackgroundColor:"),
                                              color);
#else
    Q_UNUSED(window);
    Q_UNUSED(background);
#endif
}

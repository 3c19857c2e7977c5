#pragma once

// Whether the desktop shows an application's menu bar apart from its windows: always on macOS;
// elsewhere where a global menu registrar runs on the session bus, which is when Qt exports a
// parentless menu bar there. Without one such a menu bar is never seen, yet building it costs the
// start a scan of the image plugins for its overflow button's icon.
bool desktopShowsGlobalMenu();

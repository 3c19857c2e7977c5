#include "ui/GlobalMenu.h"

#ifndef Q_OS_MACOS
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#endif

bool desktopShowsGlobalMenu() {
#ifdef Q_OS_MACOS
    return true;
#else
    // The service Qt's desktop integrations ask for before they export a menu bar.
    const QDBusConnection bus = QDBusConnection::sessionBus();
    const QDBusConnectionInterface* registry = bus.interface();
    return registry != nullptr &&
           registry->isServiceRegistered(QStringLiteral("com.canonical.AppMenu.Registrar")).value();
#endif
}

#include "ui/WindowActivation.h"

#include <QGuiApplication>
#include <QWidget>
#include <QWindow>

#ifdef THORNWAKE_HAVE_XCB
#include <xcb/xcb.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#endif

namespace {

#ifdef THORNWAKE_HAVE_XCB

xcb_atom_t atom(xcb_connection_t* connection, const char* name) {
    const xcb_intern_atom_cookie_t cookie =
        xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name);
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(connection, cookie, nullptr);
    const xcb_atom_t result = reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
    std::free(reply);
    return result;
}

// The time of the user's action that started the launch: the number after a final "_TIME".
xcb_timestamp_t startupTime(const QByteArray& id) {
    const qsizetype at = id.lastIndexOf("_TIME");
    bool ok = false;
    const uint time = at < 0 ? 0 : id.mid(at + 5).toUInt(&ok);
    return ok ? xcb_timestamp_t(time) : xcb_timestamp_t(XCB_CURRENT_TIME);
}

// A value of a startup-notification message, quoted when it holds a space, quote or backslash.
QByteArray messageValue(const QByteArray& value) {
    if (!value.contains(' ') && !value.contains('"') && !value.contains('\\'))
        return value;
    QByteArray quoted = "\"";
    for (const char c : value) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// What the startup-notification protocol and the EWMH window-manager hints ask of the
// program that completes a launch: the id on the window, an activation request with the launch's
// time stamp, and the "remove" message that ends the launch feedback.
void completeStartup(QWindow& window, const QByteArray& id) {
    auto* x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    if (!x11 || !x11->connection())
        return;
    xcb_connection_t* connection = x11->connection();
    const xcb_window_t handle = xcb_window_t(window.winId());
    const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(connection)).data->root;

    xcb_change_property(connection, XCB_PROP_MODE_REPLACE, handle,
                        atom(connection, "_NET_STARTUP_ID"), atom(connection, "UTF8_STRING"), 8,
                        uint32_t(id.size()), id.constData());

    xcb_client_message_event_t activate{};
    activate.response_type = XCB_CLIENT_MESSAGE;
    activate.format = 32;
    activate.window = handle;
    activate.type = atom(connection, "_NET_ACTIVE_WINDOW");
    activate.data.data32[0] = 1; // from an application
    activate.data.data32[1] = startupTime(id);
    xcb_send_event(connection, 0, root,
                   XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY | XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT,
                   reinterpret_cast<const char*>(&activate));

    // The message travels in pieces of 20 bytes, the first marked as the beginning; its end is a
    // null byte.
    const QByteArray message = "remove: ID=" + messageValue(id) + '\0';
    const xcb_atom_t begin = atom(connection, "_NET_STARTUP_INFO_BEGIN");
    const xcb_atom_t more = atom(connection, "_NET_STARTUP_INFO");
    for (qsizetype offset = 0; offset < message.size(); offset += 20) {
        xcb_client_message_event_t piece{};
        piece.response_type = XCB_CLIENT_MESSAGE;
        piece.format = 8;
        piece.window = handle;
        piece.type = offset == 0 ? begin : more;
        std::memcpy(piece.data.data8, message.constData() + offset,
                    size_t(std::min<qsizetype>(20, message.size() - offset)));
        xcb_send_event(connection, 0, root, XCB_EVENT_MASK_PROPERTY_CHANGE,
                       reinterpret_cast<const char*>(&piece));
    }
    xcb_flush(connection);
}

#endif

} // namespace

void presentActivationToken(QWidget& window, const QString& token) {
    if (token.isEmpty())
        return;
    const QString platform = QGuiApplication::platformName();
    if (platform == u"wayland") {
        // Qt's Wayland plugin activates the window with this token at its next activation
        // request, and then removes it from the environment.
        qputenv("XDG_ACTIVATION_TOKEN", token.toLatin1());
        return;
    }
#ifdef THORNWAKE_HAVE_XCB
    if (platform == u"xcb" && window.windowHandle())
        completeStartup(*window.windowHandle(), token.toLatin1());
#else
    Q_UNUSED(window);
#endif
}

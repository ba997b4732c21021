#include "Views/App/StatusArea.h"

#include "Platform/SessionBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>

namespace tandrel {
namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString kWatcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");

xcb_connection_t* x11Connection()
{
    if (auto* x11 = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr) {
        return x11->connection();
    }
    return nullptr;
}

// The X screen the program shows on: DISPLAY's ".n", else the first.
int x11ScreenNumber()
{
    const QByteArray display = qgetenv("DISPLAY");
    const qsizetype colon = display.lastIndexOf(':');
    const qsizetype dot = display.indexOf('.', colon);
    return colon >= 0 && dot > colon ? std::atoi(display.constData() + dot + 1) : 0;
}

xcb_atom_t internAtom(xcb_connection_t* connection, const QByteArray& name)
{
    const std::unique_ptr<xcb_intern_atom_reply_t, decltype(&std::free)> reply(
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, uint16_t(name.size()), name.constData()),
                              nullptr),
        &std::free);
    return reply ? reply->atom : xcb_atom_t(XCB_ATOM_NONE);
}

}  // namespace

StatusArea::StatusArea(QObject* parent) : QObject(parent)
{
    if (!sessionBusAvailable()) {
        return;
    }
    QDBusConnection bus = QDBusConnection::sessionBus();
    m_watcherService = new QDBusServiceWatcher(kWatcherService, bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(m_watcherService, &QDBusServiceWatcher::serviceOwnerChanged, this,
            [this](const QString&, const QString&, const QString& newOwner) {
                setHostRegistered(false);
                if (!newOwner.isEmpty()) {
                    askWatcher();
                }
            });
    // A host that registers with a watcher already running.
    bus.connect(kWatcherService, kWatcherPath, kWatcherInterface, QStringLiteral("StatusNotifierHostRegistered"),
                this, SLOT(askWatcher()));
    askWatcher();
    watchTraySelection();
}

StatusArea::~StatusArea()
{
    if (m_root && qApp) {
        qApp->removeNativeEventFilter(this);
    }
}

bool StatusArea::isPresent() const
{
    return m_hostRegistered || traySelectionOwned();
}

void StatusArea::askWatcher()
{
    QDBusMessage ask = QDBusMessage::createMethodCall(kWatcherService, kWatcherPath,
                                                      QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    ask << kWatcherInterface << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(ask), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        // No watcher (yet): its arrival on the bus asks again.
        setHostRegistered(reply.isValid() && reply.value().variant().toBool());
    });
}

void StatusArea::setHostRegistered(bool registered)
{
    m_hostRegistered = registered;
    if (registered && !m_reportedPresent) {
        m_reportedPresent = true;
        Q_EMIT appeared();
    }
}

void StatusArea::watchTraySelection()
{
    xcb_connection_t* connection = x11Connection();
    if (!connection) {
        return;
    }
    m_traySelection = internAtom(connection, "_NET_SYSTEM_TRAY_S" + QByteArray::number(x11ScreenNumber()));
    m_managerAtom = internAtom(connection, "MANAGER");
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int i = x11ScreenNumber(); i > 0 && screens.rem > 1; --i) {
        xcb_screen_next(&screens);
    }
    if (m_traySelection == XCB_ATOM_NONE || m_managerAtom == XCB_ATOM_NONE || !screens.data) {
        return;
    }
    m_root = screens.data->root;
    if (traySelectionOwned()) {
        m_reportedPresent = true;
        QMetaObject::invokeMethod(this, &StatusArea::appeared, Qt::QueuedConnection);
        return;
    }
    // A tray that takes the selection announces it to the root window with a MANAGER
    // message, sent to the clients that listen for the root's structure events. The root's
    // other events Qt asked for stay selected.
    const std::unique_ptr<xcb_get_window_attributes_reply_t, decltype(&std::free)> attributes(
        xcb_get_window_attributes_reply(connection, xcb_get_window_attributes(connection, m_root), nullptr),
        &std::free);
    const uint32_t mask = (attributes ? attributes->your_event_mask : 0) | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, m_root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(connection);
    qApp->installNativeEventFilter(this);
}

bool StatusArea::traySelectionOwned() const
{
    xcb_connection_t* connection = x11Connection();
    if (!connection || m_traySelection == XCB_ATOM_NONE) {
        return false;
    }
    const std::unique_ptr<xcb_get_selection_owner_reply_t, decltype(&std::free)> owner(
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, m_traySelection), nullptr),
        &std::free);
    return owner && owner->owner != XCB_WINDOW_NONE;
}

bool StatusArea::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*)
{
    if (eventType != "xcb_generic_event_t" || m_reportedPresent) {
        return false;
    }
    const auto* event = static_cast<const xcb_generic_event_t*>(message);
    if ((event->response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
        return false;
    }
    const auto* client = reinterpret_cast<const xcb_client_message_event_t*>(event);
    if (client->window == m_root && client->type == m_managerAtom && client->format == 32 &&
        client->data.data32[1] == m_traySelection) {
        m_reportedPresent = true;
        QMetaObject::invokeMethod(this, &StatusArea::appeared, Qt::QueuedConnection);
    }
    return false;
}

}  // namespace tandrel

#pragma once

#include "Platform/NetworkExtension/NetworkManagerProfile.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QList>
#include <QString>
#include <QVariant>

// The small vocabulary the NetworkManager back end and its kill switch share on the bus.
namespace tandrel::nmdbus {

inline const QString kService = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kManagerPath = QStringLiteral("/org/freedesktop/NetworkManager");
inline const QString kManagerInterface = QStringLiteral("org.freedesktop.NetworkManager");
inline const QString kActiveInterface = QStringLiteral("org.freedesktop.NetworkManager.Connection.Active");
inline const QString kDeviceInterface = QStringLiteral("org.freedesktop.NetworkManager.Device");
inline const QString kIP4ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.IP4Config");
inline const QString kIP6ConfigInterface = QStringLiteral("org.freedesktop.NetworkManager.IP6Config");
inline const QString kPropertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");

// Reading NetworkManager's state is quick; a change may wait on the user's consent.
constexpr int kReadTimeoutMs = 5000;
constexpr int kChangeTimeoutMs = 120000;

inline QDBusMessage methodCall(const QString& path, const QString& interface, const QString& method,
                               const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    return message;
}

// A property read; an invalid QVariant when it fails.
inline QVariant readProperty(const QDBusConnection& bus, const QString& path, const QString& interface,
                             const QString& name)
{
    const QDBusMessage reply =
        bus.call(methodCall(path, kPropertiesInterface, QStringLiteral("Get"), {interface, name}), QDBus::Block,
                 kReadTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        return {};
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

inline QString objectPathProperty(const QDBusConnection& bus, const QString& path, const QString& interface,
                                  const QString& name)
{
    return readProperty(bus, path, interface, name).value<QDBusObjectPath>().path();
}

inline QList<QDBusObjectPath> objectPaths(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<QList<QDBusObjectPath>>(value.value<QDBusArgument>());
    }
    return value.value<QList<QDBusObjectPath>>();
}

inline QList<QVariantMap> variantMaps(const QVariant& value)
{
    if (value.canConvert<QDBusArgument>()) {
        return qdbus_cast<QList<QVariantMap>>(value.value<QDBusArgument>());
    }
    return value.value<QList<QVariantMap>>();
}

inline NMVariantMapMap settingsFromReply(const QDBusMessage& reply)
{
    if (reply.arguments().isEmpty()) {
        return {};
    }
    return qdbus_cast<NMVariantMapMap>(reply.arguments().constFirst().value<QDBusArgument>());
}

}  // namespace tandrel::nmdbus

#include "Platform/SingleInstance.h"

#include "Platform/SessionBus.h"

#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>
#include <QThread>

#include <cstdio>

namespace tandrel {
namespace {

const QString kApplicationInterface = QStringLiteral("org.freedesktop.Application");
constexpr int kHandOverTimeoutMs = 5000;
const QByteArray kActivate = QByteArrayLiteral("activate\n");
const QByteArray kAcknowledged = QByteArrayLiteral("ok\n");

void printLine(const QString& line)
{
    std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

}  // namespace

void SingleInstanceBusTarget::Activate(const QVariantMap& platformData)
{
    Q_EMIT m_owner->activationRequested(platformData);
}

SingleInstance::SingleInstance(QString id, QObject* parent) : QObject(parent), m_id(std::move(id)) {}

SingleInstance::~SingleInstance()
{
    if (!m_busConnectionName.isEmpty()) {
        QDBusConnection::disconnectFromBus(m_busConnectionName);
    }
    if (m_server) {
        m_server->close();
    }
}

bool SingleInstance::sessionBusAvailable()
{
    // The one test of the whole program: a bus reachable without launching one.
    return tandrel::sessionBusAvailable();
}

QString SingleInstance::socketPath(const QString& id)
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation) + QLatin1Char('/') + id +
           QStringLiteral(".instance");
}

QString SingleInstance::objectPath(const QString& id)
{
    QString path = QLatin1Char('/') + id;
    path.replace(QLatin1Char('.'), QLatin1Char('/')).replace(QLatin1Char('-'), QLatin1Char('_'));
    return path;
}

QVariantMap SingleInstance::activationPlatformData()
{
    QVariantMap data;
    const std::pair<const char*, const char*> entries[] = {{"activation-token", "XDG_ACTIVATION_TOKEN"},
                                                           {"desktop-startup-id", "DESKTOP_STARTUP_ID"}};
    for (const auto& [key, variable] : entries) {
        if (const QString value = qEnvironmentVariable(variable); !value.isEmpty()) {
            data.insert(QString::fromLatin1(key), value);
        }
    }
    return data;
}

bool SingleInstance::claim()
{
    if (sessionBusAvailable()) {
        switch (claimOnSessionBus()) {
            case Claim::primary:
                m_mechanism = QStringLiteral("session bus");
                return true;
            case Claim::secondary:
                m_mechanism = QStringLiteral("session bus");
                return false;
            case Claim::unavailable:
                break;  // a bus named but not reachable: the local socket still keeps one instance
        }
    }
    m_mechanism = QStringLiteral("local socket");
    return claimWithLocalSocket();
}

SingleInstance::Claim SingleInstance::claimOnSessionBus()
{
    m_busConnectionName = QStringLiteral("tandrel-single-instance-%1").arg(quintptr(this));
    QDBusConnection bus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, m_busConnectionName);
    if (!bus.isConnected() || !bus.interface()) {
        QDBusConnection::disconnectFromBus(m_busConnectionName);
        m_busConnectionName.clear();
        return Claim::unavailable;
    }
    // The object answers before the name is taken, so no caller ever finds the name without it.
    m_busTarget = new SingleInstanceBusTarget(this);
    bus.registerObject(objectPath(m_id), kApplicationInterface, m_busTarget, QDBusConnection::ExportAllSlots);
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply = bus.interface()->registerService(
        m_id, QDBusConnectionInterface::DontQueueService, QDBusConnectionInterface::DontAllowReplacement);
    if (reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered) {
        return Claim::primary;
    }
    if (!reply.isValid()) {
        return Claim::unavailable;
    }
    QDBusMessage activate =
        QDBusMessage::createMethodCall(m_id, objectPath(m_id), kApplicationInterface, QStringLiteral("Activate"));
    activate << activationPlatformData();
    const QDBusMessage answer = bus.call(activate, QDBus::Block, kHandOverTimeoutMs);
    if (answer.type() == QDBusMessage::ErrorMessage) {
        printLine(QStringLiteral("Tandrel is already running; it did not answer: ") + answer.errorMessage());
    } else {
        printLine(QStringLiteral("Tandrel is already running; showing its window."));
    }
    return Claim::secondary;
}

bool SingleInstance::claimWithLocalSocket()
{
    const QString socket = socketPath(m_id);
    QDir().mkpath(QFileInfo(socket).absolutePath());
    m_lock = std::make_unique<QLockFile>(socket + QStringLiteral(".lock"));
    // A lock whose process is gone is taken over; a live one is never stale, however old.
    m_lock->setStaleLockTime(0);
    if (m_lock->tryLock(0)) {
        QLocalServer::removeServer(socket);  // left by an instance that ended without closing it
        m_server = new QLocalServer(this);
        m_server->setSocketOptions(QLocalServer::UserAccessOption);
        connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
        if (!m_server->listen(socket)) {
            printLine(QStringLiteral("Could not listen on %1: %2").arg(socket, m_server->errorString()));
        }
        return true;
    }
    if (m_lock->error() != QLockFile::LockFailedError) {
        // The runtime folder is not usable: rather two programs than none.
        printLine(QStringLiteral("Could not lock %1; not checking for another Tandrel.").arg(m_lock->fileName()));
        return true;
    }
    // The holder may still be starting: try until it listens, within a bound.
    const QDeadlineTimer deadline(kHandOverTimeoutMs);
    QLocalSocket client;
    while (!deadline.hasExpired()) {
        client.connectToServer(socket);
        if (client.waitForConnected(int(deadline.remainingTime()))) {
            client.write(kActivate);
            client.waitForBytesWritten(int(deadline.remainingTime()));
            while (client.bytesAvailable() < kAcknowledged.size() &&
                   client.waitForReadyRead(int(deadline.remainingTime()))) {
            }
            printLine(QStringLiteral("Tandrel is already running; showing its window."));
            return false;
        }
        client.abort();
        QThread::msleep(50);
    }
    printLine(QStringLiteral("Tandrel is already running; it did not answer."));
    return false;
}

void SingleInstance::acceptConnections()
{
    while (QLocalSocket* client = m_server->nextPendingConnection()) {
        connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
        connect(client, &QLocalSocket::readyRead, this, [this, client] {
            if (!client->canReadLine()) {
                return;
            }
            if (client->readLine() == kActivate) {
                client->write(kAcknowledged);
                client->flush();
                Q_EMIT activationRequested({});
            }
            client->disconnectFromServer();
        });
    }
}

}  // namespace tandrel

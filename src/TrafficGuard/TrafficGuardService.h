#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QList>
#include <QTimer>

#include <functional>

namespace tandrel::guard {

// The traffic guard on the system bus. Each call is checked in full first (arguments,
// then the caller with polkit: root is let by without asking), then carried out; calls are
// taken one at a time in the order they came, so a later Set always wins. A refused call
// leaves the kernel's table as it was. After `idleMs` without a call the program ends:
// the table stays, the bus starts us again when someone asks.
class TrafficGuardService : public QDBusVirtualObject {
    Q_OBJECT

public:
    TrafficGuardService(QDBusConnection bus, int idleMs, QObject* parent = nullptr);

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
    bool isIdle() const { return !m_busy && m_calls.isEmpty(); }
    QString introspect(const QString& path) const override;

Q_SIGNALS:
    void idle();

private:
    using Work = std::function<QDBusMessage()>;
    struct Call {
        QDBusMessage message;
        Work work;
    };

    void takeNext();
    void authorise(const QDBusMessage& message, std::function<void(bool)> done);
    void checkWithPolkit(const QDBusMessage& message, std::function<void(bool)> done);
    void finish(const QDBusMessage& reply);

    QDBusConnection m_bus;
    QList<Call> m_calls;
    bool m_busy = false;
    QTimer m_idle;
};

}  // namespace tandrel::guard

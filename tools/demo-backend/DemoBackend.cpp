#include "DemoBackend.h"

#include <QHostAddress>
#include <QTcpServer>

namespace tandrel::demo {

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

bool RecordedRequest::hasHeader(const QByteArray& name) const
{
    for (const auto& entry : headers) {
        if (entry.first.compare(name, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

QByteArray RecordedRequest::path() const
{
    const qsizetype query = pathAndQuery.indexOf('?');
    return query < 0 ? pathAndQuery : pathAndQuery.left(query);
}

class DemoBackend::Private {
public:
    QTcpServer server;
    QList<RecordedRequest> log;
    quint32 seed = 0;
};

DemoBackend::DemoBackend(QObject* parent, quint32 seed) : QObject(parent), d(std::make_unique<Private>())
{
    d->seed = seed;
}

DemoBackend::~DemoBackend() = default;

bool DemoBackend::listen(quint16 port)
{
    return d->server.listen(QHostAddress::LocalHost, port);
}
QString DemoBackend::errorString() const
{
    return d->server.errorString();
}
quint16 DemoBackend::port() const
{
    return d->server.serverPort();
}
QString DemoBackend::apiBase() const
{
    return webBase() + QStringLiteral("/api/");
}
QString DemoBackend::webBase() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

bool DemoBackend::hasAccount(const QString&) const
{
    return false;
}
void DemoBackend::addAccount(const QString&, const QString&, const AccountPlan&) {}
std::optional<AccountPlan> DemoBackend::plan(const QString&) const
{
    return std::nullopt;
}
void DemoBackend::setPlan(const QString&, const AccountPlan&) {}
void DemoBackend::setDeviceLimit(const QString&, int) {}
void DemoBackend::setTrialPossible(const QString&, bool) {}
QString DemoBackend::issueToken(const QString&)
{
    return {};
}
void DemoBackend::revokeToken(const QString&) {}
void DemoBackend::expireToken(const QString&) {}
QList<DeviceRecord> DemoBackend::devices(const QString&) const
{
    return {};
}
qint64 DemoBackend::addDevice(const QString&, const DeviceRecord&)
{
    return 0;
}
void DemoBackend::addRedeemCode(const QString&, RedeemCodeState) {}
nlohmann::json DemoBackend::regions() const
{
    return nlohmann::json::array();
}
nlohmann::json DemoBackend::plans() const
{
    return nlohmann::json::array();
}
nlohmann::json DemoBackend::slotPlans() const
{
    return nlohmann::json::array();
}
void DemoBackend::setRegionServerDomain(qint64, const QString&) {}
QList<RecordedRequest> DemoBackend::requests() const
{
    return d->log;
}
QList<RecordedRequest> DemoBackend::requestsTo(const QByteArray&, const QString&) const
{
    return {};
}
void DemoBackend::clearRequests()
{
    d->log.clear();
}
void DemoBackend::setFault(const QByteArray&, const QString&, const Fault&) {}
void DemoBackend::setResponse(const QByteArray&, const QString&, int, const QByteArray&) {}
void DemoBackend::clearFaults() {}

}  // namespace tandrel::demo

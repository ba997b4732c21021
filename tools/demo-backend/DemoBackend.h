#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QPair>
#include <QString>

#include <nlohmann/json.hpp>

#include <memory>
#include <optional>

namespace tandrel::demo {

// One request as it reached the socket: header names keep the case they were sent in,
// the body is the raw bytes.
struct RecordedRequest {
    QByteArray method;
    QByteArray pathAndQuery;  // the request target, e.g. "/api/config/ipsec/17?x=1"
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // First header of that name, compared without letter case (HTTP's rule); a null
    // array when absent.
    QByteArray header(const QByteArray& name) const;
    bool hasHeader(const QByteArray& name) const;
    // Just the path part of the target, without the query.
    QByteArray path() const;
};

// Changes how the backend answers one route, for testing the client against a bad day.
// A fault with a body (or a dropped connection) replaces the route: it does not run and
// changes nothing, and the status defaults to 200. Without a body the route runs as
// usual and only its status, content type or timing change.
struct Fault {
    std::optional<int> status;
    std::optional<QByteArray> body;         // raw bytes: empty, not JSON, HTML, huge…
    std::optional<QByteArray> contentType;  // defaults to "application/json"
    int delayMs = 0;                        // answer (or drop) only after this long
    // Close the connection without any answer. QNetworkAccessManager sends a request once
    // more when a kept-alive connection closes under it, so leave times at -1 to be sure
    // the client sees the drop.
    bool dropConnection = false;
    int times = -1;  // how many requests it applies to; -1 until cleared
};

// A device registered with an account, shaped like the device list's entries.
struct DeviceRecord {
    qint64 id = 0;  // assigned by the backend
    QString uid;
    QString device_name;
    QString os;
    QString platform;
    QString last_login_at;  // "" when the device never logged in
};

// What "users/me/plan" reports for an account.
struct AccountPlan {
    QString status = QStringLiteral("active");  // anything but "active" is expired
    QString name = QStringLiteral("Yearly");
    bool is_unlimited = false;
    bool is_trial = false;
    int device_count = 5;  // also the device limit that the tunnel configuration enforces
};

enum class RedeemCodeState { fresh, used, invalid };

// The stand-in of the VPN service's backend: the whole HTTP API below "/api/" on a
// loopback port, served from the caller's event loop (it never blocks, so tests can run
// the client and the backend on one thread). Its answers depend only on the seed and on
// what happened through the API or the test helpers below.
class DemoBackend : public QObject {
    Q_OBJECT
public:
    static constexpr quint32 kDefaultSeed = 20261207;
    static constexpr quint16 kDefaultPort = 8471;

    // The seeded accounts. The demo account starts on an active plan with two devices;
    // the expired account's plan has run out.
    static inline const QString demoEmail = QStringLiteral("demo@tandrel.example");
    static inline const QString demoPassword = QStringLiteral("tandrel-demo");
    static inline const QString expiredEmail = QStringLiteral("expired@tandrel.example");
    static inline const QString expiredPassword = QStringLiteral("tandrel-expired");
    // An account that has never had a plan and may still take the trial, so the pricing
    // sheet offers it.
    static inline const QString trialEmail = QStringLiteral("trial@tandrel.example");
    static inline const QString trialPassword = QStringLiteral("tandrel-trial");

    // Redeem codes present at start (any other code is wrong, "E0141"): the fresh one
    // succeeds once and gives a yearly plan, then counts as used ("E0142").
    static inline const QString freshRedeemCode = QStringLiteral("TANDREL-GIFT-2026");
    static inline const QString usedRedeemCode = QStringLiteral("TANDREL-USED-0001");
    static inline const QString invalidRedeemCode = QStringLiteral("TANDREL-VOID-0001");

    explicit DemoBackend(QObject* parent = nullptr, quint32 seed = kDefaultSeed);
    ~DemoBackend() override;

    // Listens on 127.0.0.1 only; port 0 picks a free port.
    bool listen(quint16 port = 0);
    QString errorString() const;
    quint16 port() const;
    QString apiBase() const;  // "http://127.0.0.1:<port>/api/"
    QString webBase() const;  // "http://127.0.0.1:<port>" (no trailing slash)

    // Accounts.
    bool hasAccount(const QString& email) const;
    void addAccount(const QString& email, const QString& password, const AccountPlan& plan = {});
    std::optional<AccountPlan> plan(const QString& email) const;
    void setPlan(const QString& email, const AccountPlan& plan);
    void setDeviceLimit(const QString& email, int deviceCount);  // the plan's device_count
    void setTrialPossible(const QString& email, bool possible);

    // Tokens. issueToken gives a fresh valid token for an existing account (empty text
    // for an unknown one), as a log-in would, but without registering a device.
    QString issueToken(const QString& email);
    void revokeToken(const QString& token);  // as a log-out does: later use gives "E0115"
    void expireToken(const QString& token);  // later use gives "E0114"

    // Devices of an account, in the order the device list sends them.
    QList<DeviceRecord> devices(const QString& email) const;
    qint64 addDevice(const QString& email, const DeviceRecord& device);  // returns the id

    void addRedeemCode(const QString& code, RedeemCodeState state);

    // The answers of "users/me/regions", "vpn/plans" and "vpn/slots" as they stand.
    nlohmann::json regions() const;
    nlohmann::json plans() const;
    nlohmann::json slotPlans() const;
    // Points a region at another server, e.g. a test's own responder.
    void setRegionServerDomain(qint64 regionId, const QString& serverDomain);

    // Request log, oldest first.
    QList<RecordedRequest> requests() const;
    QList<RecordedRequest> requestsTo(const QByteArray& method, const QString& path) const;
    void clearRequests();

    // Faults per route. method is "GET", "POST" or "DELETE"; path is the path below the
    // API base without query ("config/ipsec/17"; a leading "/api/" is accepted), or a
    // prefix ending in "*" ("config/ipsec/*"). A later fault for the same route replaces
    // the earlier one.
    void setFault(const QByteArray& method, const QString& path, const Fault& fault);
    // A fixed answer for a route until cleared: a fault with status and body.
    void setResponse(const QByteArray& method, const QString& path, int status, const QByteArray& body);
    void clearFaults();

signals:
    void requestReceived(const tandrel::demo::RecordedRequest& request);

private:
    class Private;
    std::unique_ptr<Private> d;
};

}  // namespace tandrel::demo

#pragma once

#include "Network/JSON.h"
#include "Platform/Error.h"

#include <QList>
#include <QMap>
#include <QObject>
#include <QPair>
#include <QString>

#include <functional>
#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class QUrl;

namespace tandrel {

// GET and DELETE: exactly one of error and JSON is present.
using GetCompletion = std::function<void(std::optional<Error> error, std::optional<JSON> json)>;
// POST: as above, plus the HTTP status whenever an HTTP response arrived.
using PostCompletion =
    std::function<void(std::optional<Error> error, std::optional<JSON> json, std::optional<int> status)>;
using FormParams = QMap<QString, QString>;

// The only way the program talks to the VPN service's backend.
class Client : public QObject {
    Q_OBJECT
public:
    static Client& shared();

    // The API base address (ends in "/api/"). The build sets it; tests point it at a
    // stand-in backend on loopback.
    static QString serverPath();
    // The "logout" that an expired or revoked session brings carries this reason under
    // this key in its user information.
    static inline const QString logoutReasonKey = QStringLiteral("reason");
    static inline const QString sessionExpiredReason = QStringLiteral("sessionExpired");
    static void setServerPath(const QString& path);

    // The domains of the client's own failures, and what each tells a user.
    static inline const QString networkErrorDomain = QStringLiteral("NetworkError");
    static inline const QString serverErrorDomain = QStringLiteral("ServerError");  // code: the HTTP status
    static inline const QString tooLargeErrorDomain = QStringLiteral("AnswerTooLarge");
    enum class FailureKind { network, serverError, notUnderstood, tooLarge, other };
    static FailureKind failureKind(const Error& error);
    // One English sentence per kind for a failure panel, the key of its translation in the
    // context "Client"; `other` (a locked keyring, an ended session) reads as `network`.
    static const char* failureSentence(FailureKind kind);
    static const QString boundary;

    // Device fields, computed once when the shared instance is made.
    const QString platform;
    const QString deviceName;
    const QString os;
    const QString appVersion;

    QMap<QString, QString> defaultHeaders() const;
    QMap<QString, QString> authHeaders() const;

    // Endpoints, in the order of the class's method table.
    void signupWithUid(const QString& uid, const QString& password, PostCompletion completion);
    void associateUserWithEmail(const QString& email, const QString& password, const QString& uid,
                                PostCompletion completion);
    void loginWithUid(const QString& uid, const QString& password, PostCompletion completion);
    void loginWithEmail(const QString& email, const QString& password, PostCompletion completion);
    void userInformation(GetCompletion completion);
    void userIp(GetCompletion completion);
    void userPlans(GetCompletion completion);
    void userSlotPlans(GetCompletion completion);
    void userCurrentPlan(GetCompletion completion);
    void userDelete(GetCompletion completion);
    void userRegions(GetCompletion completion);
    void userBestRegions(GetCompletion completion);
    void IPSecConfiguration(const QString& prot, GetCompletion completion);
    void openVPNConfiguration(const QString& prot, GetCompletion completion);
    void codesApplyWithCode(const QString& code, const QString& pladId, PostCompletion completion);
    void receiptValidateWithReceipt(const QString& receipt, bool isSubscription, PostCompletion completion);
    void resetPasswordWithEmail(const QString& email, PostCompletion completion);
    void resetPasswordWithEmailCode(const QString& email, const QString& code, PostCompletion completion);
    void resetPasswordWithEmailPassword(const QString& email, const QString& password, PostCompletion completion);

    // Transport.
    void get(const QString& path, bool auth, GetCompletion completion);
    void post(const QString& path, const FormParams& params, bool auth, PostCompletion completion);
    void delete_(const QString& path, bool auth, GetCompletion completion);

    void redeemCodeByEmail(const QString& email, const QString& code, PostCompletion completion);
    void isTrialPossibleWithUid(const QString& uid, PostCompletion completion);
    void getDevices(GetCompletion completion);
    void deleteDevice(const QString& id, GetCompletion completion);
    void logout(PostCompletion completion);

    // Names of the backend's JSON and form keys.
    struct Keys {
        static inline const QString id = QStringLiteral("id");
        static inline const QString uid = QStringLiteral("uid");
        static inline const QString uidPassword = QStringLiteral("uid_password");
        static inline const QString name = QStringLiteral("name");
        static inline const QString email = QStringLiteral("email");
        static inline const QString emailPassword = QStringLiteral("email_password");
        static inline const QString code = QStringLiteral("code");
        static inline const QString errors = QStringLiteral("errors");
        static inline const QString message = QStringLiteral("message");
        static inline const QString regionName = QStringLiteral("region_name");
        static inline const QString countryName = QStringLiteral("country_name");
        static inline const QString isAlive = QStringLiteral("is_alive");
        static inline const QString countryCode = QStringLiteral("country_code");
        static inline const QString serverDomain = QStringLiteral("server_domain");
        static inline const QString accesToken = QStringLiteral("access_token");
        static inline const QString planId = QStringLiteral("plan_id");
        static inline const QString isSubscription = QStringLiteral("is_subscription");
        static inline const QString receipt = QStringLiteral("receipt");
        static inline const QString passwordConfirmation = QStringLiteral("password_confirmation");
        static inline const QString password = QStringLiteral("password");
        static inline const QString radiusLogin = QStringLiteral("radius_login");
        static inline const QString radiusPassword = QStringLiteral("radius_password");
        static inline const QString ca = QStringLiteral("ca");
        static inline const QString cert = QStringLiteral("cert");
        static inline const QString key = QStringLiteral("key");
        static inline const QString appVersion = QStringLiteral("app_version");
        static inline const QString platform = QStringLiteral("platform");
        static inline const QString os = QStringLiteral("os");
        static inline const QString deviceName = QStringLiteral("device_name");
    };

private:
    // What one finished request left behind, taken from the reply before it goes away.
    struct TaskOutcome {
        std::optional<Error> transportError;
        std::optional<int> status;  // present whenever an HTTP response arrived
        QByteArray body;
    };
    using HeaderList = QList<QPair<QByteArray, QByteArray>>;

    Client();
    QNetworkAccessManager* network();
    QMap<QString, QString> deviceFields() const;
    void sendWithoutBody(const QByteArray& verb, const QString& path, bool auth, GetCompletion completion);
    // An authenticated request to route + id, the id kept to one path segment.
    void sendToItem(const QByteArray& verb, const QString& route, const QString& id, GetCompletion completion);
    void startTask(const QByteArray& verb, const QUrl& url, const HeaderList& headers, const QByteArray& body,
                   std::function<void(const TaskOutcome&)> finished);
    QNetworkReply* sendRequest(const QByteArray& verb, const QUrl& url, const HeaderList& headers,
                               const QByteArray& body);
    void watchReply(QNetworkReply* reply, const QUrl& url, std::function<void(const TaskOutcome&)> finished);
    // The JSON value of an answer with this status and body, or the error its caller gets;
    // `form` for a POST, whose refusals carry "errors".
    Result<JSON> readAnswer(int status, const QByteArray& body, bool form, quint64 session);
    // `session` is the one the request was sent in: an answer to an ended session logs
    // nothing out again.
    std::optional<Error> handleErrorCode(const JSON& json, quint64 session);
    static HeaderList headerList(const QMap<QString, QString>& headers);
    static QString multipartBoundary(const FormParams& params);
    static QByteArray multipartBody(const FormParams& params, const QString& boundaryText);

    QNetworkAccessManager* m_network = nullptr;
};

}  // namespace tandrel

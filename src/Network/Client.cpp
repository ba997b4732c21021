#include "Network/Client.h"

#include "BuildConfig.h"
#include "Classes/Preferences.h"
#include "Classes/Session.h"
#include "Extensions/NotificationName.h"
#include "Platform/Diagnostics.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/MainQueue.h"
#include "Platform/NotificationCenter.h"

#include <QCoreApplication>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QRandomGenerator>
#include <QStringList>
#include <QUrl>

namespace tandrel {

namespace {

constexpr int kRequestTimeoutMilliseconds = 10 * 1000;
// Every backend answer is a small JSON document; anything near this size is a fault or an
// attack, and reading it whole would take memory without bound.
constexpr qint64 kMaxAnswerBytes = 16 * 1024 * 1024;

// Same-origin hops a request may take before it ends as a redirect loop.
constexpr int kMaximumRedirects = 5;

const QString kClientErrorDomain = QStringLiteral("ClientError");
const QString kFailingURLKey = QStringLiteral("NSErrorFailingURLStringKey");
constexpr int kTooLargeCode = -1103;

// The codes the backend answers a refused request with, whatever its status; callers read
// the ones the client does not act on itself.
const QStringList kBackendErrorCodes = {QStringLiteral("E0112"), QStringLiteral("E0113"), QStringLiteral("E0114"),
                                        QStringLiteral("E0115"), QStringLiteral("E0121"), QStringLiteral("E0141"),
                                        QStringLiteral("E0142"), QStringLiteral("E0143"), QStringLiteral("E0161")};

QString& serverPathStorage()
{
    static QString path = QString::fromUtf8(BuildConfig::apiBase);
    return path;
}

// Qt reports an HTTP error status as a reply error too; those answers arrived whole and
// are judged by their status and body, not as transport failures. A 407 counts among them:
// Qt files it under the proxy errors even when the answer came from the server itself.
bool isHttpStatusError(QNetworkReply::NetworkError error)
{
    return (error >= QNetworkReply::ContentAccessDenied && error <= QNetworkReply::UnknownContentError) ||
           error == QNetworkReply::ProtocolInvalidOperationError ||
           error == QNetworkReply::ProxyAuthenticationRequiredError ||
           (error >= QNetworkReply::InternalServerError && error <= QNetworkReply::UnknownServerError);
}

bool isSuccessStatus(int status)
{
    return status >= 200 && status < 300;
}

Error urlError(int code, const QString& description, const QUrl& url)
{
    return Error(Client::networkErrorDomain, code,
                 {{Error::localizedDescriptionKey, description}, {kFailingURLKey, url.toString(QUrl::FullyEncoded)}});
}

Error serverError(int status)
{
    return Error::withDescription(Client::serverErrorDomain, status,
                                  QStringLiteral("The server answered with an error (HTTP %1).").arg(status));
}

Error tooLargeError(const QString& description)
{
    return Error::withDescription(Client::tooLargeErrorDomain, kTooLargeCode, description);
}

// A redirect may stay on the origin it started from: the bearer token and a form body
// (for a log-in, the account password) must never reach another host, port or scheme.
// Qt's same-origin policy refuses any other before a byte is sent; this says so in words.
bool sameOrigin(const QUrl& from, const QUrl& to)
{
    const int defaultPort = from.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0 ? 443 : 80;
    return from.scheme().compare(to.scheme(), Qt::CaseInsensitive) == 0 &&
           from.host().compare(to.host(), Qt::CaseInsensitive) == 0 && from.port(defaultPort) == to.port(defaultPort);
}

Error redirectRefused(const QUrl& url, const QUrl& target)
{
    return urlError(
        -1011,
        QStringLiteral("The server redirected the request to %1, away from the backend; it was not followed.")
            .arg(target.adjusted(QUrl::RemovePath | QUrl::RemoveQuery | QUrl::RemoveFragment | QUrl::RemoveUserInfo)
                     .toString()),
        url);
}

Error transportError(QNetworkReply::NetworkError error, const QString& detail, const QUrl& url)
{
    int code = -1;
    QString description;
    switch (error) {
        case QNetworkReply::TimeoutError:
        case QNetworkReply::OperationCanceledError:  // only the transfer timeout aborts a request
            code = -1001;
            description = QStringLiteral("The request timed out.");
            break;
        case QNetworkReply::ConnectionRefusedError:
        case QNetworkReply::ProxyConnectionRefusedError:
            code = -1004;
            description = QStringLiteral("Could not connect to the server.");
            break;
        case QNetworkReply::RemoteHostClosedError:
        case QNetworkReply::ProxyConnectionClosedError:
            code = -1005;
            description = QStringLiteral("The network connection was lost.");
            break;
        case QNetworkReply::HostNotFoundError:
        case QNetworkReply::ProxyNotFoundError:
            code = -1003;
            description = QStringLiteral("A server with the specified hostname could not be found.");
            break;
        case QNetworkReply::SslHandshakeFailedError:
            code = -1200;
            description =
                QStringLiteral("An SSL error has occurred and a secure connection to the server cannot be made.");
            break;
        case QNetworkReply::TemporaryNetworkFailureError:
        case QNetworkReply::NetworkSessionFailedError:
        case QNetworkReply::BackgroundRequestNotAllowedError:
            code = -1009;
            description = QStringLiteral("The Internet connection appears to be offline.");
            break;
        case QNetworkReply::TooManyRedirectsError:
            code = -1007;
            description = QStringLiteral("The server redirected the request too many times; it was given up.");
            break;
        case QNetworkReply::ProtocolUnknownError:
            code = -1002;
            description = QStringLiteral("Unsupported URL.");
            break;
        case QNetworkReply::ProtocolFailure:
            code = -1011;
            description = QStringLiteral("The server returned a response that could not be read.");
            break;
        default:
            description = QStringLiteral("The request failed: %1.").arg(detail);
            break;
    }
    return urlError(code, description, url);
}

// A URL from the address text, or nullopt when the text is not a valid URL.
std::optional<QUrl> makeURL(const QString& path)
{
    const QUrl url(path, QUrl::StrictMode);
    if (path.isEmpty() || !url.isValid()) {
        return std::nullopt;
    }
    return url;
}

// The request never went out: without its token the backend would end the session.
Error lockedKeyringError()
{
    return Error(kOSStatusErrorDomain, KeychainStatus::interactionNotAllowed,
                 {{Error::localizedDescriptionKey,
                   QStringLiteral("The keyring is locked; the request was not sent. Unlock it and try again.")}});
}

Error invalidURLError()
{
    return Error(QStringLiteral("Invalid URL"), 0);
}

Error unknownError()
{
    return Error::withDescription(QStringLiteral("Unknown error"), 0,
                                  QStringLiteral("The server's answer was not understood."));
}

// The parser's error says where and what, never the bytes themselves.
Error notUnderstood(const Error& parseError)
{
    return Error::withDescription(QStringLiteral("Unknown error"), 0,
                                  QStringLiteral("The server's answer was not understood. ") +
                                      parseError.localizedDescription());
}

// An id as exactly one path segment: a plain id stays as it is, while "/", "?" or "#"
// are percent-encoded so they cannot reach another route. An empty id or a dot segment
// would name the parent route whatever its encoding (the URL layer decodes "%2E" and
// resolves ".."), so it makes no address at all.
std::optional<QString> pathSegment(const QString& id)
{
    if (id.isEmpty() || id == QLatin1String(".") || id == QLatin1String("..")) {
        return std::nullopt;
    }
    return QString::fromLatin1(QUrl::toPercentEncoding(id));
}

QString randomBoundary()
{
    // Same shape as the fixed boundary: 26 hyphens and 24 digits.
    QString text(26, QLatin1Char('-'));
    for (int i = 0; i < 24; ++i) {
        text += QLatin1Char(static_cast<char>('0' + QRandomGenerator::system()->bounded(10)));
    }
    return text;
}

bool paramsContain(const FormParams& params, const QString& text)
{
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        if (it.key().contains(text) || it.value().contains(text)) {
            return true;
        }
    }
    return false;
}

}  // namespace

const QString Client::boundary = QStringLiteral("--------------------------487394079664597082378530");

Client::Client()
    : platform(QStringLiteral("macSA")),
      deviceName([] {
          const QString name = Host::localizedName();
          return name.isEmpty() ? QStringLiteral("Unknown Device") : name;
      }()),
      os([] {
          const auto version = Host::operatingSystemVersion();
          return QStringLiteral("%1.%2.%3").arg(version[0]).arg(version[1]).arg(version[2]);
      }()),
      appVersion([] {
          const QString version = Host::shortVersion();
          return version.isEmpty() ? QStringLiteral("Unknown Version") : version;
      }())
{
    // The loader and every completion belong to the main thread, whichever thread made
    // the shared instance first.
    if (QCoreApplication* application = QCoreApplication::instance()) {
        moveToThread(application->thread());
    }
}

Client& Client::shared()
{
    // Never torn down: requests may still finish while the program exits.
    static Client* const instance = new Client();
    return *instance;
}

QString Client::serverPath()
{
    return serverPathStorage();
}

void Client::setServerPath(const QString& path)
{
    serverPathStorage() = path;
}

Client::FailureKind Client::failureKind(const Error& error)
{
    const QString& domain = error.domain();
    if (domain == networkErrorDomain) {
        return FailureKind::network;
    }
    if (domain == serverErrorDomain) {
        return FailureKind::serverError;
    }
    if (domain == tooLargeErrorDomain) {
        return FailureKind::tooLarge;
    }
    if (domain == QLatin1String("Unknown error") || domain == QLatin1String("No data received") ||
        domain == JSON::parseErrorDomain) {
        return FailureKind::notUnderstood;
    }
    return FailureKind::other;
}

const char* Client::failureSentence(FailureKind kind)
{
    switch (kind) {
        case FailureKind::network:
        case FailureKind::other:
            return QT_TRANSLATE_NOOP("Client", "Check your internet connection and try again.");
        case FailureKind::serverError:
            return QT_TRANSLATE_NOOP("Client", "The server answered with an error. Please try again later.");
        case FailureKind::notUnderstood:
            return QT_TRANSLATE_NOOP("Client", "The server's answer could not be understood. Please try again later.");
        case FailureKind::tooLarge:
            return QT_TRANSLATE_NOOP("Client", "The server's answer was too large to read. Please try again later.");
    }
    return nullptr;
}

QNetworkAccessManager* Client::network()
{
    assertMainThread();  // the loader and its replies live on the main thread
    if (!m_network) {
        m_network = new QNetworkAccessManager(this);
        m_network->setTransferTimeout(kRequestTimeoutMilliseconds);
    }
    return m_network;
}

QMap<QString, QString> Client::defaultHeaders() const
{
    return {{QStringLiteral("Accept"), QStringLiteral("application/json")},
            {QStringLiteral("Cache-control"), QStringLiteral("no-cache")}};
}

QMap<QString, QString> Client::authHeaders() const
{
    QMap<QString, QString> headers = defaultHeaders();
    headers.insert(QStringLiteral("Authorization"),
                   QStringLiteral("Bearer ") + Preferences::token().value_or(QString()));
    return headers;
}

QString Client::multipartBoundary(const FormParams& params)
{
    QString chosen = boundary;
    // A value holding the boundary would end its part early and smuggle in fields of its own.
    while (paramsContain(params, chosen)) {
        chosen = randomBoundary();
    }
    return chosen;
}

QByteArray Client::multipartBody(const FormParams& params, const QString& boundaryText)
{
    const QByteArray crlf("\r\n");
    const QByteArray delimiter = "--" + boundaryText.toUtf8();
    QByteArray body;
    for (auto it = params.cbegin(); it != params.cend(); ++it) {
        body += delimiter + crlf;
        body += "Content-Disposition: form-data; name=\"" + it.key().toUtf8() + "\"" + crlf + crlf;
        body += it.value().toUtf8() + crlf;
    }
    body += delimiter + "--" + crlf;
    return body;
}

void Client::startTask(const QByteArray& verb, const QUrl& url, const HeaderList& headers, const QByteArray& body,
                       std::function<void(const TaskOutcome&)> finished)
{
    if (!MainQueue::isMainThread()) {
        // The loader lives on the main thread; a request made elsewhere starts there.
        MainQueue::async([this, verb, url, headers, body, finished = std::move(finished)]() mutable {
            startTask(verb, url, headers, body, std::move(finished));
        });
        return;
    }
    watchReply(sendRequest(verb, url, headers, body), url, std::move(finished));
}

QNetworkReply* Client::sendRequest(const QByteArray& verb, const QUrl& url, const HeaderList& headers,
                                   const QByteArray& body)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(kRequestTimeoutMilliseconds);
    // Redirects are followed on the same origin only (Qt's default would follow one to any
    // host, headers and body included), one request per hop, and a loop ends after a few.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::SameOriginRedirectPolicy);
    request.setMaximumRedirectsAllowed(kMaximumRedirects);
    for (const auto& [name, value] : headers) {
        // Qt writes header values as they are: a line break in a stored token would start
        // a header of its own.
        QByteArray oneLine = value;
        oneLine.replace('\r', QByteArray()).replace('\n', QByteArray());
        request.setRawHeader(name, oneLine);
    }
    QNetworkReply* reply = nullptr;
    if (verb == "POST") {
        reply = network()->post(request, body);
    } else if (verb == "DELETE") {
        reply = network()->deleteResource(request);
    } else {
        reply = network()->get(request);
    }
    return reply;
}

// Follows the answer as it arrives: a redirect away from the backend and an answer over
// the size cap end the request; the outcome goes to `finished` once the reply is done.
void Client::watchReply(QNetworkReply* reply, const QUrl& url, std::function<void(const TaskOutcome&)> finished)
{
    // Why the client itself ended the request, when it did.
    struct Reading {
        QByteArray body;
        std::optional<Error> refusal;
    };
    auto reading = std::make_shared<Reading>();
    auto refuse = [reply, reading](Error error) {
        if (!reading->refusal) {
            reading->refusal = std::move(error);
            reading->body.clear();
            reply->abort();
        }
    };
    connect(reply, &QNetworkReply::redirected, this, [url, reading, refuse](const QUrl& target) {
        if (!sameOrigin(url, target)) {
            refuse(redirectRefused(url, target));
            return;
        }
        reading->body.clear();  // the answer is the redirect target's, not the redirect's
    });
    auto tooLarge = [] {
        return tooLargeError(QStringLiteral("The server's answer is larger than 16 MiB; it was not read."));
    };
    connect(reply, &QNetworkReply::metaDataChanged, this, [reply, refuse, tooLarge] {
        const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
        if (length.isValid() && length.toLongLong() > kMaxAnswerBytes) {
            refuse(tooLarge());
        }
    });
    connect(reply, &QNetworkReply::readyRead, this, [reply, reading, refuse, tooLarge] {
        if (reading->refusal) {
            return;
        }
        reading->body += reply->read(kMaxAnswerBytes + 1 - reading->body.size());
        if (reading->body.size() > kMaxAnswerBytes) {
            refuse(tooLarge());
        }
    });
    connect(reply, &QNetworkReply::finished, this, [reply, url, reading, tooLarge, finished = std::move(finished)] {
        TaskOutcome outcome;
        if (!reading->refusal && reading->body.size() + reply->bytesAvailable() > kMaxAnswerBytes) {
            reading->refusal = tooLarge();
        }
        if (reading->refusal) {
            outcome.transportError = reading->refusal;
            reply->deleteLater();
            finished(outcome);
            return;
        }
        const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
        if (status.isValid()) {
            outcome.status = status.toInt();
        }
        const QNetworkReply::NetworkError error = reply->error();
        if (error == QNetworkReply::InsecureRedirectError) {
            const QUrl target = url.resolved(reply->header(QNetworkRequest::LocationHeader).toUrl());
            outcome.transportError = redirectRefused(url, target);
            outcome.status.reset();
        } else if (error != QNetworkReply::NoError && !(outcome.status && isHttpStatusError(error))) {
            outcome.transportError = transportError(error, reply->errorString(), url);
        } else {
            reading->body += reply->readAll();
            outcome.body = std::move(reading->body);
        }
        reply->deleteLater();
        finished(outcome);
    });
}

Client::HeaderList Client::headerList(const QMap<QString, QString>& headers)
{
    HeaderList list;
    for (auto it = headers.cbegin(); it != headers.cend(); ++it) {
        list.append({it.key().toUtf8(), it.value().toUtf8()});
    }
    return list;
}

void Client::sendWithoutBody(const QByteArray& verb, const QString& path, bool auth, GetCompletion completion)
{
    const std::optional<QUrl> url = makeURL(path);
    if (!url) {
        completion(invalidURLError(), std::nullopt);
        return;
    }
    if (auth && Preferences::isLocked(Preferences::Keys::token)) {
        // Sent without its token, the backend would end the session; a locked keyring must not.
        MainQueue::async(
            [completion] { completion(lockedKeyringError(), std::nullopt); });
        return;
    }
    startTask(verb, *url, headerList(auth ? authHeaders() : defaultHeaders()), QByteArray(),
              [this, completion = std::move(completion), session = Session::current()](const TaskOutcome& outcome) {
                  MainQueue::async([this, completion, outcome, session] {
                      if (outcome.transportError) {
                          printLine(outcome.transportError->description());
                          completion(outcome.transportError, std::nullopt);
                          return;
                      }
                      if (!outcome.status) {
                          completion(unknownError(), std::nullopt);
                          return;
                      }
                      Result<JSON> answer = readAnswer(*outcome.status, outcome.body, false, session);
                      if (!answer) {
                          const bool parseFailed = answer.error().domain() == JSON::parseErrorDomain;
                          completion(parseFailed ? notUnderstood(answer.error()) : answer.error(), std::nullopt);
                          return;
                      }
                      completion(std::nullopt, std::move(answer.value()));
                  });
              });
}

void Client::sendToItem(const QByteArray& verb, const QString& route, const QString& id, GetCompletion completion)
{
    const std::optional<QString> segment = pathSegment(id);
    if (!segment) {
        completion(invalidURLError(), std::nullopt);
        return;
    }
    sendWithoutBody(verb, serverPath() + route + *segment, true, std::move(completion));
}

void Client::get(const QString& path, bool auth, GetCompletion completion)
{
    sendWithoutBody("GET", path, auth, std::move(completion));
}

void Client::delete_(const QString& path, bool auth, GetCompletion completion)
{
    sendWithoutBody("DELETE", path, auth, std::move(completion));
}

void Client::post(const QString& path, const FormParams& params, bool auth, PostCompletion completion)
{
    const std::optional<QUrl> url = makeURL(path);
    if (!url) {
        completion(invalidURLError(), std::nullopt, std::nullopt);
        return;
    }
    if (auth && Preferences::isLocked(Preferences::Keys::token)) {
        MainQueue::async([completion] {
            completion(lockedKeyringError(), std::nullopt, std::nullopt);
        });
        return;
    }
    const QString boundaryText = multipartBoundary(params);
    HeaderList headers = {
        {"Accept", "application/json"},
        {"Cache-Control", "no-cache"},
        {"Content-Type", "multipart/form-data; boundary=" + boundaryText.toUtf8()},
    };
    if (auth) {
        // Unlike GET and DELETE, no header at all while no token item is stored.
        if (const std::optional<QString> token = Preferences::token()) {
            headers.append({"Authorization", "Bearer " + token->toUtf8()});
        }
    }
    startTask("POST", *url, headers, multipartBody(params, boundaryText),
              [this, completion = std::move(completion), session = Session::current()](const TaskOutcome& outcome) {
                  MainQueue::async([this, completion, outcome, session] {
                      if (outcome.transportError) {
                          printLine(QStringLiteral("Error: ") + outcome.transportError->localizedDescription());
                          completion(outcome.transportError, std::nullopt, std::nullopt);
                          return;
                      }
                      if (!outcome.status) {
                          completion(unknownError(), std::nullopt, std::nullopt);
                          return;
                      }
                      Result<JSON> answer = readAnswer(*outcome.status, outcome.body, true, session);
                      if (!answer) {
                          if (answer.error().domain() == JSON::parseErrorDomain) {
                              printLine(QStringLiteral("JSON Parsing Error: ") + answer.error().localizedDescription());
                          }
                          completion(answer.error(), std::nullopt, outcome.status);
                          return;
                      }
                      completion(std::nullopt, std::move(answer.value()), outcome.status);
                  });
              });
}

// The one rule for every answer that arrived whole. A status outside 2xx is a failure:
// neither an error page nor a JSON body sent with it is a good answer, whatever it holds.
// The backend's own refusals are the exception, as their callers read them: an answer with
// one of its error codes (at any status), and a form's refusal with its "errors" (a POST
// answered 4xx).
Result<JSON> Client::readAnswer(int status, const QByteArray& body, bool form, quint64 session)
{
    Result<JSON> parsed = JSON::parse(body);
    if (!parsed) {
        if (!isSuccessStatus(status)) {
            return serverError(status);
        }
        if (parsed.error().code() == JSON::tooLargeCode) {
            return tooLargeError(QStringLiteral("The server's answer is too large to be read; it was not used."));
        }
        return parsed.error();
    }
    const JSON& json = parsed.value();
    if (!isSuccessStatus(status)) {
        const std::optional<QString> code = json["code"].string();
        const bool backendCode = code && kBackendErrorCodes.contains(*code);
        const bool formRefusal = form && status >= 400 && status < 500 && json.type() == JSON::Type::object &&
                                 json["errors"].exists();
        if (!backendCode && !formRefusal) {
            return serverError(status);
        }
    }
    if (std::optional<Error> failure = handleErrorCode(json, session)) {
        return *failure;
    }
    return parsed;
}

std::optional<Error> Client::handleErrorCode(const JSON& json, quint64 session)
{
    const std::optional<QString> code = json["code"].string();
    if (!code) {
        return std::nullopt;
    }
    static const QStringList expiredSession = {QStringLiteral("E0112"), QStringLiteral("E0113"),
                                               QStringLiteral("E0114"), QStringLiteral("E0115")};
    if (expiredSession.contains(*code)) {
        // A request sent before a log-out is answered so once the backend has voided its
        // token: that session has already ended, and the one after it (or the log-in
        // screen) is not the one that expired.
        if (Session::isCurrent(session)) {
            // Synchronously, so the log-out has finished before the caller sees the error.
            // The reason lets the login screen say why the user has to log in again.
            NotificationCenter::defaultCenter().post(kLogoutNotification, nullptr,
                                                     {{logoutReasonKey, sessionExpiredReason}});
        }
        return Error::withDescription(kClientErrorDomain, 401, QStringLiteral("Session(JWT) expired or invalid."));
    }
    if (*code == QLatin1String("E0161")) {
        // Queued, so the caller's completion runs first.
        MainQueue::async([] { NotificationCenter::defaultCenter().post(kShowSlotsPaymentAlertNotification); });
        return Error::withDescription(kClientErrorDomain, 401, QStringLiteral("No slots available."));
    }
    return std::nullopt;
}

// Endpoints.

QMap<QString, QString> Client::deviceFields() const
{
    return {{QStringLiteral("platform"), platform},
            {QStringLiteral("os"), os},
            {QStringLiteral("app_version"), appVersion},
            {QStringLiteral("device_name"), deviceName}};
}

void Client::signupWithUid(const QString& uid, const QString& password, PostCompletion completion)
{
    FormParams params = deviceFields();
    params.insert(QStringLiteral("uid"), uid);
    params.insert(QStringLiteral("uid_password"), password);
    post(serverPath() + QStringLiteral("auth/signup"), params, false, std::move(completion));
}

void Client::associateUserWithEmail(const QString& email, const QString& password, const QString& uid,
                                    PostCompletion completion)
{
    FormParams params = deviceFields();
    params.insert(QStringLiteral("email"), email);
    params.insert(QStringLiteral("email_password"), password);
    params.insert(QStringLiteral("uid"), uid);
    post(serverPath() + QStringLiteral("auth/email"), params, false, std::move(completion));
}

void Client::loginWithUid(const QString& uid, const QString& password, PostCompletion completion)
{
    FormParams params = deviceFields();
    params.insert(QStringLiteral("uid"), uid);
    params.insert(QStringLiteral("uid_password"), password);
    post(serverPath() + QStringLiteral("auth/login/uid"), params, false, std::move(completion));
}

void Client::loginWithEmail(const QString& email, const QString& password, PostCompletion completion)
{
    FormParams params = deviceFields();
    params.insert(QStringLiteral("email"), email);
    params.insert(QStringLiteral("email_password"), password);
    // The identifier is always derivable; an empty text only if the keychain and the
    // serial both fail, which the backend then rejects like any unknown device.
    params.insert(QStringLiteral("uid"), Preferences::uid().value_or(QString()));
    post(serverPath() + QStringLiteral("auth/login/email"), params, false, std::move(completion));
}

void Client::userInformation(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me"), true, std::move(completion));
}

void Client::userIp(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me/ip"), true, std::move(completion));
}

void Client::userPlans(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("vpn/plans"), true, std::move(completion));
}

void Client::userSlotPlans(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("vpn/slots"), true, std::move(completion));
}

void Client::userCurrentPlan(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me/plan"), true, std::move(completion));
}

void Client::userDelete(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me/delete"), true, std::move(completion));
}

void Client::userRegions(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me/regions"), true, std::move(completion));
}

void Client::userBestRegions(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("users/me/regions/best"), false, std::move(completion));
}

void Client::IPSecConfiguration(const QString& prot, GetCompletion completion)
{
    sendToItem("GET", QStringLiteral("config/ipsec/"), prot, std::move(completion));
}

void Client::openVPNConfiguration(const QString& prot, GetCompletion completion)
{
    sendToItem("GET", QStringLiteral("config/openvpn/"), prot, std::move(completion));
}

void Client::codesApplyWithCode(const QString& code, const QString& pladId, PostCompletion completion)
{
    const FormParams params = {{QStringLiteral("code"), code}, {QStringLiteral("plan_id"), pladId}};
    post(serverPath() + QStringLiteral("codes/apply"), params, false, std::move(completion));
}

void Client::receiptValidateWithReceipt(const QString& receipt, bool isSubscription, PostCompletion completion)
{
    const FormParams params = {
        {QStringLiteral("receipt"), receipt},
        {QStringLiteral("is_subscription"), isSubscription ? QStringLiteral("1") : QStringLiteral("0")}};
    post(serverPath() + QStringLiteral("receipt-validator/itunes"), params, false, std::move(completion));
}

void Client::resetPasswordWithEmail(const QString& email, PostCompletion completion)
{
    const FormParams params = {{QStringLiteral("email"), email}};
    post(serverPath() + QStringLiteral("auth/reset-password"), params, false, std::move(completion));
}

void Client::resetPasswordWithEmailCode(const QString& email, const QString& code, PostCompletion completion)
{
    const FormParams params = {{QStringLiteral("email"), email}, {QStringLiteral("code"), code}};
    post(serverPath() + QStringLiteral("auth/verify-code"), params, false, std::move(completion));
}

void Client::resetPasswordWithEmailPassword(const QString& email, const QString& password, PostCompletion completion)
{
    Q_UNUSED(email);  // the backend knows the account from the token
    const FormParams params = {{QStringLiteral("password"), password},
                               {QStringLiteral("password_confirmation"), password}};
    post(serverPath() + QStringLiteral("auth/update-password"), params, true, std::move(completion));
}

void Client::redeemCodeByEmail(const QString& email, const QString& code, PostCompletion completion)
{
    const FormParams params = {{QStringLiteral("email"), email}, {QStringLiteral("code"), code}};
    post(serverPath() + QStringLiteral("codes/applyByEmail"), params, false, std::move(completion));
}

void Client::isTrialPossibleWithUid(const QString& uid, PostCompletion completion)
{
    const FormParams params = {{QStringLiteral("uid"), uid}};
    post(serverPath() + QStringLiteral("users/me/istrialpossible"), params, true, std::move(completion));
}

void Client::getDevices(GetCompletion completion)
{
    get(serverPath() + QStringLiteral("devices"), true, std::move(completion));
}

void Client::deleteDevice(const QString& id, GetCompletion completion)
{
    sendToItem("DELETE", QStringLiteral("devices/"), id, std::move(completion));
}

void Client::logout(PostCompletion completion)
{
    post(serverPath() + QStringLiteral("auth/logout"), FormParams(), true, std::move(completion));
}

}  // namespace tandrel

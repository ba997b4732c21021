#include "DemoBackend.h"

#include "HttpServer.h"
#include "MultipartForm.h"
#include "RegionCatalog.h"

#include <QCryptographicHash>
#include <QDateTime>
#include <QTimeZone>
#include <QTimer>
#include <QUrlQuery>

#include <map>
#include <vector>

namespace tandrel::demo {

namespace {

using json = nlohmann::json;

constexpr qint64 kTokenLifetimeSeconds = 30 * 24 * 3600;

struct Reply {
    int status = 200;
    json body;
};

std::string utf8(const QString& text)
{
    return text.toStdString();
}

Reply errorsReply(int status, const std::string& field, const std::string& message)
{
    return {status, {{"errors", {{field, {message}}}}, {"message", message}}};
}

Reply codeReply(int status, const char* code, const std::string& message)
{
    return {status, {{"code", code}, {"message", message}}};
}

json planJson(const AccountPlan& plan)
{
    return {
        {"status", utf8(plan.status)}, {"name", utf8(plan.name)},           {"is_unlimited", plan.is_unlimited},
        {"is_trial", plan.is_trial},   {"device_count", plan.device_count},
    };
}

json deviceJson(const DeviceRecord& device)
{
    return {
        {"id", device.id},
        {"uid", utf8(device.uid)},
        {"device_name", utf8(device.device_name)},
        {"os", utf8(device.os)},
        {"platform", utf8(device.platform)},
        {"last_login_at", device.last_login_at.isEmpty() ? json(nullptr) : json(utf8(device.last_login_at))},
    };
}

QString accountKey(const QString& email)
{
    return email.trimmed().toLower();
}
QString uidAccountKey(const QString& uid)
{
    return QStringLiteral("uid:") + uid;
}

QString normaliseCode(const QString& code)
{
    return code.trimmed().toUpper();
}

// The service's own offers: what the pricing sheet lists.
json standardPlans()
{
    return json::array({
        {{"id", 1},
         {"name", "Monthly"},
         {"total_days", 30},
         {"is_trial", false},
         {"is_unlimited", false},
         {"price", "9.99"},
         {"currency", "USD"}},
        {{"id", 2},
         {"name", "Half-year"},
         {"total_days", 180},
         {"is_trial", false},
         {"is_unlimited", false},
         {"price", "44.99"},
         {"currency", "USD"}},
        {{"id", 3},
         {"name", "Yearly"},
         {"total_days", 365},
         {"is_trial", false},
         {"is_unlimited", false},
         {"price", "69.99"},
         {"currency", "USD"}},
        {{"id", 4},
         {"name", "Lifetime"},
         {"total_days", 0},
         {"is_trial", false},
         {"is_unlimited", true},
         {"price", "199.99"},
         {"currency", "USD"}},
        // The service's own trial entry, which clients do not offer for sale.
        {{"id", 5},
         {"name", "Trial"},
         {"total_days", 7},
         {"is_trial", true},
         {"is_unlimited", false},
         {"price", "0.00"},
         {"currency", "USD"}},
    });
}

json extraSlotOffers()
{
    return json::array({
        {{"id", 11},
         {"device_count", 1},
         {"total_days", 30},
         {"is_trial", false},
         {"is_unlimited", false},
         {"price", "1.99"},
         {"currency", "USD"}},
        {{"id", 12},
         {"device_count", 3},
         {"total_days", 365},
         {"is_trial", false},
         {"is_unlimited", false},
         {"price", "14.99"},
         {"currency", "USD"}},
        {{"id", 13},
         {"device_count", 5},
         {"total_days", 0},
         {"is_trial", false},
         {"is_unlimited", true},
         {"price", "39.99"},
         {"currency", "USD"}},
    });
}

QString hexDigest(const QByteArray& input, int length)
{
    return QString::fromLatin1(QCryptographicHash::hash(input, QCryptographicHash::Sha256).toHex().left(length));
}

HttpResponse jsonResponse(const Reply& reply)
{
    HttpResponse response;
    response.status = reply.status;
    response.body = QByteArray::fromStdString(reply.body.dump());
    return response;
}

}  // namespace

QByteArray RecordedRequest::header(const QByteArray& name) const
{
    return headerValue(headers, name);
}

bool RecordedRequest::hasHeader(const QByteArray& name) const
{
    return !headerValue(headers, name).isNull();
}

QByteArray RecordedRequest::path() const
{
    const qsizetype query = pathAndQuery.indexOf('?');
    return query < 0 ? pathAndQuery : pathAndQuery.left(query);
}

class DemoBackend::Private {
public:
    struct Account {
        qint64 id = 0;
        QString email;  // empty for an account made from a device identifier alone
        QString password;
        AccountPlan plan;
        bool trialPossible = true;
        QList<DeviceRecord> devices;
        QString createdAt;
        QString resetCode;  // set by a password-reset request
    };

    enum class TokenState { valid, revoked, expired };
    struct Token {
        QString accountKey;
        TokenState state = TokenState::valid;
    };

    struct FaultEntry {
        QByteArray method;
        QString path;
        Fault fault;
    };

    // What a route handler gets: the request, its path parameter, the parsed form of a
    // POST and, on routes that need it, the signed-in account.
    struct Context {
        const HttpRequest& request;
        QString parameter;
        MultipartForm form;
        QString token;
        QString accountKey;
        Account* account = nullptr;

        QString field(const char* name) const { return form.value(name).value_or(QString()); }
    };

    using Handler = Reply (Private::*)(Context&);
    struct Route {
        QByteArray method;
        QString path;  // with a parameter: the prefix before it, ending in "/"
        bool hasParameter;
        bool needsToken;
        Handler handler;
    };

    explicit Private(quint32 seed);

    void handle(const HttpRequest& request, const HttpExchange& exchange);
    HttpResponse answer(const HttpRequest& request, const QString& apiPath, bool isApi);
    HttpResponse webPage(const HttpRequest& request, const QString& path);
    std::optional<Fault> takeFault(const QByteArray& method, const QString& apiPath);
    std::optional<Reply> authenticate(Context& context);
    std::optional<Reply> requireFields(const Context& context, std::initializer_list<const char*> names);

    Account* findAccount(const QString& key);
    QString now();
    QString newToken(const QString& key);
    void registerDevice(Account& account, const Context& context);
    json userJson(const Account& account) const;
    const json* findRegion(const QString& idText) const;
    std::optional<Reply> checkTunnelAccess(const Account& account) const;
    std::optional<Reply> refuseRedeemCode(const QString& code) const;
    Reply tokenReply(const QString& key, const Account* withUser = nullptr);
    QString radiusLogin(const Account& account) const;
    QString radiusPassword(const Account& account) const;
    Account& createAccount(const QString& key, const QString& email, const QString& password);
    static void startTrial(Account& account);

    Reply signupWithUid(Context& context);
    Reply associateUser(Context& context);
    Reply loginWithUid(Context& context);
    Reply loginWithEmail(Context& context);
    Reply userInformation(Context& context);
    Reply userIp(Context& context);
    Reply userPlans(Context& context);
    Reply userSlotPlans(Context& context);
    Reply userCurrentPlan(Context& context);
    Reply userDelete(Context& context);
    Reply userRegions(Context& context);
    Reply userBestRegions(Context& context);
    Reply ipsecConfiguration(Context& context);
    Reply openVPNConfiguration(Context& context);
    Reply codesApply(Context& context);
    Reply receiptValidate(Context& context);
    Reply resetPassword(Context& context);
    Reply verifyCode(Context& context);
    Reply updatePassword(Context& context);
    Reply redeemCodeByEmail(Context& context);
    Reply isTrialPossible(Context& context);
    Reply getDevices(Context& context);
    Reply deleteDevice(Context& context);
    Reply logout(Context& context);

    DemoBackend* q = nullptr;
    quint32 seed;
    std::unique_ptr<HttpServer> server;
    std::vector<Route> routes;
    std::map<QString, Account> accounts;
    std::map<QString, Token> tokens;
    std::map<QString, RedeemCodeState> redeemCodes;
    json regions;
    json plans = standardPlans();
    json slotPlans = extraSlotOffers();
    QList<RecordedRequest> log;
    QList<FaultEntry> faults;
    qint64 nextAccountId = 1001;
    qint64 nextDeviceId = 5001;
    quint64 tokenCounter = 0;
    qint64 clockTicks = 0;
};

DemoBackend::Private::Private(quint32 seed) : seed(seed), regions(RegionCatalog::regionsFor(seed))
{
    server = std::make_unique<HttpServer>(
        [this](const HttpRequest& request, const HttpExchange& exchange) { handle(request, exchange); });

    routes = {
        {"POST", QStringLiteral("auth/signup"), false, false, &Private::signupWithUid},
        {"POST", QStringLiteral("auth/email"), false, false, &Private::associateUser},
        {"POST", QStringLiteral("auth/login/uid"), false, false, &Private::loginWithUid},
        {"POST", QStringLiteral("auth/login/email"), false, false, &Private::loginWithEmail},
        {"GET", QStringLiteral("users/me"), false, true, &Private::userInformation},
        {"GET", QStringLiteral("users/me/ip"), false, true, &Private::userIp},
        {"GET", QStringLiteral("vpn/plans"), false, true, &Private::userPlans},
        {"GET", QStringLiteral("vpn/slots"), false, true, &Private::userSlotPlans},
        {"GET", QStringLiteral("users/me/plan"), false, true, &Private::userCurrentPlan},
        {"GET", QStringLiteral("users/me/delete"), false, true, &Private::userDelete},
        {"GET", QStringLiteral("users/me/regions"), false, true, &Private::userRegions},
        {"GET", QStringLiteral("users/me/regions/best"), false, false, &Private::userBestRegions},
        {"GET", QStringLiteral("config/ipsec/"), true, true, &Private::ipsecConfiguration},
        {"GET", QStringLiteral("config/openvpn/"), true, true, &Private::openVPNConfiguration},
        {"POST", QStringLiteral("codes/apply"), false, false, &Private::codesApply},
        {"POST", QStringLiteral("receipt-validator/itunes"), false, false, &Private::receiptValidate},
        {"POST", QStringLiteral("auth/reset-password"), false, false, &Private::resetPassword},
        {"POST", QStringLiteral("auth/verify-code"), false, false, &Private::verifyCode},
        {"POST", QStringLiteral("auth/update-password"), false, true, &Private::updatePassword},
        {"POST", QStringLiteral("codes/applyByEmail"), false, false, &Private::redeemCodeByEmail},
        {"POST", QStringLiteral("users/me/istrialpossible"), false, true, &Private::isTrialPossible},
        {"GET", QStringLiteral("devices"), false, true, &Private::getDevices},
        {"DELETE", QStringLiteral("devices/"), true, true, &Private::deleteDevice},
        {"POST", QStringLiteral("auth/logout"), false, true, &Private::logout},
    };

    AccountPlan yearly;
    Account& demoAccount = createAccount(accountKey(demoEmail), demoEmail, demoPassword);
    demoAccount.plan = yearly;
    demoAccount.trialPossible = false;
    demoAccount.devices = {
        {nextDeviceId++, QStringLiteral("5f0c3d2a9b7e41c8a6d1e2f3a4b5c6d7"), QStringLiteral("Anna's iPhone"),
         QStringLiteral("17.5.1"), QStringLiteral("ios"), QStringLiteral("2026-11-28 19:42:10")},
        {nextDeviceId++, QStringLiteral("0e9d8c7b6a5f4e3d2c1b0a9f8e7d6c5b"), QStringLiteral("Living-room TV"),
         QStringLiteral("17.4"), QStringLiteral("tvos"), QString()},
    };

    AccountPlan expired;
    expired.status = QStringLiteral("expired");
    expired.name = QStringLiteral("Monthly");
    Account& expiredAccount = createAccount(accountKey(expiredEmail), expiredEmail, expiredPassword);
    expiredAccount.plan = expired;
    expiredAccount.trialPossible = false;
    expiredAccount.devices = {
        {nextDeviceId++, QStringLiteral("7a6b5c4d3e2f1a0b9c8d7e6f5a4b3c2d"), QStringLiteral("Work laptop"),
         QStringLiteral("10.0.22631"), QStringLiteral("winstore"), QStringLiteral("2026-10-02 07:15:44")},
    };

    AccountPlan none;
    none.status = QStringLiteral("inactive");
    none.name = QString();
    Account& trialAccount = createAccount(accountKey(trialEmail), trialEmail, trialPassword);
    trialAccount.plan = none;
    trialAccount.trialPossible = true;

    redeemCodes[normaliseCode(freshRedeemCode)] = RedeemCodeState::fresh;
    redeemCodes[normaliseCode(usedRedeemCode)] = RedeemCodeState::used;
    redeemCodes[normaliseCode(invalidRedeemCode)] = RedeemCodeState::invalid;
}

DemoBackend::Private::Account& DemoBackend::Private::createAccount(const QString& key, const QString& email,
                                                                   const QString& password)
{
    Account& account = accounts[key];
    account = Account{};
    account.id = nextAccountId++;
    account.email = email;
    account.password = password;
    account.createdAt = now();
    return account;
}

// New accounts start on the service's seven-day trial, which uses up their one trial.
void DemoBackend::Private::startTrial(Account& account)
{
    account.plan = AccountPlan{QStringLiteral("active"), QStringLiteral("Trial"), false, true, 5};
    account.trialPossible = false;
}

DemoBackend::Private::Account* DemoBackend::Private::findAccount(const QString& key)
{
    const auto found = accounts.find(key);
    return found == accounts.end() ? nullptr : &found->second;
}

// A clock of its own, so that every answer depends only on the seed and the requests.
QString DemoBackend::Private::now()
{
    const QDateTime start(QDate(2026, 11, 30), QTime(8, 0), QTimeZone::utc());
    return start.addSecs(97 * clockTicks++).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

QString DemoBackend::Private::newToken(const QString& key)
{
    const QByteArray material =
        QByteArray::number(seed) + ':' + QByteArray::number(tokenCounter++) + ':' + key.toUtf8();
    const QString token = QStringLiteral("tdr_") + hexDigest(material, 40);
    tokens[token] = Token{key, TokenState::valid};
    return token;
}

void DemoBackend::Private::registerDevice(Account& account, const Context& context)
{
    const QString uid = context.field("uid");
    DeviceRecord* device = nullptr;
    for (DeviceRecord& existing : account.devices) {
        if (!uid.isEmpty() && existing.uid == uid) {
            device = &existing;
        }
    }
    if (!device) {
        account.devices.append(DeviceRecord{nextDeviceId++, uid, {}, {}, {}, {}});
        device = &account.devices.last();
    }
    device->device_name = context.field("device_name");
    device->os = context.field("os");
    device->platform = context.field("platform");
    device->last_login_at = now();
}

Reply DemoBackend::Private::tokenReply(const QString& key, const Account* withUser)
{
    json body = {
        {"access_token", utf8(newToken(key))}, {"token_type", "Bearer"}, {"expires_in", kTokenLifetimeSeconds}};
    if (withUser) {
        body["user"] = userJson(*withUser);
    }
    return {200, body};
}

json DemoBackend::Private::userJson(const Account& account) const
{
    return {
        {"id", account.id},
        {"email", account.email.isEmpty() ? json(nullptr) : json(utf8(account.email))},
        {"created_at", utf8(account.createdAt)},
        {"is_trial_possible", account.trialPossible},
        {"plan", planJson(account.plan)},
    };
}

const json* DemoBackend::Private::findRegion(const QString& idText) const
{
    bool ok = false;
    const qint64 id = idText.toLongLong(&ok);
    if (!ok) {
        return nullptr;
    }
    for (const json& region : regions) {
        if (region.at("id").get<qint64>() == id) {
            return &region;
        }
    }
    return nullptr;
}

std::optional<Reply> DemoBackend::Private::checkTunnelAccess(const Account& account) const
{
    if (account.plan.status != QLatin1String("active")) {
        return codeReply(404, "E0121", "No active plan.");
    }
    if (account.devices.size() > account.plan.device_count) {
        return codeReply(403, "E0161", "No slots available.");
    }
    return std::nullopt;
}

QString DemoBackend::Private::radiusLogin(const Account& account) const
{
    return QStringLiteral("tdr-%1").arg(account.id);
}

QString DemoBackend::Private::radiusPassword(const Account& account) const
{
    return hexDigest("radius:" + QByteArray::number(seed) + ':' + QByteArray::number(account.id), 24);
}

std::optional<Fault> DemoBackend::Private::takeFault(const QByteArray& method, const QString& apiPath)
{
    for (qsizetype i = 0; i < faults.size(); ++i) {
        FaultEntry& entry = faults[i];
        const bool pathMatches =
            entry.path.endsWith(QLatin1Char('*')) ? apiPath.startsWith(entry.path.chopped(1)) : apiPath == entry.path;
        if (entry.method != method || !pathMatches) {
            continue;
        }
        const Fault fault = entry.fault;
        if (entry.fault.times > 0 && --entry.fault.times == 0) {
            faults.removeAt(i);
        }
        return fault;
    }
    return std::nullopt;
}

void DemoBackend::Private::handle(const HttpRequest& request, const HttpExchange& exchange)
{
    RecordedRequest recorded{request.method, request.target, request.headers, request.body};
    log.append(recorded);
    emit q->requestReceived(recorded);

    // The path without the scheme and host of an absolute target, without the query,
    // percent-decoded.
    QByteArray rawPath = request.target;
    if (rawPath.startsWith("http://")) {
        const qsizetype slash = rawPath.indexOf('/', 7);
        rawPath = slash < 0 ? QByteArray("/") : rawPath.mid(slash);
    }
    if (const qsizetype query = rawPath.indexOf('?'); query >= 0) {
        rawPath.truncate(query);
    }
    const QString path = QString::fromUtf8(QByteArray::fromPercentEncoding(rawPath));
    const bool isApi = path.startsWith(QLatin1String("/api/"));
    const QString apiPath = isApi ? path.mid(5) : path;

    const std::optional<Fault> fault = isApi ? takeFault(request.method, apiPath) : std::nullopt;
    HttpResponse response;
    const bool replaced = fault && (fault->body || fault->dropConnection);
    if (!replaced) {
        response = answer(request, apiPath, isApi);
    }
    if (fault) {
        if (fault->body) {
            response.body = *fault->body;
            response.status = 200;
            response.contentType = "application/json";
            response.headers.clear();
        }
        if (fault->status) {
            response.status = *fault->status;
        }
        if (fault->contentType) {
            response.contentType = *fault->contentType;
        }
    }
    const bool drop = fault && fault->dropConnection;
    const int delayMs = fault ? fault->delayMs : 0;
    if (delayMs <= 0) {
        drop ? exchange.drop() : exchange.respond(response);
        return;
    }
    // Precise: a coarse timer may fire up to 5% early, and a delay meant to outlast the
    // client's timeout must not.
    QTimer::singleShot(delayMs, Qt::PreciseTimer, exchange.context(),
                       [exchange, response, drop] { drop ? exchange.drop() : exchange.respond(response); });
}

HttpResponse DemoBackend::Private::answer(const HttpRequest& request, const QString& apiPath, bool isApi)
{
    if (!isApi) {
        return webPage(request, apiPath);
    }
    const Route* route = nullptr;
    QStringList allowed;
    QString parameter;
    for (const Route& candidate : routes) {
        const bool matches = candidate.hasParameter
                                 ? apiPath.startsWith(candidate.path) && apiPath.size() > candidate.path.size() &&
                                       !apiPath.mid(candidate.path.size()).contains(QLatin1Char('/'))
                                 : apiPath == candidate.path;
        if (!matches) {
            continue;
        }
        allowed.append(QString::fromLatin1(candidate.method));
        if (candidate.method == request.method) {
            route = &candidate;
            parameter = candidate.hasParameter ? apiPath.mid(candidate.path.size()) : QString();
        }
    }
    if (!route) {
        if (allowed.isEmpty()) {
            return jsonResponse(
                {404, {{"message", utf8(QStringLiteral("The route api/%1 could not be found.").arg(apiPath))}}});
        }
        HttpResponse response = jsonResponse(
            {405,
             {{"message",
               utf8(QStringLiteral("The %1 method is not supported for route api/%2. Supported methods: %3.")
                        .arg(QString::fromLatin1(request.method), apiPath, allowed.join(QStringLiteral(", "))))}}});
        response.headers.append({"Allow", allowed.join(QStringLiteral(", ")).toLatin1()});
        return response;
    }

    Context context{request, parameter, {}, {}, {}, nullptr};
    if (route->method == "POST") {
        context.form = MultipartForm::parse(request.header("Content-Type"), request.body);
        if (!context.form.isValid()) {
            return jsonResponse(errorsReply(400, "body", utf8(context.form.error())));
        }
    }
    if (route->needsToken) {
        if (const std::optional<Reply> refusal = authenticate(context)) {
            return jsonResponse(*refusal);
        }
    }
    return jsonResponse((this->*(route->handler))(context));
}

std::optional<Reply> DemoBackend::Private::authenticate(Context& context)
{
    const QByteArray header = context.request.header("Authorization").trimmed();
    if (header.isEmpty() || header.compare("Bearer", Qt::CaseInsensitive) == 0) {
        return codeReply(401, "E0112", "Token not provided.");
    }
    if (!header.left(7).toLower().startsWith("bearer ")) {
        return codeReply(401, "E0113", "Token is invalid.");
    }
    const QString token = QString::fromUtf8(header.mid(7).trimmed());
    if (token.isEmpty()) {
        return codeReply(401, "E0112", "Token not provided.");
    }
    const auto found = tokens.find(token);
    if (found == tokens.end()) {
        return codeReply(401, "E0113", "Token is invalid.");
    }
    switch (found->second.state) {
        case TokenState::expired:
            return codeReply(401, "E0114", "Token has expired.");
        case TokenState::revoked:
            return codeReply(401, "E0115", "Token has been revoked.");
        case TokenState::valid:
            break;
    }
    Account* account = findAccount(found->second.accountKey);
    if (!account) {
        return codeReply(401, "E0115", "Token has been revoked.");
    }
    context.token = token;
    context.accountKey = found->second.accountKey;
    context.account = account;
    return std::nullopt;
}

std::optional<Reply> DemoBackend::Private::requireFields(const Context& context,
                                                         std::initializer_list<const char*> names)
{
    json errors = json::object();
    for (const char* name : names) {
        if (context.field(name).isEmpty()) {
            errors[name] = {std::string("The ") + name + " field is required."};
        }
    }
    if (errors.empty()) {
        return std::nullopt;
    }
    return Reply{422, {{"errors", errors}, {"message", "The given data was invalid."}}};
}

HttpResponse DemoBackend::Private::webPage(const HttpRequest& request, const QString& path)
{
    const QUrlQuery query(QString::fromUtf8(request.target.mid(request.target.indexOf('?') + 1)));
    auto page = [](const QString& title, const QString& text) {
        HttpResponse response;
        response.contentType = "text/html; charset=utf-8";
        response.body = QStringLiteral(
                            "<!DOCTYPE html><html><head><meta charset=\"utf-8\"><title>%1</title></head>"
                            "<body><h1>%1</h1><p>%2</p></body></html>")
                            .arg(title.toHtmlEscaped(), text.toHtmlEscaped())
                            .toUtf8();
        return response;
    };
    if (request.method == "GET" && path == QLatin1String("/checkout")) {
        return page(QStringLiteral("Tandrel checkout (demo)"),
                    QStringLiteral("Plan %1 for %2. The demo service sells nothing; redeem a code instead.")
                        .arg(query.queryItemValue(QStringLiteral("plan"), QUrl::FullyDecoded),
                             query.queryItemValue(QStringLiteral("email"), QUrl::FullyDecoded)));
    }
    if (request.method == "GET" && path == QLatin1String("/reset_password")) {
        return page(
            QStringLiteral("Tandrel password reset (demo)"),
            QStringLiteral("The demo service sends no e-mail. The demo account's password is %1.").arg(demoPassword));
    }
    return jsonResponse({404, {{"message", "Not found."}}});
}

// --- Routes -----------------------------------------------------------------------

Reply DemoBackend::Private::signupWithUid(Context& context)
{
    if (auto missing =
            requireFields(context, {"uid", "uid_password", "platform", "os", "app_version", "device_name"})) {
        return *missing;
    }
    const QString key = uidAccountKey(context.field("uid"));
    if (findAccount(key)) {
        return errorsReply(422, "uid", "The uid has already been taken.");
    }
    Account& account = createAccount(key, QString(), context.field("uid_password"));
    startTrial(account);
    registerDevice(account, context);
    return tokenReply(key);
}

Reply DemoBackend::Private::associateUser(Context& context)
{
    if (auto missing = requireFields(
            context, {"email", "email_password", "uid", "platform", "os", "app_version", "device_name"})) {
        return *missing;
    }
    const QString email = context.field("email").trimmed();
    const qsizetype at = email.indexOf(QLatin1Char('@'));
    if (at <= 0 || email.indexOf(QLatin1Char('.'), at) < 0 || email.contains(QLatin1Char(' '))) {
        return errorsReply(422, "email", "The email must be a valid email address.");
    }
    if (context.field("email_password").size() < 6) {
        return errorsReply(422, "email_password", "The password must be at least 6 characters.");
    }
    const QString key = accountKey(email);
    if (findAccount(key)) {
        return errorsReply(422, "email", "The email has already been taken.");
    }
    Account& account = createAccount(key, email, context.field("email_password"));
    startTrial(account);
    registerDevice(account, context);
    return tokenReply(key, &account);
}

Reply DemoBackend::Private::loginWithUid(Context& context)
{
    if (auto missing =
            requireFields(context, {"uid", "uid_password", "platform", "os", "app_version", "device_name"})) {
        return *missing;
    }
    const QString key = uidAccountKey(context.field("uid"));
    Account* account = findAccount(key);
    if (!account || account->password != context.field("uid_password")) {
        return errorsReply(401, "uid", "These credentials do not match our records.");
    }
    registerDevice(*account, context);
    return tokenReply(key);
}

Reply DemoBackend::Private::loginWithEmail(Context& context)
{
    if (auto missing = requireFields(
            context, {"email", "email_password", "uid", "platform", "os", "app_version", "device_name"})) {
        return *missing;
    }
    const QString key = accountKey(context.field("email"));
    Account* account = findAccount(key);
    if (!account) {
        return errorsReply(404, "email", "No account is registered with this e-mail address.");
    }
    if (account->password != context.field("email_password")) {
        return errorsReply(401, "email_password", "The password is incorrect.");
    }
    registerDevice(*account, context);
    return tokenReply(key, account);
}

Reply DemoBackend::Private::userInformation(Context& context)
{
    return {200, userJson(*context.account)};
}

Reply DemoBackend::Private::userIp(Context& context)
{
    QHostAddress peer = context.request.peer;
    bool isIPv4 = false;
    const quint32 ipv4 = peer.toIPv4Address(&isIPv4);
    if (isIPv4) {
        peer = QHostAddress(ipv4);
    }
    return {200, {{"ip", utf8(peer.toString())}}};
}

Reply DemoBackend::Private::userPlans(Context&)
{
    return {200, plans};
}

Reply DemoBackend::Private::userSlotPlans(Context&)
{
    return {200, slotPlans};
}

Reply DemoBackend::Private::userCurrentPlan(Context& context)
{
    return {200, planJson(context.account->plan)};
}

Reply DemoBackend::Private::userDelete(Context& context)
{
    for (auto& [token, entry] : tokens) {
        if (entry.accountKey == context.accountKey) {
            entry.state = TokenState::revoked;
        }
    }
    accounts.erase(context.accountKey);
    return {200, {{"message", "The account has been deleted."}}};
}

Reply DemoBackend::Private::userRegions(Context&)
{
    return {200, regions};
}

Reply DemoBackend::Private::userBestRegions(Context&)
{
    json best = json::array();
    for (const json& region : regions) {
        if (region.at("is_nearest").get<bool>()) {
            best.push_back(region);
        }
    }
    return {200, best};
}

// The account's tunnel credentials for the requested region, or why there are none.
Reply DemoBackend::Private::ipsecConfiguration(Context& context)
{
    if (auto refusal = checkTunnelAccess(*context.account)) {
        return *refusal;
    }
    const json* region = findRegion(context.parameter);
    if (!region) {
        return errorsReply(404, "id", "No region has this id.");
    }
    return {200,
            {{"radius_login", utf8(radiusLogin(*context.account))},
             {"radius_password", utf8(radiusPassword(*context.account))},
             {"server_domain", region->at("server_domain")}}};
}

Reply DemoBackend::Private::openVPNConfiguration(Context& context)
{
    Reply reply = ipsecConfiguration(context);
    if (reply.status != 200) {
        return reply;
    }
    auto pem = [](const char* label, const QString& content) {
        return utf8(QStringLiteral("-----BEGIN %1-----\n%2\n-----END %1-----\n")
                        .arg(QLatin1String(label), QString::fromLatin1(content.toUtf8().toBase64())));
    };
    const QString server = QString::fromStdString(reply.body["server_domain"].get<std::string>());
    reply.body["ca"] = pem("CERTIFICATE", QStringLiteral("demo certificate authority"));
    reply.body["cert"] = pem("CERTIFICATE", QStringLiteral("demo client for ") + server);
    reply.body["key"] = pem("PRIVATE KEY", QStringLiteral("demo key for ") + radiusLogin(*context.account));
    return reply;
}

std::optional<Reply> DemoBackend::Private::refuseRedeemCode(const QString& code) const
{
    const auto found = redeemCodes.find(code);
    if (found == redeemCodes.end()) {
        return codeReply(404, "E0141", "The code is incorrect.");
    }
    switch (found->second) {
        case RedeemCodeState::used:
            return codeReply(409, "E0142", "This code has already been used.");
        case RedeemCodeState::invalid:
            return codeReply(422, "E0143", "This code is invalid.");
        case RedeemCodeState::fresh:
            break;
    }
    return std::nullopt;
}

Reply DemoBackend::Private::codesApply(Context& context)
{
    if (auto missing = requireFields(context, {"code", "plan_id"})) {
        return *missing;
    }
    const QString code = normaliseCode(context.field("code"));
    if (auto refusal = refuseRedeemCode(code)) {
        return *refusal;
    }
    return {200, {{"message", "The code is valid."}, {"plan_id", utf8(context.field("plan_id"))}}};
}

Reply DemoBackend::Private::receiptValidate(Context& context)
{
    if (auto missing = requireFields(context, {"receipt", "is_subscription"})) {
        return *missing;
    }
    const QString subscription = context.field("is_subscription");
    if (subscription != QLatin1String("0") && subscription != QLatin1String("1")) {
        return errorsReply(422, "is_subscription", "The is subscription field must be 0 or 1.");
    }
    // The stand-in service sells through no store, so no receipt can be verified.
    return errorsReply(422, "receipt", "The receipt could not be verified.");
}

Reply DemoBackend::Private::resetPassword(Context& context)
{
    if (auto missing = requireFields(context, {"email"})) {
        return *missing;
    }
    Account* account = findAccount(accountKey(context.field("email")));
    if (!account) {
        return errorsReply(404, "email", "No account is registered with this e-mail address.");
    }
    const QByteArray digest = QCryptographicHash::hash(
        "reset:" + QByteArray::number(seed) + ':' + QByteArray::number(account->id), QCryptographicHash::Sha256);
    const quint32 number = (quint32(quint8(digest[0])) << 16) | (quint32(quint8(digest[1])) << 8) | quint8(digest[2]);
    account->resetCode = QStringLiteral("%1").arg(number % 1000000, 6, 10, QLatin1Char('0'));
    return {200, {{"message", "A verification code has been sent to your e-mail address."}}};
}

Reply DemoBackend::Private::verifyCode(Context& context)
{
    if (auto missing = requireFields(context, {"email", "code"})) {
        return *missing;
    }
    const QString key = accountKey(context.field("email"));
    Account* account = findAccount(key);
    if (!account || account->resetCode.isEmpty() || account->resetCode != context.field("code")) {
        return errorsReply(422, "code", "The verification code is incorrect.");
    }
    account->resetCode.clear();
    return tokenReply(key);
}

Reply DemoBackend::Private::updatePassword(Context& context)
{
    if (auto missing = requireFields(context, {"password", "password_confirmation"})) {
        return *missing;
    }
    const QString password = context.field("password");
    if (password != context.field("password_confirmation")) {
        return errorsReply(422, "password", "The password confirmation does not match.");
    }
    if (password.size() < 6) {
        return errorsReply(422, "password", "The password must be at least 6 characters.");
    }
    context.account->password = password;
    return {200, {{"message", "The password has been updated."}}};
}

Reply DemoBackend::Private::redeemCodeByEmail(Context& context)
{
    if (auto missing = requireFields(context, {"email", "code"})) {
        return *missing;
    }
    Account* account = findAccount(accountKey(context.field("email")));
    if (!account) {
        return errorsReply(404, "email", "No account is registered with this e-mail address.");
    }
    const QString code = normaliseCode(context.field("code"));
    if (auto refusal = refuseRedeemCode(code)) {
        return *refusal;
    }
    redeemCodes[code] = RedeemCodeState::used;
    account->plan = AccountPlan{QStringLiteral("active"), QStringLiteral("Yearly"), false, false,
                                std::max(account->plan.device_count, 5)};
    account->trialPossible = false;
    return {200, {{"message", "The code has been applied."}, {"plan", planJson(account->plan)}}};
}

Reply DemoBackend::Private::isTrialPossible(Context& context)
{
    if (auto missing = requireFields(context, {"uid"})) {
        return *missing;
    }
    return {200, {{"isTrialPossible", context.account->trialPossible}}};
}

Reply DemoBackend::Private::getDevices(Context& context)
{
    json list = json::array();
    for (const DeviceRecord& device : context.account->devices) {
        list.push_back(deviceJson(device));
    }
    return {200, list};
}

Reply DemoBackend::Private::deleteDevice(Context& context)
{
    QList<DeviceRecord>& devices = context.account->devices;
    bool ok = false;
    const qint64 id = context.parameter.toLongLong(&ok);
    const auto removed =
        ok ? devices.removeIf([id](const DeviceRecord& device) { return device.id == id; }) : qsizetype(0);
    if (removed == 0) {
        return errorsReply(404, "id", "No device has this id.");
    }
    return {200, {{"message", "The device has been removed."}}};
}

Reply DemoBackend::Private::logout(Context& context)
{
    tokens[context.token].state = TokenState::revoked;
    return {200, {{"message", "Successfully logged out."}}};
}

// --- Public interface ---------------------------------------------------------------

DemoBackend::DemoBackend(QObject* parent, quint32 seed) : QObject(parent), d(std::make_unique<Private>(seed))
{
    d->q = this;
}

DemoBackend::~DemoBackend() = default;

bool DemoBackend::listen(quint16 port)
{
    return d->server->listen(QHostAddress::LocalHost, port);
}

QString DemoBackend::errorString() const
{
    return d->server->errorString();
}

quint16 DemoBackend::port() const
{
    return d->server->port();
}

QString DemoBackend::apiBase() const
{
    return webBase() + QStringLiteral("/api/");
}

QString DemoBackend::webBase() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

bool DemoBackend::hasAccount(const QString& email) const
{
    return d->accounts.count(accountKey(email)) > 0;
}

void DemoBackend::addAccount(const QString& email, const QString& password, const AccountPlan& plan)
{
    Private::Account& account = d->createAccount(accountKey(email), email, password);
    account.plan = plan;
}

std::optional<AccountPlan> DemoBackend::plan(const QString& email) const
{
    const auto found = d->accounts.find(accountKey(email));
    return found == d->accounts.end() ? std::nullopt : std::optional<AccountPlan>(found->second.plan);
}

void DemoBackend::setPlan(const QString& email, const AccountPlan& plan)
{
    if (Private::Account* account = d->findAccount(accountKey(email))) {
        account->plan = plan;
    }
}

void DemoBackend::setDeviceLimit(const QString& email, int deviceCount)
{
    if (Private::Account* account = d->findAccount(accountKey(email))) {
        account->plan.device_count = deviceCount;
    }
}

void DemoBackend::setTrialPossible(const QString& email, bool possible)
{
    if (Private::Account* account = d->findAccount(accountKey(email))) {
        account->trialPossible = possible;
    }
}

QString DemoBackend::issueToken(const QString& email)
{
    const QString key = accountKey(email);
    return d->findAccount(key) ? d->newToken(key) : QString();
}

void DemoBackend::revokeToken(const QString& token)
{
    if (const auto found = d->tokens.find(token); found != d->tokens.end()) {
        found->second.state = Private::TokenState::revoked;
    }
}

void DemoBackend::expireToken(const QString& token)
{
    if (const auto found = d->tokens.find(token); found != d->tokens.end()) {
        found->second.state = Private::TokenState::expired;
    }
}

QList<DeviceRecord> DemoBackend::devices(const QString& email) const
{
    const auto found = d->accounts.find(accountKey(email));
    return found == d->accounts.end() ? QList<DeviceRecord>() : found->second.devices;
}

qint64 DemoBackend::addDevice(const QString& email, const DeviceRecord& device)
{
    Private::Account* account = d->findAccount(accountKey(email));
    if (!account) {
        return 0;
    }
    DeviceRecord added = device;
    added.id = d->nextDeviceId++;
    account->devices.append(added);
    return added.id;
}

void DemoBackend::addRedeemCode(const QString& code, RedeemCodeState state)
{
    d->redeemCodes[normaliseCode(code)] = state;
}

nlohmann::json DemoBackend::regions() const
{
    return d->regions;
}

nlohmann::json DemoBackend::plans() const
{
    return d->plans;
}

nlohmann::json DemoBackend::slotPlans() const
{
    return d->slotPlans;
}

void DemoBackend::setRegionServerDomain(qint64 regionId, const QString& serverDomain)
{
    for (json& region : d->regions) {
        if (region.at("id").get<qint64>() == regionId) {
            region["server_domain"] = utf8(serverDomain);
        }
    }
}

QList<RecordedRequest> DemoBackend::requests() const
{
    return d->log;
}

QList<RecordedRequest> DemoBackend::requestsTo(const QByteArray& method, const QString& path) const
{
    const QByteArray wanted = "/api/" + (path.startsWith(QLatin1String("/api/")) ? path.mid(5) : path).toUtf8();
    QList<RecordedRequest> matching;
    for (const RecordedRequest& request : d->log) {
        if (request.method == method && QByteArray::fromPercentEncoding(request.path()) == wanted) {
            matching.append(request);
        }
    }
    return matching;
}

void DemoBackend::clearRequests()
{
    d->log.clear();
}

void DemoBackend::setFault(const QByteArray& method, const QString& path, const Fault& fault)
{
    const QString apiPath = path.startsWith(QLatin1String("/api/")) ? path.mid(5) : path;
    d->faults.removeIf(
        [&](const Private::FaultEntry& entry) { return entry.method == method && entry.path == apiPath; });
    if (fault.times != 0) {
        d->faults.append({method, apiPath, fault});
    }
}

void DemoBackend::setResponse(const QByteArray& method, const QString& path, int status, const QByteArray& body)
{
    Fault fault;
    fault.status = status;
    fault.body = body;
    setFault(method, path, fault);
}

void DemoBackend::clearFaults()
{
    d->faults.clear();
}

}  // namespace tandrel::demo

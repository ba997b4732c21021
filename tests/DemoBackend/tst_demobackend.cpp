#include "DemoBackend.h"
#include "MultipartForm.h"
#include "support/TestMain.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTcpSocket>

#include <algorithm>
#include <memory>
#include <set>

using tandrel::demo::AccountPlan;
using tandrel::demo::DemoBackend;
using tandrel::demo::Fault;
using tandrel::demo::MultipartForm;
using json = nlohmann::json;
using Fields = QList<QPair<QByteArray, QByteArray>>;

namespace {

const QByteArray kBoundary = "--------------------------487394079664597082378530";
const QByteArray kContentType = "multipart/form-data; boundary=" + kBoundary;

// The body the client writes: one part per field, then the closing line.
QByteArray multipart(const Fields& fields)
{
    QByteArray body;
    for (const auto& [name, value] : fields) {
        body += "--" + kBoundary + "\r\nContent-Disposition: form-data; name=\"" + name + "\"\r\n\r\n" + value + "\r\n";
    }
    return body + "--" + kBoundary + "--\r\n";
}

Fields loginFields(const QString& email, const QString& password, const QByteArray& uid = "uid-test-0001")
{
    return {{"email", email.toUtf8()}, {"email_password", password.toUtf8()}, {"platform", "macSA"}, {"os", "14.6.1"},
            {"app_version", "1.0.0"},  {"device_name", "Test Mac"},           {"uid", uid}};
}

struct Answer {
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;

    json parsed() const { return json::parse(body.toStdString(), nullptr, false); }
    std::string code() const
    {
        const json value = parsed();
        return value.is_object() && value.contains("code") ? value["code"].get<std::string>() : std::string();
    }
};

}  // namespace

class tst_DemoBackend : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<DemoBackend> m_backend;
    QNetworkAccessManager m_network;

    QNetworkReply* start(const QByteArray& method, const QString& path, const QByteArray& token = {},
                         const std::optional<QByteArray>& body = std::nullopt,
                         const QByteArray& contentType = kContentType)
    {
        QNetworkRequest request(QUrl(m_backend->apiBase() + path));
        request.setRawHeader("Accept", "application/json");
        if (!token.isNull()) {
            request.setRawHeader("Authorization", "Bearer " + token);
        }
        if (method == "POST") {
            request.setRawHeader("Cache-Control", "no-cache");
            if (!contentType.isEmpty()) {
                request.setRawHeader("Content-Type", contentType);
            }
            return m_network.post(request, body.value_or(multipart({})));
        }
        request.setRawHeader("Cache-control", "no-cache");
        if (method == "GET") {
            return m_network.get(request);
        }
        if (method == "DELETE") {
            return m_network.deleteResource(request);
        }
        return m_network.sendCustomRequest(request, method);
    }

    static Answer finish(QNetworkReply* reply)
    {
        Answer answer;
        if (!reply->isFinished()) {
            QEventLoop loop;
            QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
            QTimer::singleShot(10000, &loop, &QEventLoop::quit);
            loop.exec();
        }
        answer.error = reply->isFinished() ? reply->error() : QNetworkReply::TimeoutError;
        answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        answer.body = reply->readAll();
        reply->deleteLater();
        return answer;
    }

    Answer send(const QByteArray& method, const QString& path, const QByteArray& token = {},
                const std::optional<QByteArray>& body = std::nullopt)
    {
        return finish(start(method, path, token, body));
    }

    QByteArray logIn(const QString& email, const QString& password, const QByteArray& uid = "uid-test-0001")
    {
        const Answer answer =
            send("POST", QStringLiteral("auth/login/email"), {}, multipart(loginFields(email, password, uid)));
        const json value = answer.parsed();
        return value.is_object() && value.contains("access_token")
                   ? QByteArray::fromStdString(value["access_token"].get<std::string>())
                   : QByteArray();
    }

private slots:
    void init()
    {
        m_backend = std::make_unique<DemoBackend>();
        QVERIFY2(m_backend->listen(0), qPrintable(m_backend->errorString()));
        QVERIFY(m_backend->port() != 0);
        QVERIFY(m_backend->apiBase().startsWith(QLatin1String("http://127.0.0.1:")));
        // A fresh connection pool per test: a backend that went away leaves dead ones.
        m_network.clearConnectionCache();
    }

    void cleanup() { m_backend.reset(); }

    void logInWithHandBuiltFormGivesTokenAndRegistersDevice()
    {
        const Answer answer =
            send("POST", QStringLiteral("auth/login/email"), {},
                 multipart(loginFields(DemoBackend::demoEmail, DemoBackend::demoPassword, "uid-mac-42")));
        QCOMPARE(answer.status, 200);
        const json value = answer.parsed();
        QVERIFY(value.is_object() && !value.contains("errors"));
        const QByteArray token = QByteArray::fromStdString(value["access_token"].get<std::string>());
        QVERIFY(!token.isEmpty());

        const auto devices = m_backend->devices(DemoBackend::demoEmail);
        const auto registered = std::find_if(devices.begin(), devices.end(), [](const auto& device) {
            return device.uid == QLatin1String("uid-mac-42");
        });
        QVERIFY(registered != devices.end());
        QCOMPARE(registered->device_name, QStringLiteral("Test Mac"));
        QCOMPARE(registered->os, QStringLiteral("14.6.1"));
        QCOMPARE(registered->platform, QStringLiteral("macSA"));
        QVERIFY(!registered->last_login_at.isEmpty());

        // A second log-in from the same device refreshes it instead of adding one.
        QVERIFY(!logIn(DemoBackend::demoEmail, DemoBackend::demoPassword, "uid-mac-42").isEmpty());
        QCOMPARE(m_backend->devices(DemoBackend::demoEmail).size(), devices.size());

        const Answer plan = send("GET", QStringLiteral("users/me/plan"), token);
        QCOMPARE(plan.status, 200);
        QCOMPARE(plan.parsed()["status"], "active");
    }

    void requestLogKeepsHeaderCaseAndRawBody()
    {
        const QByteArray body = multipart({{"email", "someone@tandrel.example"}, {"code", "ABC"}});
        send("POST", QStringLiteral("codes/applyByEmail"), {}, body);
        send("GET", QStringLiteral("users/me/regions/best?x=1"));

        const auto posts = m_backend->requestsTo("POST", QStringLiteral("codes/applyByEmail"));
        QCOMPARE(posts.size(), 1);
        QCOMPARE(posts.first().body, body);
        QCOMPARE(posts.first().header("content-type"), kContentType);
        auto names = [](const tandrel::demo::RecordedRequest& request) {
            QList<QByteArray> list;
            for (const auto& header : request.headers) {
                list.append(header.first);
            }
            return list;
        };
        QVERIFY(names(posts.first()).contains("Cache-Control"));

        const auto gets = m_backend->requestsTo("GET", QStringLiteral("users/me/regions/best"));
        QCOMPARE(gets.size(), 1);
        QCOMPARE(gets.first().pathAndQuery, QByteArray("/api/users/me/regions/best?x=1"));
        QVERIFY(names(gets.first()).contains("Cache-control"));
        QVERIFY(!gets.first().hasHeader("Authorization"));
        QCOMPARE(m_backend->requests().size(), 2);
        m_backend->clearRequests();
        QVERIFY(m_backend->requests().isEmpty());
    }

    void refusalsCarryErrorsAndMessage_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<Fields>("fields");
        QTest::addColumn<int>("status");
        Fields missing = loginFields(DemoBackend::demoEmail, DemoBackend::demoPassword);
        missing.removeIf([](const auto& field) { return field.first == "uid"; });
        QTest::newRow("wrong password") << "auth/login/email" << loginFields(DemoBackend::demoEmail, "wrong-one")
                                        << 401;
        QTest::newRow("unknown account") << "auth/login/email" << loginFields("nobody@tandrel.example", "whatever1")
                                         << 404;
        QTest::newRow("missing uid") << "auth/login/email" << missing << 422;
        QTest::newRow("taken e-mail") << "auth/email" << loginFields(DemoBackend::demoEmail, "another-password") << 422;
        QTest::newRow("short password") << "auth/email" << loginFields("new@tandrel.example", "abc") << 422;
    }

    void refusalsCarryErrorsAndMessage()
    {
        QFETCH(QString, path);
        QFETCH(Fields, fields);
        QFETCH(int, status);
        const Answer answer = send("POST", path, {}, multipart(fields));
        QCOMPARE(answer.status, status);
        const json value = answer.parsed();
        QVERIFY(value.contains("errors"));
        QVERIFY(value["message"].is_string() && !value["message"].get<std::string>().empty());
        QVERIFY(!value.contains("access_token"));
    }

    void signUpCreatesAccountOnTrialThatCanLogIn()
    {
        const Answer answer = send("POST", QStringLiteral("auth/email"), {},
                                   multipart(loginFields("New.User@tandrel.example", "secret-1", "uid-new")));
        QCOMPARE(answer.status, 200);
        const QByteArray token = QByteArray::fromStdString(answer.parsed()["access_token"].get<std::string>());
        QVERIFY(m_backend->hasAccount(QStringLiteral("new.user@tandrel.example")));
        QCOMPARE(m_backend->devices(QStringLiteral("new.user@tandrel.example")).size(), 1);

        const json plan = send("GET", QStringLiteral("users/me/plan"), token).parsed();
        QCOMPARE(plan["status"], "active");
        QCOMPARE(plan["is_trial"], true);
        QVERIFY(!logIn(QStringLiteral("new.user@tandrel.example"), QStringLiteral("secret-1")).isEmpty());
    }

    void tokenProblemsAnswerTheirCode_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("tokenKind");
        QTest::addColumn<QString>("code");
        const QList<QPair<QByteArray, QString>> routes = {
            {"GET", "users/me/plan"}, {"POST", "users/me/istrialpossible"}, {"DELETE", "devices/5001"}};
        for (const auto& [method, path] : routes) {
            const QByteArray row = method + ' ' + path.toLatin1();
            QTest::newRow(row + " no header") << method << path << "none"
                                              << "E0112";
            QTest::newRow(row + " empty token") << method << path << "empty"
                                                << "E0112";
            QTest::newRow(row + " unknown token") << method << path << "unknown"
                                                  << "E0113";
            QTest::newRow(row + " expired token") << method << path << "expired"
                                                  << "E0114";
            QTest::newRow(row + " revoked token") << method << path << "revoked"
                                                  << "E0115";
        }
    }

    void tokenProblemsAnswerTheirCode()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(QString, tokenKind);
        QFETCH(QString, code);
        QByteArray token;
        if (tokenKind == QLatin1String("empty")) {
            token = "";
        } else if (tokenKind == QLatin1String("unknown")) {
            token = "tdr_not-a-token";
        } else if (tokenKind != QLatin1String("none")) {
            token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
            tokenKind == QLatin1String("expired") ? m_backend->expireToken(QString::fromUtf8(token))
                                                  : m_backend->revokeToken(QString::fromUtf8(token));
        }
        const Answer answer = send(method, path, token, multipart({{"uid", "uid-test-0001"}}));
        QCOMPARE(answer.status, 401);
        QCOMPARE(QString::fromStdString(answer.code()), code);
        QCOMPARE(m_backend->devices(DemoBackend::demoEmail).size(), 2);  // nothing was deleted
    }

    void logOutRevokesTheToken()
    {
        const QByteArray token = logIn(DemoBackend::demoEmail, DemoBackend::demoPassword);
        // The client's log-out body is the closing boundary line alone.
        const Answer logout = send("POST", QStringLiteral("auth/logout"), token, "--" + kBoundary + "--\r\n");
        QCOMPARE(logout.status, 200);
        QCOMPARE(send("GET", QStringLiteral("devices"), token).code(), "E0115");
        // A second log-out with the same token is refused the same way.
        QCOMPARE(send("POST", QStringLiteral("auth/logout"), token).code(), "E0115");
    }

    void regionsCarryEveryFieldWithItsType()
    {
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const Answer answer = send("GET", QStringLiteral("users/me/regions"), token);
        QCOMPARE(answer.status, 200);
        const json regions = answer.parsed();
        QVERIFY(regions.is_array());
        QVERIFY(regions.size() >= 35 && regions.size() <= 50);
        QCOMPARE(regions, m_backend->regions());

        int withoutDistance = 0;
        int nullDistance = 0;
        std::vector<qint64> nearestDistances;
        std::vector<qint64> otherDistances;
        std::set<qint64> ids;
        std::set<qint64> loads;
        for (const json& region : regions) {
            for (const char* key : {"is_streaming", "is_free", "is_alive", "is_p2p", "is_nearest"}) {
                QVERIFY2(region.at(key).is_boolean(), key);
            }
            for (const char* key :
                 {"server_domain", "city", "country_code", "ip", "country_name", "short_name", "continent"}) {
                QVERIFY2(region.at(key).is_string() && !region.at(key).get<std::string>().empty(), key);
            }
            QVERIFY(region.at("id").is_number_integer());
            QVERIFY(region.at("load_percentage").is_number_integer());
            ids.insert(region["id"].get<qint64>());
            loads.insert(region["load_percentage"].get<qint64>());
            const double latitude = region.at("location").at("latitude").get<double>();
            const double longitude = region.at("location").at("longitude").get<double>();
            QVERIFY(latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180);
            if (!region.contains("distance")) {
                ++withoutDistance;
                QVERIFY(!region["is_nearest"].get<bool>());
                continue;
            }
            if (region["distance"].is_null()) {
                ++nullDistance;
                QVERIFY(!region["is_nearest"].get<bool>());
                continue;
            }
            QVERIFY(region["distance"].is_number_integer());
            (region["is_nearest"].get<bool>() ? nearestDistances : otherDistances)
                .push_back(region["distance"].get<qint64>());
            if (region["city"] == "Berlin") {
                // From the fixed user location in Leipzig, about 150 km as the crow flies.
                QVERIFY(region["distance"].get<qint64>() > 140 && region["distance"].get<qint64>() < 160);
                QVERIFY(std::abs(latitude - 52.52) < 0.01 && std::abs(longitude - 13.405) < 0.01);
            }
        }
        QCOMPARE(ids.size(), regions.size());
        QVERIFY(loads.size() > 10);
        QVERIFY(withoutDistance >= 1);
        QCOMPARE(nullDistance, 1);
        QVERIFY(!nearestDistances.empty() && nearestDistances.size() <= 5);
        QVERIFY(*std::max_element(nearestDistances.begin(), nearestDistances.end()) <=
                *std::min_element(otherDistances.begin(), otherDistances.end()));

        // The best regions need no token and are the nearest ones.
        const json best = send("GET", QStringLiteral("users/me/regions/best")).parsed();
        QCOMPARE(best.size(), nearestDistances.size());
    }

    void sameSeedGivesSameAnswers()
    {
        DemoBackend same(nullptr, DemoBackend::kDefaultSeed);
        DemoBackend other(nullptr, DemoBackend::kDefaultSeed + 1);
        QCOMPARE(same.regions(), m_backend->regions());
        QCOMPARE(same.issueToken(DemoBackend::demoEmail), m_backend->issueToken(DemoBackend::demoEmail));
        QVERIFY(other.regions() != m_backend->regions());
    }

    void plansAndSlotOffersHaveTheFieldsTheClientReads()
    {
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const json plans = send("GET", QStringLiteral("vpn/plans"), token).parsed();
        QVERIFY(plans.is_array() && plans.size() >= 5);
        bool trialEntry = false;
        bool lifetime = false;
        for (const json& plan : plans) {
            QVERIFY(plan.at("name").is_string() && plan.at("total_days").is_number_integer() &&
                    plan.at("is_trial").is_boolean() && plan.at("is_unlimited").is_boolean() &&
                    plan.at("price").is_string());
            trialEntry |= plan["name"] == "Trial" && plan["is_trial"] == true;
            lifetime |= plan["is_unlimited"] == true && plan["total_days"] == 0;
        }
        QVERIFY(trialEntry);
        QVERIFY(lifetime);

        const json offers = send("GET", QStringLiteral("vpn/slots"), token).parsed();
        QVERIFY(offers.is_array() && !offers.empty());
        for (const json& offer : offers) {
            QVERIFY(offer.at("total_days").is_number_integer() && offer.at("is_trial").is_boolean() &&
                    offer.at("is_unlimited").is_boolean() && offer.at("price").is_string() &&
                    offer.at("device_count").get<int>() > 0);
        }
        QCOMPARE(offers, m_backend->slotPlans());
    }

    void planAndTrialAnswers()
    {
        const QByteArray demo = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const json plan = send("GET", QStringLiteral("users/me/plan"), demo).parsed();
        QCOMPARE(plan["status"], "active");
        QVERIFY(plan["is_unlimited"].is_boolean() && plan["is_trial"].is_boolean() && plan["name"].is_string());
        QCOMPARE(plan["device_count"], 5);

        const QByteArray expired = m_backend->issueToken(DemoBackend::expiredEmail).toUtf8();
        QVERIFY(send("GET", QStringLiteral("users/me/plan"), expired).parsed()["status"] != "active");

        // Only the seeded trial account may take the trial from the start.
        const QByteArray newcomer = m_backend->issueToken(DemoBackend::trialEmail).toUtf8();
        QVERIFY(send("GET", QStringLiteral("users/me/plan"), newcomer).parsed()["status"] != "active");
        QCOMPARE(send("POST", QStringLiteral("users/me/istrialpossible"), newcomer, multipart({{"uid", "u1"}}))
                     .parsed()["isTrialPossible"],
                 true);
        QCOMPARE(send("POST", QStringLiteral("users/me/istrialpossible"), demo, multipart({{"uid", "u1"}}))
                     .parsed()["isTrialPossible"],
                 false);

        m_backend->setTrialPossible(DemoBackend::demoEmail, true);
        const Answer trial = send("POST", QStringLiteral("users/me/istrialpossible"), demo, multipart({{"uid", "u1"}}));
        QCOMPARE(trial.parsed()["isTrialPossible"], true);
    }

    void tunnelConfigurationNamesTheRegionsServer()
    {
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const json region = m_backend->regions().at(5);
        const QString id = QString::number(region["id"].get<qint64>());
        const json config = send("GET", QStringLiteral("config/ipsec/") + id, token).parsed();
        QCOMPARE(config["server_domain"], region["server_domain"]);
        QVERIFY(!config["radius_login"].get<std::string>().empty());
        QVERIFY(!config["radius_password"].get<std::string>().empty());

        m_backend->setRegionServerDomain(region["id"].get<qint64>(), QStringLiteral("responder.test"));
        QCOMPARE(send("GET", QStringLiteral("config/ipsec/") + id, token).parsed()["server_domain"], "responder.test");
    }

    void tunnelConfigurationRefusals_data()
    {
        QTest::addColumn<QString>("email");
        QTest::addColumn<int>("deviceLimit");
        QTest::addColumn<QString>("regionId");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("code");
        QTest::newRow("no active plan") << DemoBackend::expiredEmail << 5 << "1" << 404 << "E0121";
        QTest::newRow("more devices than slots") << DemoBackend::demoEmail << 1 << "1" << 403 << "E0161";
        QTest::newRow("unknown region") << DemoBackend::demoEmail << 5 << "9999" << 404 << "";
        QTest::newRow("region id not a number") << DemoBackend::demoEmail << 5 << "abc" << 404 << "";
    }

    void tunnelConfigurationRefusals()
    {
        QFETCH(QString, email);
        QFETCH(int, deviceLimit);
        QFETCH(QString, regionId);
        QFETCH(int, status);
        QFETCH(QString, code);
        m_backend->setDeviceLimit(email, deviceLimit);
        const Answer answer =
            send("GET", QStringLiteral("config/ipsec/") + regionId, m_backend->issueToken(email).toUtf8());
        QCOMPARE(answer.status, status);
        QCOMPARE(QString::fromStdString(answer.code()), code);
        QVERIFY(!answer.parsed().contains("radius_password"));
    }

    void redeemCodes_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("errorCode");
        QTest::newRow("fresh") << DemoBackend::freshRedeemCode << 200 << "";
        QTest::newRow("already used") << DemoBackend::usedRedeemCode << 409 << "E0142";
        QTest::newRow("wrong") << "NO-SUCH-CODE" << 404 << "E0141";
        QTest::newRow("invalid") << DemoBackend::invalidRedeemCode << 422 << "E0143";
    }

    void redeemCodes()
    {
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(QString, errorCode);
        const QByteArray body = multipart({{"email", DemoBackend::expiredEmail.toUtf8()}, {"code", code.toUtf8()}});
        const Answer answer = send("POST", QStringLiteral("codes/applyByEmail"), {}, body);
        QCOMPARE(answer.status, status);
        QCOMPARE(QString::fromStdString(answer.code()), errorCode);
        QCOMPARE(m_backend->plan(DemoBackend::expiredEmail)->status == QLatin1String("active"), status == 200);
        if (status == 200) {
            // A code works once.
            const Answer again = send("POST", QStringLiteral("codes/applyByEmail"), {}, body);
            QCOMPARE(again.status, 409);
            QCOMPARE(again.code(), "E0142");
        }
    }

    void devicesAreListedAndDeleted()
    {
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const json devices = send("GET", QStringLiteral("devices"), token).parsed();
        QVERIFY(devices.is_array());
        QCOMPARE(devices.size(), 2u);
        for (const json& device : devices) {
            QVERIFY(device.contains("id") && device["device_name"].is_string() && device["os"].is_string() &&
                    device["platform"].is_string() && device.contains("last_login_at"));
        }
        const QString id = QString::number(devices[0]["id"].get<qint64>());
        QCOMPARE(send("DELETE", QStringLiteral("devices/") + id, token).status, 200);
        QCOMPARE(send("GET", QStringLiteral("devices"), token).parsed().size(), 1u);
        QCOMPARE(send("DELETE", QStringLiteral("devices/") + id, token).status, 404);
    }

    void unknownPathsAndWrongMethods_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("status");
        QTest::newRow("unknown path") << QByteArray("GET") << "users/me/nothing" << 404;
        QTest::newRow("trailing slash") << QByteArray("GET") << "devices/" << 404;
        QTest::newRow("GET of a POST route") << QByteArray("GET") << "auth/login/email" << 405;
        QTest::newRow("POST of a GET route") << QByteArray("POST") << "users/me/regions" << 405;
        QTest::newRow("PUT of a DELETE route") << QByteArray("PUT") << "devices/12" << 405;
    }

    void unknownPathsAndWrongMethods()
    {
        QFETCH(QByteArray, method);
        QFETCH(QString, path);
        QFETCH(int, status);
        const Answer answer = send(method, path, m_backend->issueToken(DemoBackend::demoEmail).toUtf8());
        QCOMPARE(answer.status, status);
        QVERIFY(answer.parsed().is_object() && answer.parsed().contains("message"));
    }

    void malformedMultipartIsRefusedWith400_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        const QByteArray d = "--" + kBoundary;
        const QByteArray part = d + "\r\nContent-Disposition: form-data; name=\"email\"\r\n\r\nx\r\n";
        QTest::newRow("no content type") << QByteArray() << multipart({{"email", "x"}});
        QTest::newRow("not multipart") << QByteArray("application/x-www-form-urlencoded") << QByteArray("email=x");
        QTest::newRow("no boundary parameter") << QByteArray("multipart/form-data") << multipart({{"email", "x"}});
        QTest::newRow("other boundary") << QByteArray("multipart/form-data; boundary=abc")
                                        << multipart({{"email", "x"}});
        QTest::newRow("no closing line") << kContentType << part;
        QTest::newRow("truncated part") << kContentType << part.left(part.size() - 8);
        QTest::newRow("part without disposition") << kContentType << d + "\r\nX-Other: 1\r\n\r\nx\r\n" + d + "--\r\n";
        QTest::newRow("disposition without name")
            << kContentType << d + "\r\nContent-Disposition: form-data\r\n\r\nx\r\n" + d + "--\r\n";
        QTest::newRow("junk after boundary") << kContentType << d + "junk\r\n" + part.mid(d.size() + 2) + d + "--\r\n";
        QTest::newRow("empty body") << kContentType << QByteArray();
        QTest::newRow("binary noise") << kContentType << QByteArray("\x00\xff\r\n--\r\n\r\n", 10);
    }

    void malformedMultipartIsRefusedWith400()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        const Answer answer = finish(start("POST", QStringLiteral("codes/applyByEmail"), {}, body, contentType));
        QCOMPARE(answer.status, 400);
        QVERIFY(answer.parsed().contains("errors"));
        QVERIFY(answer.parsed()["message"].is_string());
    }

    void multipartFormKeepsValuesExactly_data()
    {
        QTest::addColumn<QByteArray>("contentType");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QByteArray>("value");
        QTest::newRow("client form") << kContentType << multipart({{"a", "1"}, {"name", "Zoë's Mac"}})
                                     << QByteArray("Zoë's Mac");
        QTest::newRow("value holding CR LF and hyphens")
            << kContentType << multipart({{"name", "line\r\n--not-the-boundary\r\n"}})
            << QByteArray("line\r\n--not-the-boundary\r\n");
        QTest::newRow("empty value") << kContentType << multipart({{"name", ""}}) << QByteArray("");
        QTest::newRow("quoted boundary, preamble, epilogue")
            << QByteArray("Multipart/Form-Data; charset=utf-8; boundary=\"b 1\"")
            << QByteArray(
                   "preamble\r\n--b 1\r\ncontent-disposition: form-data; name=name; filename=\"f.txt\"\r\n"
                   "Content-Type: text/plain\r\n\r\nfile\r\n--b 1--\r\nepilogue")
            << QByteArray("file");
    }

    void multipartFormKeepsValuesExactly()
    {
        QFETCH(QByteArray, contentType);
        QFETCH(QByteArray, body);
        QFETCH(QByteArray, value);
        const MultipartForm form = MultipartForm::parse(contentType, body);
        QVERIFY2(form.isValid(), qPrintable(form.error()));
        QCOMPARE(form.value("name"), std::optional<QString>(QString::fromUtf8(value)));
    }

    void faultReplacesTheAnswerWithRawBytes_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("empty") << 200 << QByteArray("");
        QTest::newRow("not JSON") << 200 << QByteArray("not json at all");
        QTest::newRow("HTML error page") << 502 << QByteArray("<html><body>Bad gateway</body></html>");
        QTest::newRow("huge") << 200 << QByteArray(4 * 1024 * 1024, 'x');
        QTest::newRow("expired code") << 401 << QByteArray(R"({"code":"E0113"})");
    }

    void faultReplacesTheAnswerWithRawBytes()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        m_backend->setResponse("GET", QStringLiteral("users/me/regions"), status, body);
        const Answer answer = send("GET", QStringLiteral("users/me/regions"), "whatever");
        QCOMPARE(answer.status, status);
        QCOMPARE(answer.body, body);
        m_backend->clearFaults();
        QCOMPARE(send("GET", QStringLiteral("users/me/regions"), "whatever").code(), "E0113");
    }

    void faultStatusKeepsTheRoutesBodyAndCountsDown()
    {
        Fault fault;
        fault.status = 500;
        fault.times = 1;
        m_backend->setFault("GET", QStringLiteral("/api/config/ipsec/*"), fault);
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        const Answer first = send("GET", QStringLiteral("config/ipsec/1"), token);
        QCOMPARE(first.status, 500);
        QVERIFY(first.parsed().contains("radius_login"));
        QCOMPARE(send("GET", QStringLiteral("config/ipsec/1"), token).status, 200);
    }

    void delayedAnswerLeavesOtherRequestsServed()
    {
        Fault slow;
        slow.delayMs = 400;
        m_backend->setFault("GET", QStringLiteral("vpn/plans"), slow);
        const QByteArray token = m_backend->issueToken(DemoBackend::demoEmail).toUtf8();
        QNetworkReply* delayed = start("GET", QStringLiteral("vpn/plans"), token);
        const Answer quick = send("GET", QStringLiteral("vpn/slots"), token);
        QCOMPARE(quick.status, 200);
        QVERIFY(!delayed->isFinished());
        const Answer late = finish(delayed);
        QCOMPARE(late.status, 200);
        QCOMPARE(late.parsed(), m_backend->plans());
    }

    void rawConnectionsAreFramedStrictly_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QList<QByteArray>>("statusLines");
        const QByteArray best = "GET /api/users/me/regions/best HTTP/1.1\r\nHost: x\r\n\r\n";
        const QByteArray chunkedBody = multipart({{"email", "nobody@tandrel.example"}, {"code", "X"}});
        const QByteArray chunked = "POST /api/codes/applyByEmail HTTP/1.1\r\nHost: x\r\nContent-Type: " + kContentType +
                                   "\r\nTransfer-Encoding: chunked\r\n\r\n" +
                                   QByteArray::number(chunkedBody.size(), 16) + "\r\n" + chunkedBody + "\r\n0\r\n\r\n";
        QTest::newRow("two requests on one connection")
            << best + best << QList<QByteArray>{"HTTP/1.1 200", "HTTP/1.1 200"};
        QTest::newRow("chunked body") << chunked << QList<QByteArray>{"HTTP/1.1 404"};
        QTest::newRow("garbage request line")
            << QByteArray("\x16\x03\x01 hello\r\n\r\n") << QList<QByteArray>{"HTTP/1.1 400"};
        QTest::newRow("unsupported version")
            << QByteArray("GET / HTTP/2.0\r\n\r\n") << QList<QByteArray>{"HTTP/1.1 505"};
        QTest::newRow("bad content length")
            << QByteArray("POST /api/auth/logout HTTP/1.1\r\nContent-Length: -1\r\n\r\n")
            << QList<QByteArray>{"HTTP/1.1 400"};
        QTest::newRow("endless empty lines") << QByteArray("\r\n").repeated(40000) << QList<QByteArray>{"HTTP/1.1 400"};
        QTest::newRow("header without colon")
            << QByteArray("GET /api/devices HTTP/1.1\r\nBroken header\r\n\r\n") << QList<QByteArray>{"HTTP/1.1 400"};
    }

    void rawConnectionsAreFramedStrictly()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QList<QByteArray>, statusLines);
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, m_backend->port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write(bytes);
        QByteArray received;
        QTRY_VERIFY_WITH_TIMEOUT((received += socket.readAll()).count("HTTP/1.1 ") >= statusLines.size() &&
                                     (received.endsWith('}') || received.endsWith(']')),
                                 5000);
        QList<QByteArray> found;
        for (qsizetype at = received.indexOf("HTTP/1.1 "); at >= 0; at = received.indexOf("HTTP/1.1 ", at + 1)) {
            found.append(received.mid(at, 12));
        }
        QCOMPARE(found, statusLines);
    }

    void listensOnlyOnItsLoopbackAddress()
    {
        // All of 127.0.0.0/8 reaches this host; a server bound to every address would
        // answer on 127.0.0.2 too.
        QTcpSocket socket;
        socket.connectToHost(QHostAddress(QStringLiteral("127.0.0.2")), m_backend->port());
        QVERIFY(!socket.waitForConnected(2000));
    }

    void droppedConnectionGivesNoAnswer()
    {
        // On a kept-alive connection, where the client sends the request once more when
        // the connection drops: the fault holds for that second attempt too.
        QCOMPARE(send("GET", QStringLiteral("users/me/regions/best")).status, 200);
        Fault drop;
        drop.dropConnection = true;
        m_backend->setFault("POST", QStringLiteral("auth/login/email"), drop);
        const Answer answer =
            send("POST", QStringLiteral("auth/login/email"), {},
                 multipart(loginFields(DemoBackend::demoEmail, DemoBackend::demoPassword, "uid-drop")));
        QVERIFY(answer.error != QNetworkReply::NoError);
        QCOMPARE(answer.status, 0);
        // The route did not run: no device was registered.
        QCOMPARE(m_backend->devices(DemoBackend::demoEmail).size(), 2);
        QVERIFY(!m_backend->requestsTo("POST", QStringLiteral("auth/login/email")).isEmpty());
    }
};

TANDREL_TEST_MAIN_CORE(tst_DemoBackend)
#include "tst_demobackend.moc"

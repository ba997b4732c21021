#include "Network/Client.h"

#include "Classes/Preferences.h"
#include "Classes/Session.h"
#include "DemoBackend.h"
#include "Platform/Keychain.h"
#include "Platform/NotificationCenter.h"

#include "support/CapturedOutput.h"
#include "support/LoopbackHttpServer.h"
#include "support/TestMain.h"

#include <QTcpSocket>

#include <memory>

using namespace tandrel;
using tandrel::demo::Fault;
using tandrel::demo::RecordedRequest;
using tandrel::testing::CapturedOutput;
using tandrel::testing::LoopbackHttpServer;
using Fields = QMap<QString, QString>;

namespace {

struct Outcome {
    bool done = false;
    std::optional<Error> error;
    std::optional<JSON> json;
    std::optional<int> status;
    QStringList* events = nullptr;  // gets "completion" appended when given
};

// One transport call by method, recording its completion into the returned outcome.
std::shared_ptr<Outcome> send(const QByteArray& method, const QString& address, const Fields& params = {},
                              bool auth = true, QStringList* events = nullptr)
{
    auto outcome = std::make_shared<Outcome>();
    outcome->events = events;
    auto record = [outcome](std::optional<Error> error, std::optional<JSON> json, std::optional<int> status) {
        *outcome = {true, std::move(error), std::move(json), status, outcome->events};
        if (outcome->events) {
            outcome->events->append("completion");
        }
    };
    auto recordGet = [record](std::optional<Error> error, std::optional<JSON> json) {
        record(std::move(error), std::move(json), std::nullopt);
    };
    if (method == "POST") {
        Client::shared().post(address, params, auth, record);
    } else if (method == "DELETE") {
        Client::shared().delete_(address, auth, recordGet);
    } else {
        Client::shared().get(address, auth, recordGet);
    }
    return outcome;
}

// The boundary that a multipart Content-Type names.
QByteArray boundaryOf(const RecordedRequest& request)
{
    const QByteArray contentType = request.header("Content-Type");
    return contentType.mid(contentType.indexOf("boundary=") + 9);
}

// Field name to value, read back from a multipart body by its own boundary.
Fields formFields(const RecordedRequest& request)
{
    Fields fields;
    const QByteArray delimiter = "\r\n--" + boundaryOf(request);
    const QByteArray body = "\r\n" + request.body;
    for (qsizetype at = body.indexOf(delimiter + "\r\n"); at >= 0;) {
        const qsizetype start = at + delimiter.size() + 2;
        const qsizetype end = body.indexOf(delimiter, start);
        const QByteArray part = body.mid(start, end - start);
        const qsizetype blank = part.indexOf("\r\n\r\n");
        const qsizetype name = part.indexOf("name=\"") + 6;
        fields.insert(QString::fromUtf8(part.mid(name, blank - name - 1)), QString::fromUtf8(part.mid(blank + 4)));
        at = body.mid(end + delimiter.size(), 2) == "\r\n" ? end : -1;
    }
    return fields;
}

QList<QByteArray> headerNames(const RecordedRequest& request)
{
    QList<QByteArray> names;
    for (const auto& header : request.headers) {
        names << header.first;
    }
    return names;
}

const PostCompletion kIgnorePost = [](auto&&...) {};
const GetCompletion kIgnoreGet = [](auto&&...) {};

}  // namespace

Q_DECLARE_METATYPE(std::optional<QString>)

class ClientTest : public QObject {
    Q_OBJECT

    demo::DemoBackend m_backend;
    QTemporaryDir m_keychainFolder;
    std::vector<NotificationCenter::Token> m_observers;

    QString api(const QString& path) const { return m_backend.apiBase() + path; }

    void record(const QString& name, QStringList* events)
    {
        m_observers.push_back(NotificationCenter::defaultCenter().addObserver(
            name, nullptr, NotificationCenter::Delivery::postingThread,
            [events, name](const Notification&) { events->append(name); }));
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(m_backend.listen(0), qPrintable(m_backend.errorString()));
        Client::setServerPath(m_backend.apiBase());
        KeychainStore::setSystem(KeychainStore::makeFileStore(m_keychainFolder.filePath("keychain")));
    }

    void init()
    {
        m_backend.clearRequests();
        m_backend.clearFaults();
        Preferences::setToken(std::nullopt);
    }

    void cleanup()
    {
        for (const NotificationCenter::Token token : m_observers) {
            NotificationCenter::defaultCenter().removeObserver(token);
        }
        m_observers.clear();
    }

    void headersKeepTheirNamesAndAuthorizationRules_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<bool>("auth");
        QTest::addColumn<std::optional<QString>>("token");
        // Null: no header at all. The wire carries "Bearer " with its blank, but HTTP drops
        // trailing blanks of a field value, so the backend reads "Bearer".
        QTest::addColumn<QByteArray>("authorization");
        const std::optional<QString> none;
        QTest::newRow("GET, no token") << QByteArray("GET") << true << none << QByteArray("Bearer");
        QTest::newRow("GET, token") << QByteArray("GET") << true << std::optional<QString>("t1")
                                    << QByteArray("Bearer t1");
        QTest::newRow("GET without auth") << QByteArray("GET") << false << std::optional<QString>("t1") << QByteArray();
        QTest::newRow("DELETE, no token") << QByteArray("DELETE") << true << none << QByteArray("Bearer");
        QTest::newRow("POST, no token") << QByteArray("POST") << true << none << QByteArray();
        QTest::newRow("POST, empty token")
            << QByteArray("POST") << true << std::optional<QString>("") << QByteArray("Bearer");
        QTest::newRow("POST, token") << QByteArray("POST") << true << std::optional<QString>("t2")
                                     << QByteArray("Bearer t2");
    }

    void headersKeepTheirNamesAndAuthorizationRules()
    {
        QFETCH(QByteArray, method);
        QFETCH(bool, auth);
        QFETCH(std::optional<QString>, token);
        QFETCH(QByteArray, authorization);
        Preferences::setToken(token);
        m_backend.setResponse(method, "users/me", 200, "{}");
        auto outcome = send(method, api("users/me"), {}, auth);
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
        QVERIFY(!outcome->error);

        const RecordedRequest request = m_backend.requestsTo(method, "users/me").value(0);
        const QList<QByteArray> names = headerNames(request);
        const QByteArray cacheControl = method == "POST" ? "Cache-Control" : "Cache-control";
        QVERIFY2(names.contains("Accept") && names.contains(cacheControl), names.join(", "));
        QCOMPARE(request.header("Accept"), QByteArray("application/json"));
        QCOMPARE(request.header(cacheControl), QByteArray("no-cache"));
        if (method == "POST") {
            QCOMPARE(request.header("Content-Type"), "multipart/form-data; boundary=" + Client::boundary.toUtf8());
        }
        QCOMPARE(names.contains("Authorization"), !authorization.isNull());
        QCOMPARE(request.header("Authorization"), authorization);
    }

    void storedTokenCannotAddHeaders()
    {
        Preferences::setToken("t\r\nX-Injected: 1");
        auto got = send("GET", api("users/me"));
        auto posted = send("POST", api("auth/logout"));
        QTRY_VERIFY_WITH_TIMEOUT(got->done && posted->done, 5000);
        for (const RecordedRequest& request : m_backend.requests()) {
            QVERIFY(!request.hasHeader("X-Injected"));
            QCOMPARE(request.header("Authorization"), QByteArray("Bearer tX-Injected: 1"));
        }
    }

    void multipartBodyIsExact()
    {
        const QByteArray open = "--" + Client::boundary.toUtf8() + "\r\nContent-Disposition: form-data; name=\"";
        const QByteArray close = "--" + Client::boundary.toUtf8() + "--\r\n";
        const QByteArray email = open + "email\"\r\n\r\nme@example.org\r\n";
        const QByteArray code = open + "code\"\r\n\r\nGIFT\r\n";
        auto two = send("POST", api("codes/applyByEmail"), {{"email", "me@example.org"}, {"code", "GIFT"}}, false);
        auto none = send("POST", api("auth/logout"));
        QTRY_VERIFY_WITH_TIMEOUT(two->done && none->done, 5000);
        const QByteArray twoBody = m_backend.requestsTo("POST", "codes/applyByEmail").value(0).body;
        QVERIFY2(twoBody == email + code + close || twoBody == code + email + close, twoBody.constData());
        QCOMPARE(m_backend.requestsTo("POST", "auth/logout").value(0).body, close);
    }

    void valueHoldingTheBoundaryCannotAddFields()
    {
        const QString smuggled =
            "pw\r\n--" + Client::boundary + "\r\nContent-Disposition: form-data; name=\"admin\"\r\n\r\n1";
        auto outcome =
            send("POST", api("auth/login/email"), {{"email", "me@example.org"}, {"email_password", smuggled}});
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);

        const RecordedRequest request = m_backend.requestsTo("POST", "auth/login/email").value(0);
        QVERIFY(boundaryOf(request) != Client::boundary.toUtf8());
        QCOMPARE(boundaryOf(request).size(), Client::boundary.size());
        QCOMPARE(formFields(request), Fields({{"email", "me@example.org"}, {"email_password", smuggled}}));
    }

    void sessionAndSlotCodesNotifyInOrder_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<QByteArray>("code");
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QString>("description");
        const QStringList logoutFirst = {"logout", "completion"};
        const QString expired = "Session(JWT) expired or invalid.";
        QTest::newRow("GET E0112") << QByteArray("GET") << QByteArray("E0112") << logoutFirst << expired;
        QTest::newRow("GET E0113") << QByteArray("GET") << QByteArray("E0113") << logoutFirst << expired;
        QTest::newRow("DELETE E0114") << QByteArray("DELETE") << QByteArray("E0114") << logoutFirst << expired;
        QTest::newRow("POST E0115") << QByteArray("POST") << QByteArray("E0115") << logoutFirst << expired;
        QTest::newRow("POST E0161") << QByteArray("POST") << QByteArray("E0161")
                                    << QStringList{"completion", "showSlotsPaymentAlert"} << "No slots available.";
    }

    void sessionAndSlotCodesNotifyInOrder()
    {
        QFETCH(QByteArray, method);
        QFETCH(QByteArray, code);
        QFETCH(QStringList, events);
        QFETCH(QString, description);
        m_backend.setResponse(method, "users/me", 401, R"({"code":")" + code + R"("})");
        QStringList seen;
        record("logout", &seen);
        record("showSlotsPaymentAlert", &seen);
        auto outcome = send(method, api("users/me"), {}, true, &seen);
        QTRY_COMPARE_WITH_TIMEOUT(seen, events, 5000);
        QVERIFY(!outcome->json);
        QCOMPARE(outcome->error, Error::withDescription("ClientError", 401, description));
        QCOMPARE(outcome->status, method == "POST" ? std::optional<int>(401) : std::nullopt);
    }

    // The answer to a request sent before a log-out says the old token is void; it must not
    // log out again (the log-in screen would call a chosen log-out an expired session, and a
    // user already back in would be thrown out).
    void expiredAnswerToAnEndedSessionLogsNothingOut_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::newRow("GET") << QByteArray("GET");
        QTest::newRow("POST") << QByteArray("POST");
    }

    void expiredAnswerToAnEndedSessionLogsNothingOut()
    {
        QFETCH(QByteArray, method);
        Fault fault;
        fault.status = 401;
        fault.body = R"({"code":"E0112"})";
        fault.delayMs = 300;
        m_backend.setFault(method, "users/me", fault);
        QStringList seen;
        record("logout", &seen);
        auto outcome = send(method, api("users/me"), {}, true, &seen);
        Session::end();
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
        QCOMPARE(outcome->error, Error::withDescription("ClientError", 401, "Session(JWT) expired or invalid."));
        QCOMPARE(seen, QStringList({"completion"}));
    }

    void otherAnswersPassAsSuccess_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::newRow("E0121") << 200 << QByteArray(R"({"code":"E0121"})");
        QTest::newRow("numeric code") << 200 << QByteArray(R"({"code":42})");
        QTest::newRow("code in lower case") << 200 << QByteArray(R"({"code":"e0113"})");
        QTest::newRow("array") << 200 << QByteArray(R"([{"code":"E0113"}])");
        QTest::newRow("201 with JSON") << 201 << QByteArray(R"({"message":"fine"})");
        QTest::newRow("404 with a backend code") << 404 << QByteArray(R"({"code":"E0121"})");
        QTest::newRow("409 with a redeem code") << 409 << QByteArray(R"({"code":"E0142","message":"used"})");
    }

    void otherAnswersPassAsSuccess()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QStringList seen;
        record("logout", &seen);
        m_backend.setResponse("GET", "users/me/plan", status, body);
        m_backend.setResponse("POST", "users/me/istrialpossible", status, body);
        auto got = send("GET", api("users/me/plan"));
        auto posted = send("POST", api("users/me/istrialpossible"));
        QTRY_VERIFY_WITH_TIMEOUT(got->done && posted->done, 5000);
        QVERIFY(!got->error && !posted->error);
        QCOMPARE(got->json->raw(), nlohmann::json::parse(body.toStdString()));
        QCOMPARE(posted->status, status);
        QVERIFY(seen.isEmpty());
    }

    // An answer outside 2xx fails whatever its body holds, unless the body is one of the
    // backend's own refusals; each failure's description says what happened.
    void faultyAnswersFailWithWhatHappened_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("domain");  // empty: the JSON reaches the caller
        QTest::addColumn<QString>("description");
        const QString server = "ServerError";
        const QString notUnderstood = "The server's answer was not understood. The data couldn’t be read because it "
                                      "isn’t in the correct format (at byte ";
        QTest::newRow("GET 500 with a message") << QByteArray("GET") << 500 << QByteArray(R"({"message":"down"})")
                                                << server << "The server answered with an error (HTTP 500).";
        QTest::newRow("GET 404 with a configuration")
            << QByteArray("GET") << 404
            << QByteArray(R"({"radius_login":"u","radius_password":"p","server_domain":"s"})") << server
            << "The server answered with an error (HTTP 404).";
        QTest::newRow("GET 503 HTML page") << QByteArray("GET") << 503 << QByteArray("<html>busy</html>") << server
                                           << "The server answered with an error (HTTP 503).";
        QTest::newRow("GET 422 form refusal") << QByteArray("GET") << 422 << QByteArray(R"({"errors":{}})") << server
                                              << "The server answered with an error (HTTP 422).";
        QTest::newRow("POST 500 token") << QByteArray("POST") << 500 << QByteArray(R"({"access_token":"t"})")
                                        << server << "The server answered with an error (HTTP 500).";
        QTest::newRow("POST 500 form refusal") << QByteArray("POST") << 500 << QByteArray(R"({"errors":{}})")
                                               << server << "The server answered with an error (HTTP 500).";
        QTest::newRow("POST 403 unknown code") << QByteArray("POST") << 403 << QByteArray(R"({"code":"E9999"})")
                                               << server << "The server answered with an error (HTTP 403).";
        QTest::newRow("POST 407 with JSON") << QByteArray("POST") << 407 << QByteArray(R"({"message":"who"})")
                                            << server << "The server answered with an error (HTTP 407).";
        QTest::newRow("POST 422 form refusal") << QByteArray("POST") << 422
                                               << QByteArray(R"({"errors":{"email":["taken"]},"message":"taken"})")
                                               << QString() << QString();
        QTest::newRow("GET 200 truncated") << QByteArray("GET") << 200 << QByteArray("{\"id\":1,\"name\":\"Zur")
                                           << "Unknown error" << notUnderstood + "19: syntax error";
        QTest::newRow("POST 200 cut inside the token")
            << QByteArray("POST") << 200 << QByteArray("{\"access_token\":\"eyJsecret-token-bytes") << "JSONParseError"
            << "The data couldn’t be read because it isn’t in the correct format (at byte 38: ";
        QTest::newRow("GET 200 of 16 MiB of empty objects")
            << QByteArray("GET") << 200 << ("[" + QByteArray("{},").repeated((16 * 1024 * 1024 - 4) / 3) + "{}]")
            << "AnswerTooLarge" << "The server's answer is too large to be read; it was not used.";
    }

    void faultyAnswersFailWithWhatHappened()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, domain);
        QFETCH(QString, description);
        m_backend.setResponse(method, "users/me", status, body);
        QStringList seen;
        record("logout", &seen);
        CapturedOutput output;
        auto outcome = send(method, api("users/me"));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 15000);
        QVERIFY(seen.isEmpty());
        QCOMPARE(outcome->status, method == "POST" ? std::optional<int>(status) : std::nullopt);
        if (domain.isEmpty()) {
            QVERIFY(!outcome->error);
            QCOMPARE(outcome->json->raw(), nlohmann::json::parse(body.toStdString()));
            return;
        }
        QVERIFY(!outcome->json);
        QCOMPARE(outcome->error->domain(), domain);
        const QString shown = outcome->error->localizedDescription();
        QVERIFY2(shown.startsWith(description), qPrintable(shown));
        QVERIFY2(shown.size() < 300, qPrintable(shown));
        // Nothing the server sent is repeated, on screen or on standard output.
        QStringList printed = output.lines();
        printed << shown;
        for (const QString& line : printed) {
            QVERIFY2(!line.contains("secret") && !line.contains("Zur") && !line.contains("busy"), qPrintable(line));
        }
    }

    void longUnterminatedTextIsNeitherQuotedNorSlow()
    {
        m_backend.setResponse("POST", "auth/login/email", 200, R"({"access_token":")" + QByteArray(1 << 20, 's'));
        CapturedOutput output;
        QElapsedTimer clock;
        clock.start();
        auto outcome = send("POST", api("auth/login/email"));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
        QVERIFY(clock.elapsed() < 2000);
        const QString expected = "The data couldn’t be read because it isn’t in the correct format (at byte 1048593: "
                                 "syntax error while parsing value - invalid string: missing closing quote).";
        QCOMPARE(outcome->error->localizedDescription(), expected);
        QCOMPARE(output.lines(), QStringList({"JSON Parsing Error: " + expected}));
    }

    // Same-origin redirects are followed with one request per hop; a loop ends with its own
    // error after a few hops.
    void redirectChainsTakeOneRequestPerHop_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("hops");
        QTest::newRow("GET, three hops of 302") << QByteArray("GET") << 302 << 3;
        QTest::newRow("GET, five hops of 301") << QByteArray("GET") << 301 << 5;
        QTest::newRow("POST, two hops of 307") << QByteArray("POST") << 307 << 2;
        QTest::newRow("POST, three hops of 308") << QByteArray("POST") << 308 << 3;
        QTest::newRow("DELETE, two hops of 307") << QByteArray("DELETE") << 307 << 2;
        QTest::newRow("GET, a loop") << QByteArray("GET") << 302 << -1;
        QTest::newRow("POST, a loop") << QByteArray("POST") << 307 << -1;
    }

    void redirectChainsTakeOneRequestPerHop()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(int, hops);
        LoopbackHttpServer api([&](const LoopbackHttpServer::Request& request) {
            if (hops < 0) {
                return LoopbackHttpServer::Answer{status, "Redirect", {{"Location", "/api/loop"}}, "{}"};
            }
            const int hop = request.target.mid(request.target.lastIndexOf('/') + 1).toInt();
            if (!request.target.startsWith("/api/hop/") || hop >= hops) {
                return LoopbackHttpServer::Answer{200, "OK", {}, R"({"landed":true})"};
            }
            return LoopbackHttpServer::Answer{status, "Redirect", {{"Location", "/api/hop/" + QByteArray::number(hop + 1)}},
                                              "{}"};
        });
        QVERIFY(api.listen(QHostAddress::LocalHost, 0));
        auto outcome = send(method, QString::fromLatin1(api.origin()) + "/api/hop/0", {{"code", "C"}});
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
        QStringList targets;
        for (const LoopbackHttpServer::Request& request : api.requests) {
            targets << QString::fromLatin1(request.target);
            QCOMPARE(request.method, method);
            QCOMPARE(request.body, api.requests.first().body);
        }
        if (hops < 0) {
            QCOMPARE(targets.size(), 6);  // the first request and five hops
            QCOMPARE(outcome->error->localizedDescription(),
                     QString("The server redirected the request too many times; it was given up."));
            return;
        }
        QStringList expected;
        for (int hop = 0; hop <= hops; ++hop) {
            expected << QStringLiteral("/api/hop/%1").arg(hop);
        }
        QCOMPARE(targets, expected);
        QVERIFY2(!outcome->error, qPrintable(outcome->error ? outcome->error->description() : QString()));
        QCOMPARE((*outcome->json)["landed"].boolValue(), true);
    }

    void emptyBodiesFail()
    {
        m_backend.setResponse("DELETE", "devices/5", 200, "");
        m_backend.setResponse("POST", "auth/logout", 200, "");
        CapturedOutput output;
        auto deleted = send("DELETE", api("devices/5"));
        auto posted = send("POST", api("auth/logout"));
        QTRY_VERIFY_WITH_TIMEOUT(deleted->done && posted->done, 5000);
        QCOMPARE(deleted->error->domain(), QString("Unknown error"));
        QCOMPARE(deleted->error->code(), 0);
        QCOMPARE(posted->status, 200);
        QVERIFY(!deleted->json && !posted->json && posted->error);
        QCOMPARE(output.lines(), QStringList({"JSON Parsing Error: " + posted->error->localizedDescription()}));
    }

    void deadPortIsATransportError()
    {
        // A port held but never listened on refuses connections, and no other process
        // can take it while the test runs (a closed listener's port could be reused).
        QTcpSocket held;
        QVERIFY(held.bind(QHostAddress::LocalHost, 0));
        const QString dead = QStringLiteral("http://127.0.0.1:%1/api/").arg(held.localPort());
        CapturedOutput output;
        auto got = send("GET", dead + "users/me");
        QTRY_VERIFY_WITH_TIMEOUT(got->done, 5000);
        auto posted = send("POST", dead + "auth/logout");
        QTRY_VERIFY_WITH_TIMEOUT(posted->done, 5000);
        QCOMPARE(got->error->domain(), Client::networkErrorDomain);
        QCOMPARE(got->error->code(), -1004);
        QCOMPARE(posted->error->code(), -1004);
        QVERIFY(!posted->status);
        QCOMPARE(output.lines(), QStringList({got->error->description(), "Error: Could not connect to the server."}));
    }

    void silentServerTimesOutAfterTenSeconds()
    {
        demo::Fault silence;
        silence.delayMs = 30000;
        silence.dropConnection = true;
        m_backend.setFault("GET", "users/me/regions", silence);
        QElapsedTimer clock;
        clock.start();
        auto outcome = send("GET", api("users/me/regions"));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 15000);
        QVERIFY(clock.elapsed() >= 9000);
        QCOMPARE(outcome->error->code(), -1001);
        QCOMPARE(outcome->error->localizedDescription(), QString("The request timed out."));
    }

    void invalidAddressCompletesBeforeTheCallReturns()
    {
        for (const QByteArray method : {"GET", "DELETE", "POST"}) {
            auto outcome = send(method, "http://exa mple/api/users/me");
            QVERIFY(outcome->done);
            QCOMPARE(outcome->error, Error("Invalid URL", 0));
            QVERIFY(!outcome->status);
        }
        QVERIFY(m_backend.requests().isEmpty());
    }

    void idsStayOnePathSegment_data()
    {
        QTest::addColumn<QString>("id");
        QTest::addColumn<QByteArray>("target");  // null: no request, "Invalid URL"
        QTest::newRow("decimal") << "17" << QByteArray("/api/config/ipsec/17");
        QTest::newRow("climbing out") << "../../users/me/delete"
                                      << QByteArray("/api/config/ipsec/..%2F..%2Fusers%2Fme%2Fdelete");
        QTest::newRow("query") << "5?all=1" << QByteArray("/api/config/ipsec/5%3Fall%3D1");
        QTest::newRow("fragment") << "5#x" << QByteArray("/api/config/ipsec/5%23x");
        QTest::newRow("empty") << "" << QByteArray();
        QTest::newRow("dot dot") << ".." << QByteArray();
    }

    void idsStayOnePathSegment()
    {
        QFETCH(QString, id);
        QFETCH(QByteArray, target);
        bool done = false;
        std::optional<Error> error;
        Client::shared().IPSecConfiguration(id, [&](std::optional<Error> e, std::optional<JSON>) {
            error = e;
            done = true;
        });
        if (target.isNull()) {
            QVERIFY(done);
            QCOMPARE(error, Error("Invalid URL", 0));
            QVERIFY(m_backend.requests().isEmpty());
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(done, 5000);
            QCOMPARE(m_backend.requests().value(0).pathAndQuery, target);
        }
    }

    void everyOperationReachesItsRoute()
    {
        Client& c = Client::shared();
        const Fields device = {
            {"platform", "macSA"}, {"os", c.os}, {"app_version", c.appVersion}, {"device_name", c.deviceName}};
        auto with = [&device](Fields fields) {
            fields.insert(device);
            return fields;
        };
        struct Operation {
            std::function<void()> call;
            QByteArray method;
            QString path;
            bool token;
            Fields fields;
        };
        const QList<Operation> operations = {
            {[&] { c.signupWithUid("U", "P", kIgnorePost); }, "POST", "auth/signup", false,
             with({{"uid", "U"}, {"uid_password", "P"}})},
            {[&] { c.associateUserWithEmail("e@x", "P", "U", kIgnorePost); }, "POST", "auth/email", false,
             with({{"email", "e@x"}, {"email_password", "P"}, {"uid", "U"}})},
            {[&] { c.loginWithUid("U", "P", kIgnorePost); }, "POST", "auth/login/uid", false,
             with({{"uid", "U"}, {"uid_password", "P"}})},
            {[&] { c.loginWithEmail("e@x", "P", kIgnorePost); }, "POST", "auth/login/email", false,
             with({{"email", "e@x"}, {"email_password", "P"}, {"uid", *Preferences::uid()}})},
            {[&] { c.userInformation(kIgnoreGet); }, "GET", "users/me", true, {}},
            {[&] { c.userIp(kIgnoreGet); }, "GET", "users/me/ip", true, {}},
            {[&] { c.userPlans(kIgnoreGet); }, "GET", "vpn/plans", true, {}},
            {[&] { c.userSlotPlans(kIgnoreGet); }, "GET", "vpn/slots", true, {}},
            {[&] { c.userCurrentPlan(kIgnoreGet); }, "GET", "users/me/plan", true, {}},
            {[&] { c.userDelete(kIgnoreGet); }, "GET", "users/me/delete", true, {}},
            {[&] { c.userRegions(kIgnoreGet); }, "GET", "users/me/regions", true, {}},
            {[&] { c.userBestRegions(kIgnoreGet); }, "GET", "users/me/regions/best", false, {}},
            {[&] { c.IPSecConfiguration("17", kIgnoreGet); }, "GET", "config/ipsec/17", true, {}},
            {[&] { c.openVPNConfiguration("18", kIgnoreGet); }, "GET", "config/openvpn/18", true, {}},
            {[&] { c.codesApplyWithCode("C", "9", kIgnorePost); },
             "POST",
             "codes/apply",
             false,
             {{"code", "C"}, {"plan_id", "9"}}},
            {[&] { c.receiptValidateWithReceipt("R", false, kIgnorePost); },
             "POST",
             "receipt-validator/itunes",
             false,
             {{"receipt", "R"}, {"is_subscription", "0"}}},
            {[&] { c.resetPasswordWithEmail("e@x", kIgnorePost); },
             "POST",
             "auth/reset-password",
             false,
             {{"email", "e@x"}}},
            {[&] { c.resetPasswordWithEmailCode("e@x", "C", kIgnorePost); },
             "POST",
             "auth/verify-code",
             false,
             {{"email", "e@x"}, {"code", "C"}}},
            {[&] { c.resetPasswordWithEmailPassword("e@x", "N", kIgnorePost); },
             "POST",
             "auth/update-password",
             true,
             {{"password", "N"}, {"password_confirmation", "N"}}},
            {[&] { c.redeemCodeByEmail("e@x", "C", kIgnorePost); },
             "POST",
             "codes/applyByEmail",
             false,
             {{"email", "e@x"}, {"code", "C"}}},
            {[&] { c.isTrialPossibleWithUid("U", kIgnorePost); },
             "POST",
             "users/me/istrialpossible",
             true,
             {{"uid", "U"}}},
            {[&] { c.getDevices(kIgnoreGet); }, "GET", "devices", true, {}},
            {[&] { c.deleteDevice("31", kIgnoreGet); }, "DELETE", "devices/31", true, {}},
            {[&] { c.logout(kIgnorePost); }, "POST", "auth/logout", true, {}},
        };
        QCOMPARE(operations.size(), 24);
        Preferences::setToken("route-token");
        for (const Operation& operation : operations) {
            operation.call();
            QTRY_COMPARE_WITH_TIMEOUT(m_backend.requestsTo(operation.method, operation.path).size(), 1, 5000);
            const RecordedRequest request = m_backend.requestsTo(operation.method, operation.path).first();
            QCOMPARE(request.header("Authorization"),
                     operation.token ? QByteArray("Bearer route-token") : QByteArray());
            if (operation.method == "POST") {
                QCOMPARE(formFields(request), operation.fields);
            }
        }
    }

    void redirectsStayOnTheirOrigin_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("target");  // where the redirect points
        QTest::addColumn<bool>("followed");
        QTest::newRow("GET 302 to another address") << QByteArray("GET") << 302 << "other address" << false;
        QTest::newRow("POST 307 to another address") << QByteArray("POST") << 307 << "other address" << false;
        QTest::newRow("DELETE 308 to another address") << QByteArray("DELETE") << 308 << "other address" << false;
        QTest::newRow("GET 302 to another port") << QByteArray("GET") << 302 << "other port" << false;
        QTest::newRow("POST 307 to another scheme") << QByteArray("POST") << 307 << "other scheme" << false;
        QTest::newRow("GET 302 on the same origin") << QByteArray("GET") << 302 << "same origin" << true;
        QTest::newRow("POST 307 on the same origin") << QByteArray("POST") << 307 << "same origin" << true;
    }

    void redirectsStayOnTheirOrigin()
    {
        QFETCH(QByteArray, method);
        QFETCH(int, status);
        QFETCH(QString, target);
        QFETCH(bool, followed);
        Preferences::setToken(QStringLiteral("secret-token"));

        const auto stolen = [](const LoopbackHttpServer::Request&) {
            return LoopbackHttpServer::Answer{200, "OK", {}, R"({"stolen":true})"};
        };
        LoopbackHttpServer otherAddress(stolen);
        LoopbackHttpServer otherPort(stolen);
        if (!otherAddress.listen(QHostAddress(QStringLiteral("127.0.0.2")), 0)) {
            QSKIP("127.0.0.2 cannot be bound here");
        }
        QVERIFY(otherPort.listen(QHostAddress::LocalHost, 0));
        QByteArray location;
        LoopbackHttpServer api([&](const LoopbackHttpServer::Request& request) {
            if (request.target.startsWith("/api/landing")) {
                return LoopbackHttpServer::Answer{200, "OK", {}, R"({"landed":true})"};
            }
            return LoopbackHttpServer::Answer{status, "Redirect", {{"Location", location}}, "{}"};
        });
        QVERIFY(api.listen(QHostAddress::LocalHost, 0));
        const QByteArray landing = "/api/landing";
        if (target == "other address") {
            location = otherAddress.origin() + landing;
        } else if (target == "other port") {
            location = otherPort.origin() + landing;
        } else if (target == "other scheme") {
            location = "https://127.0.0.1:" + QByteArray::number(api.serverPort()) + landing;
        } else {
            location = landing;
        }

        auto outcome =
            send(method, QString::fromLatin1(api.origin()) + "/api/users/me", {{"email_password", "account-password"}});
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
        QVERIFY(otherAddress.requests.isEmpty());
        QVERIFY(otherPort.requests.isEmpty());
        if (!followed) {
            QVERIFY(!outcome->json);
            QVERIFY(!outcome->status);
            QCOMPARE(outcome->error->domain(), Client::networkErrorDomain);
            QCOMPARE(outcome->error->code(), -1011);
            QVERIFY2(outcome->error->localizedDescription().contains("away from the backend; it was not followed"),
                     qPrintable(outcome->error->localizedDescription()));
            QCOMPARE(api.requests.size(), 1);
            return;
        }
        QVERIFY2(!outcome->error, qPrintable(outcome->error ? outcome->error->description() : QString()));
        QCOMPARE((*outcome->json)["landed"].boolValue(), true);
        QCOMPARE(api.requests.size(), 2);
        QCOMPARE(api.requests[1].header("Authorization"), QByteArray("Bearer secret-token"));
        if (status == 307) {
            QCOMPARE(api.requests[1].method, method);
            QCOMPARE(api.requests[1].body, api.requests[0].body);
        }
    }

    void answersOverSixteenMebibytesFail_data()
    {
        QTest::addColumn<QByteArray>("method");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("accepted");
        constexpr qint64 cap = 16 * 1024 * 1024;
        for (const QByteArray method : {"GET", "POST"}) {
            QTest::addRow("%s of exactly 16 MiB", method.constData()) << method << cap << true;
            QTest::addRow("%s of 16 MiB and one byte", method.constData()) << method << cap + 1 << false;
            QTest::addRow("%s of 64 MiB", method.constData()) << method << 4 * cap << false;
        }
    }

    void answersOverSixteenMebibytesFail()
    {
        QFETCH(QByteArray, method);
        QFETCH(qint64, size);
        QFETCH(bool, accepted);
        // Blanks count like any byte; a text that long would be refused for itself.
        const QByteArray text = "{\"filler\":\"" + QByteArray(1000, 'x') + "\"}";
        const QByteArray body = text + QByteArray(size - text.size(), ' ');
        m_backend.setResponse(method, "users/me", 200, body);
        auto outcome = send(method, api("users/me"));
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 15000);
        if (accepted) {
            QVERIFY(!outcome->error);
            QCOMPARE((*outcome->json)["filler"].stringValue().size(), 1000);
            return;
        }
        QVERIFY(!outcome->json);
        QVERIFY(!outcome->status);
        QCOMPARE(outcome->error->code(), -1103);
        QCOMPARE(outcome->error->localizedDescription(),
                 QString("The server's answer is larger than 16 MiB; it was not read."));
    }

    void answerWithoutALengthIsCutAtSixteenMebibytes()
    {
        // No Content-Length to refuse up front: the body is counted as it arrives.
        const QByteArray body = "{\"filler\":\"" + QByteArray(24 * 1024 * 1024, 'x') + "\"}";
        LoopbackHttpServer api([&](const LoopbackHttpServer::Request&) {
            LoopbackHttpServer::Answer answer;
            answer.body = body;
            answer.sendLength = false;
            return answer;
        });
        QVERIFY(api.listen(QHostAddress::LocalHost, 0));
        auto outcome = send("GET", QString::fromLatin1(api.origin()) + "/api/users/me");
        QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 15000);
        QVERIFY(!outcome->json);
        QCOMPARE(outcome->error->code(), -1103);
    }
};

TANDREL_TEST_MAIN_CORE(ClientTest)
#include "tst_client.moc"

#include "Network/Client.h"

#include "Classes/Preferences.h"
#include "DemoBackend.h"
#include "Platform/Keychain.h"
#include "Platform/NotificationCenter.h"

#include "../Platform/CapturedOutput.h"
#include "support/TestMain.h"

#include <QTcpServer>

#include <memory>

using namespace tandrel;
using tandrel::demo::DemoBackend;
using tandrel::demo::Fault;
using tandrel::demo::RecordedRequest;
using tandrel::testing::CapturedOutput;

namespace {

struct Outcome {
  bool done = false;
  std::optional<Error> error;
  std::optional<JSON> json;
  std::optional<int> status;
};

// Completions that record what they got into a shared outcome.
GetCompletion recordInto(const std::shared_ptr<Outcome> &outcome) {
  return [outcome](std::optional<Error> error, std::optional<JSON> json) {
    outcome->error = std::move(error);
    outcome->json = std::move(json);
    outcome->done = true;
  };
}

PostCompletion recordPostInto(const std::shared_ptr<Outcome> &outcome) {
  return [outcome](std::optional<Error> error, std::optional<JSON> json,
                   std::optional<int> status) {
    outcome->error = std::move(error);
    outcome->json = std::move(json);
    outcome->status = status;
    outcome->done = true;
  };
}

// The exact header names a request carried (the log keeps their case).
QList<QByteArray> headerNames(const RecordedRequest &request) {
  QList<QByteArray> names;
  for (const auto &header : request.headers) {
    names << header.first;
  }
  return names;
}

// The boundary that a multipart Content-Type names.
QByteArray boundaryOf(const RecordedRequest &request) {
  const QByteArray contentType = request.header("Content-Type");
  const QByteArray marker = "boundary=";
  return contentType.mid(contentType.indexOf(marker) + marker.size());
}

// Field name to value, read back from a multipart body by its own boundary.
QMap<QString, QString> formFields(const RecordedRequest &request) {
  QMap<QString, QString> fields;
  const QByteArray delimiter = "--" + boundaryOf(request);
  qsizetype cursor = request.body.indexOf(delimiter + "\r\n");
  while (cursor >= 0) {
    const qsizetype headerStart = cursor + delimiter.size() + 2;
    const qsizetype next =
        request.body.indexOf("\r\n" + delimiter, headerStart);
    if (next < 0) {
      break;
    }
    const QByteArray part = request.body.mid(headerStart, next - headerStart);
    const qsizetype blank = part.indexOf("\r\n\r\n");
    const QByteArray disposition = part.left(blank);
    const qsizetype nameStart = disposition.indexOf("name=\"") + 6;
    const QByteArray name =
        disposition.mid(nameStart, disposition.size() - nameStart - 1);
    fields.insert(QString::fromUtf8(name),
                  QString::fromUtf8(part.mid(blank + 4)));
    cursor = request.body.mid(next + 2 + delimiter.size(), 2) == "--"
                 ? -1
                 : next + 2;
  }
  return fields;
}

quint16 deadPort() {
  QTcpServer probe;
  probe.listen(QHostAddress::LocalHost, 0);
  const quint16 port = probe.serverPort();
  probe.close();
  return port;
}

const QByteArray kApi = "/api/";

} // namespace

Q_DECLARE_METATYPE(std::function<void()>)
Q_DECLARE_METATYPE(std::optional<QString>)

class ClientTest : public QObject {
  Q_OBJECT
  using Fields = QMap<QString, QString>;

  DemoBackend m_backend;
  QTemporaryDir m_keychainFolder;
  std::vector<NotificationCenter::Token> m_observers;

  QString api(const QString &path) const { return m_backend.apiBase() + path; }

  RecordedRequest onlyRequestTo(const QByteArray &method, const QString &path) {
    const QList<RecordedRequest> requests = m_backend.requestsTo(method, path);
    if (requests.size() != 1) {
      qWarning() << "expected one" << method << path << "got"
                 << requests.size();
      return {};
    }
    return requests.first();
  }

  void observe(const QString &name, const std::function<void()> &action) {
    m_observers.push_back(NotificationCenter::defaultCenter().addObserver(
        name, nullptr, NotificationCenter::Delivery::postingThread,
        [action](const Notification &) { action(); }));
  }

private slots:
  void initTestCase() {
    QVERIFY2(m_backend.listen(0), qPrintable(m_backend.errorString()));
    Client::setServerPath(m_backend.apiBase());
    KeychainStore::setSystem(
        KeychainStore::makeFileStore(m_keychainFolder.filePath("keychain")));
  }

  void init() {
    m_backend.clearRequests();
    m_backend.clearFaults();
    Preferences::setToken(std::nullopt);
  }

  void cleanup() {
    for (const NotificationCenter::Token token : m_observers) {
      NotificationCenter::defaultCenter().removeObserver(token);
    }
    m_observers.clear();
  }

  void deviceFieldsDescribeThisMachine() {
    const Client &client = Client::shared();
    QCOMPARE(client.platform, QString("macSA"));
    QVERIFY2(
        QRegularExpression("^\\d+\\.\\d+\\.\\d+$").match(client.os).hasMatch(),
        qPrintable(client.os));
    QVERIFY(!client.appVersion.isEmpty());
    QVERIFY(!client.deviceName.isEmpty());
    QCOMPARE(Client::boundary.size(), 50);
  }

  void headersKeepTheirNamesAndAuthorizationRules_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<bool>("auth");
    QTest::addColumn<std::optional<QString>>("token");
    // Null: no header at all. The wire carries "Bearer " with its blank, but
    // HTTP drops trailing blanks of a field value, so the backend reads
    // "Bearer".
    QTest::addColumn<QByteArray>("expectedAuthorization");
    QTest::newRow("GET, no token")
        << QByteArray("GET") << true << std::optional<QString>()
        << QByteArray("Bearer");
    QTest::newRow("GET, token")
        << QByteArray("GET") << true << std::optional<QString>("t1")
        << QByteArray("Bearer t1");
    QTest::newRow("GET without auth")
        << QByteArray("GET") << false << std::optional<QString>("t1")
        << QByteArray();
    QTest::newRow("DELETE, no token")
        << QByteArray("DELETE") << true << std::optional<QString>()
        << QByteArray("Bearer");
    QTest::newRow("POST, no token") << QByteArray("POST") << true
                                    << std::optional<QString>() << QByteArray();
    QTest::newRow("POST, empty token")
        << QByteArray("POST") << true << std::optional<QString>("")
        << QByteArray("Bearer");
    QTest::newRow("POST, token")
        << QByteArray("POST") << true << std::optional<QString>("t2")
        << QByteArray("Bearer t2");
    QTest::newRow("POST without auth")
        << QByteArray("POST") << false << std::optional<QString>("t2")
        << QByteArray();
  }

  void headersKeepTheirNamesAndAuthorizationRules() {
    QFETCH(QByteArray, method);
    QFETCH(bool, auth);
    QFETCH(std::optional<QString>, token);
    QFETCH(QByteArray, expectedAuthorization);
    Preferences::setToken(token);
    const QString path = QStringLiteral("users/me");
    m_backend.setResponse(method, path, 200, "{}");

    auto outcome = std::make_shared<Outcome>();
    if (method == "POST") {
      Client::shared().post(api(path), {}, auth, recordPostInto(outcome));
    } else if (method == "DELETE") {
      Client::shared().delete_(api(path), auth, recordInto(outcome));
    } else {
      Client::shared().get(api(path), auth, recordInto(outcome));
    }
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
    QVERIFY(!outcome->error);

    const RecordedRequest request = onlyRequestTo(method, path);
    const QList<QByteArray> names = headerNames(request);
    QVERIFY(names.contains("Accept"));
    QCOMPARE(request.header("Accept"), QByteArray("application/json"));
    if (method == "POST") {
      QVERIFY2(names.contains("Cache-Control") &&
                   !names.contains("Cache-control"),
               names.join(", "));
      QCOMPARE(request.header("Content-Type"),
               "multipart/form-data; boundary=" + Client::boundary.toUtf8());
      QCOMPARE(request.header("Content-Type").size(), 80);
    } else {
      QVERIFY2(names.contains("Cache-control") &&
                   !names.contains("Cache-Control"),
               names.join(", "));
    }
    QCOMPARE(request.header("Cache-Control"), QByteArray("no-cache"));
    QCOMPARE(request.hasHeader("Authorization"),
             !expectedAuthorization.isNull());
    if (!expectedAuthorization.isNull()) {
      QVERIFY(names.contains("Authorization"));
      QCOMPARE(request.header("Authorization"), expectedAuthorization);
    }
  }

  void multipartBodyIsExact_data() {
    QTest::addColumn<FormParams>("params");
    QTest::addColumn<QList<QByteArray>>("acceptedBodies");
    const QByteArray open = "--" + Client::boundary.toUtf8() + "\r\n";
    const QByteArray close = "--" + Client::boundary.toUtf8() + "--\r\n";
    const QByteArray email = open + "Content-Disposition: form-data; "
                                    "name=\"email\"\r\n\r\nme@example.org\r\n";
    const QByteArray code =
        open + "Content-Disposition: form-data; name=\"code\"\r\n\r\nGIFT\r\n";
    QTest::newRow("two fields")
        << FormParams{{"email", "me@example.org"}, {"code", "GIFT"}}
        << QList<QByteArray>{email + code + close, code + email + close};
    QTest::newRow("no fields") << FormParams{} << QList<QByteArray>{close};
  }

  void multipartBodyIsExact() {
    QFETCH(FormParams, params);
    QFETCH(QList<QByteArray>, acceptedBodies);
    auto outcome = std::make_shared<Outcome>();
    Client::shared().post(api("codes/applyByEmail"), params, false,
                          recordPostInto(outcome));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
    const RecordedRequest request = onlyRequestTo("POST", "codes/applyByEmail");
    QVERIFY2(acceptedBodies.contains(request.body), request.body.constData());
  }

  void valueHoldingTheBoundaryCannotAddFields() {
    const QString smuggled =
        "pw\r\n--" + Client::boundary +
        "\r\nContent-Disposition: form-data; name=\"admin\"\r\n\r\n1";
    auto outcome = std::make_shared<Outcome>();
    Client::shared().post(
        api("auth/login/email"),
        {{"email", "me@example.org"}, {"email_password", smuggled}}, false,
        recordPostInto(outcome));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);

    const RecordedRequest request = onlyRequestTo("POST", "auth/login/email");
    const QByteArray boundary = boundaryOf(request);
    QVERIFY(boundary != Client::boundary.toUtf8());
    QCOMPARE(boundary.size(), Client::boundary.size());
    QVERIFY(!smuggled.toUtf8().contains(boundary));
    QVERIFY(request.body.endsWith("--" + boundary + "--\r\n"));
    const QMap<QString, QString> fields = formFields(request);
    QCOMPARE(fields.keys(), QStringList({"email", "email_password"}));
    QCOMPARE(fields.value("email_password"), smuggled);
  }

  void expiredSessionLogsOutBeforeTheCompletion_data() {
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("code");
    QTest::newRow("GET E0112") << QByteArray("GET") << QByteArray("E0112");
    QTest::newRow("GET E0113") << QByteArray("GET") << QByteArray("E0113");
    QTest::newRow("DELETE E0114")
        << QByteArray("DELETE") << QByteArray("E0114");
    QTest::newRow("POST E0115") << QByteArray("POST") << QByteArray("E0115");
  }

  void expiredSessionLogsOutBeforeTheCompletion() {
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, code);
    m_backend.setResponse(method, "users/me", 401,
                          R"({"code":")" + code + R"("})");
    auto events = std::make_shared<QStringList>();
    observe("logout", [events] { events->append("logout"); });
    observe("showSlotsPaymentAlert", [events] { events->append("alert"); });

    auto outcome = std::make_shared<Outcome>();
    auto completion = [events, outcome](std::optional<Error> error,
                                        std::optional<JSON> json) {
      events->append("completion");
      recordInto(outcome)(std::move(error), std::move(json));
    };
    if (method == "POST") {
      Client::shared().post(api("users/me"), {}, true,
                            [completion](std::optional<Error> e,
                                         std::optional<JSON> j,
                                         std::optional<int>) {
                              completion(std::move(e), std::move(j));
                            });
    } else if (method == "DELETE") {
      Client::shared().delete_(api("users/me"), true, completion);
    } else {
      Client::shared().get(api("users/me"), true, completion);
    }
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
    QCOMPARE(*events, QStringList({"logout", "completion"}));
    QVERIFY(!outcome->json);
    QCOMPARE(outcome->error->domain(), QString("ClientError"));
    QCOMPARE(outcome->error->code(), 401);
    QCOMPARE(outcome->error->localizedDescription(),
             QString("Session(JWT) expired or invalid."));
  }

  void noSlotLeftAlertsAfterTheCompletion() {
    m_backend.setResponse("POST", "auth/login/email", 200,
                          R"({"code":"E0161"})");
    auto events = std::make_shared<QStringList>();
    observe("showSlotsPaymentAlert", [events] { events->append("alert"); });
    observe("logout", [events] { events->append("logout"); });
    auto outcome = std::make_shared<Outcome>();
    Client::shared().post(
        api("auth/login/email"), {}, false,
        [events, outcome](std::optional<Error> e, std::optional<JSON> j,
                          std::optional<int> s) {
          events->append("completion");
          recordPostInto(outcome)(std::move(e), std::move(j), s);
        });
    QTRY_COMPARE_WITH_TIMEOUT(*events, QStringList({"completion", "alert"}),
                              5000);
    QCOMPARE(outcome->error->domain(), QString("ClientError"));
    QCOMPARE(outcome->error->code(), 401);
    QCOMPARE(outcome->error->localizedDescription(),
             QString("No slots available."));
    QCOMPARE(outcome->status, 200);
  }

  void otherAnswersPassAsSuccess_data() {
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::newRow("E0121") << 200 << QByteArray(R"({"code":"E0121"})");
    QTest::newRow("numeric code") << 200 << QByteArray(R"({"code":42})");
    QTest::newRow("code in lower case")
        << 200 << QByteArray(R"({"code":"e0113"})");
    QTest::newRow("array") << 200 << QByteArray(R"([{"code":"E0113"}])");
    QTest::newRow("500 with JSON")
        << 500 << QByteArray(R"({"message":"down"})");
    QTest::newRow("404 with JSON")
        << 404 << QByteArray(R"({"message":"no route"})");
  }

  void otherAnswersPassAsSuccess() {
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    auto logouts = std::make_shared<int>(0);
    observe("logout", [logouts] { ++*logouts; });
    m_backend.setResponse("GET", "users/me/plan", status, body);
    m_backend.setResponse("POST", "users/me/istrialpossible", status, body);

    auto got = std::make_shared<Outcome>();
    auto posted = std::make_shared<Outcome>();
    Client::shared().userCurrentPlan(recordInto(got));
    Client::shared().isTrialPossibleWithUid("u", recordPostInto(posted));
    QTRY_VERIFY_WITH_TIMEOUT(got->done && posted->done, 5000);
    QVERIFY(!got->error);
    QVERIFY(!posted->error);
    QCOMPARE(got->json->raw(), nlohmann::json::parse(body.toStdString()));
    QCOMPARE(posted->status, status);
    QCOMPARE(*logouts, 0);
  }

  void emptyBodiesFail() {
    m_backend.setResponse("DELETE", "devices/5", 200, "");
    m_backend.setResponse("POST", "auth/logout", 200, "");
    auto deleted = std::make_shared<Outcome>();
    auto posted = std::make_shared<Outcome>();
    CapturedOutput output;
    Client::shared().deleteDevice("5", recordInto(deleted));
    Client::shared().logout(recordPostInto(posted));
    QTRY_VERIFY_WITH_TIMEOUT(deleted->done && posted->done, 5000);

    QCOMPARE(deleted->error, Error("Unknown error", 0));
    QVERIFY(!deleted->json);
    QVERIFY(!posted->json);
    QCOMPARE(posted->status, 200);
    QVERIFY(posted->error.has_value());
    const QString parserMessage = posted->error->localizedDescription();
    QCOMPARE(output.lines(),
             QStringList({"JSON Parsing Error: " + parserMessage}));
  }

  void deadPortIsATransportError() {
    const QString dead =
        QStringLiteral("http://127.0.0.1:%1/api/").arg(deadPort());
    auto got = std::make_shared<Outcome>();
    auto posted = std::make_shared<Outcome>();
    CapturedOutput output;
    Client::shared().get(dead + "users/me", true, recordInto(got));
    QTRY_VERIFY_WITH_TIMEOUT(got->done, 5000);
    Client::shared().post(dead + "auth/logout", {}, true,
                          recordPostInto(posted));
    QTRY_VERIFY_WITH_TIMEOUT(posted->done, 5000);

    QVERIFY(got->error.has_value());
    QCOMPARE(got->error->domain(), QString("NSURLErrorDomain"));
    QCOMPARE(got->error->code(), -1004);
    QCOMPARE(got->error->localizedDescription(),
             QString("Could not connect to the server."));
    QCOMPARE(posted->error->domain(), got->error->domain());
    QCOMPARE(posted->error->code(), got->error->code());
    QVERIFY(!posted->status);
    QCOMPARE(output.lines(),
             QStringList({got->error->description(),
                          "Error: Could not connect to the server."}));
  }

  void silentServerTimesOutAfterTenSeconds() {
    Fault silence;
    silence.delayMs = 30000;
    silence.dropConnection = true;
    m_backend.setFault("GET", "users/me/regions", silence);
    auto outcome = std::make_shared<Outcome>();
    QElapsedTimer clock;
    clock.start();
    CapturedOutput output;
    Client::shared().userRegions(recordInto(outcome));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 15000);
    QVERIFY(clock.elapsed() >= 9000);
    QCOMPARE(outcome->error->domain(), QString("NSURLErrorDomain"));
    QCOMPARE(outcome->error->code(), -1001);
    QCOMPARE(outcome->error->localizedDescription(),
             QString("The request timed out."));
    QCOMPARE(output.lines(), QStringList({outcome->error->description()}));
  }

  void invalidAddressCompletesBeforeTheCallReturns() {
    auto got = std::make_shared<Outcome>();
    auto deleted = std::make_shared<Outcome>();
    auto posted = std::make_shared<Outcome>();
    Client::shared().get("http://exa mple/api/users/me", true, recordInto(got));
    Client::shared().delete_("", true, recordInto(deleted));
    Client::shared().post("http://example.org/%zz", {}, true,
                          recordPostInto(posted));
    QVERIFY(got->done && deleted->done && posted->done);
    QCOMPARE(got->error, Error("Invalid URL", 0));
    QCOMPARE(deleted->error, Error("Invalid URL", 0));
    QCOMPARE(posted->error, Error("Invalid URL", 0));
    QVERIFY(!posted->status);
    QVERIFY(m_backend.requests().isEmpty());
  }

  void idsStayOnePathSegment_data() {
    QTest::addColumn<QString>("id");
    QTest::addColumn<QByteArray>("target");
    QTest::newRow("decimal") << "17" << QByteArray("config/ipsec/17");
    QTest::newRow("climbing out")
        << "../../users/me/delete"
        << QByteArray("config/ipsec/..%2F..%2Fusers%2Fme%2Fdelete");
    QTest::newRow("query") << "5?all=1"
                           << QByteArray("config/ipsec/5%3Fall%3D1");
    QTest::newRow("fragment") << "5#x" << QByteArray("config/ipsec/5%23x");
    QTest::newRow("space") << "a b" << QByteArray("config/ipsec/a%20b");
  }

  void idsThatNameNoSegmentMakeNoAddress_data() {
    QTest::addColumn<QString>("id");
    QTest::newRow("empty") << "";
    QTest::newRow("dot") << ".";
    QTest::newRow("dot dot") << "..";
  }

  void idsThatNameNoSegmentMakeNoAddress() {
    QFETCH(QString, id);
    auto config = std::make_shared<Outcome>();
    auto deleted = std::make_shared<Outcome>();
    Client::shared().IPSecConfiguration(id, recordInto(config));
    Client::shared().deleteDevice(id, recordInto(deleted));
    QVERIFY(config->done && deleted->done);
    QCOMPARE(config->error, Error("Invalid URL", 0));
    QCOMPARE(deleted->error, Error("Invalid URL", 0));
    QVERIFY(m_backend.requests().isEmpty());
  }

  void idsStayOnePathSegment() {
    QFETCH(QString, id);
    QFETCH(QByteArray, target);
    auto outcome = std::make_shared<Outcome>();
    Client::shared().IPSecConfiguration(id, recordInto(outcome));
    QTRY_VERIFY_WITH_TIMEOUT(outcome->done, 5000);
    const QList<RecordedRequest> requests = m_backend.requests();
    QCOMPARE(requests.size(), 1);
    QCOMPARE(requests.first().pathAndQuery, kApi + target);
  }

  void everyOperationReachesItsRoute_data() {
    QTest::addColumn<std::function<void()>>("call");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("withToken");
    QTest::addColumn<QMap<QString, QString>>(
        "fields"); // POST only; device fields added where marked

    Client &c = Client::shared();
    const auto ignoreGet = [](std::optional<Error>, std::optional<JSON>) {};
    const auto ignorePost = [](std::optional<Error>, std::optional<JSON>,
                               std::optional<int>) {};
    const QMap<QString, QString> device = {{"platform", "macSA"},
                                           {"os", c.os},
                                           {"app_version", c.appVersion},
                                           {"device_name", c.deviceName}};
    auto with = [&device](QMap<QString, QString> fields) {
      fields.insert(device);
      return fields;
    };
    using Fields = QMap<QString, QString>;
    const QString uid = *Preferences::uid();

    QTest::newRow("1 signup") << std::function<void()>([&c, ignorePost] {
      c.signupWithUid("U", "P", ignorePost);
    }) << QByteArray("POST") << "auth/signup"
                              << false
                              << with({{"uid", "U"}, {"uid_password", "P"}});
    QTest::newRow("2 associateUser")
        << std::function<void()>([&c, ignorePost] {
             c.associateUserWithEmail("e@x", "P", "U", ignorePost);
           })
        << QByteArray("POST") << "auth/email" << false
        << with({{"email", "e@x"}, {"email_password", "P"}, {"uid", "U"}});
    QTest::newRow("3 login uid") << std::function<void()>([&c, ignorePost] {
      c.loginWithUid("U", "P", ignorePost);
    }) << QByteArray("POST") << "auth/login/uid"
                                 << false
                                 << with({{"uid", "U"}, {"uid_password", "P"}});
    QTest::newRow("4 login email")
        << std::function<void()>(
               [&c, ignorePost] { c.loginWithEmail("e@x", "P", ignorePost); })
        << QByteArray("POST") << "auth/login/email" << false
        << with({{"email", "e@x"}, {"email_password", "P"}, {"uid", uid}});
    const QList<std::tuple<const char *, void (Client::*)(GetCompletion),
                           QString, bool>>
        gets = {
            {"5 userInformation", &Client::userInformation, "users/me", true},
            {"6 userIp", &Client::userIp, "users/me/ip", true},
            {"7 userPlans", &Client::userPlans, "vpn/plans", true},
            {"8 userSlotPlans", &Client::userSlotPlans, "vpn/slots", true},
            {"9 userCurrentPlan", &Client::userCurrentPlan, "users/me/plan",
             true},
            {"10 userDelete", &Client::userDelete, "users/me/delete", true},
            {"11 userRegions", &Client::userRegions, "users/me/regions", true},
            {"12 userBestRegions", &Client::userBestRegions,
             "users/me/regions/best", false},
            {"22 getDevices", &Client::getDevices, "devices", true},
        };
    for (const auto &[name, operation, path, token] : gets) {
      QTest::newRow(name) << std::function<void()>(
                                 [&c, op = operation, ignoreGet] {
                                   (c.*op)(ignoreGet);
                                 })
                          << QByteArray("GET") << path << token << Fields();
    }
    QTest::newRow("13 IPSecConfiguration")
        << std::function<void()>(
               [&c, ignoreGet] { c.IPSecConfiguration("17", ignoreGet); })
        << QByteArray("GET") << "config/ipsec/17" << true << Fields();
    QTest::newRow("14 openVPNConfiguration")
        << std::function<void()>(
               [&c, ignoreGet] { c.openVPNConfiguration("18", ignoreGet); })
        << QByteArray("GET") << "config/openvpn/18" << true << Fields();
    QTest::newRow("15 codesApply") << std::function<void()>([&c, ignorePost] {
      c.codesApplyWithCode("C", "9", ignorePost);
    }) << QByteArray("POST") << "codes/apply"
                                   << false
                                   << Fields{{"code", "C"}, {"plan_id", "9"}};
    QTest::newRow("16 receiptValidate")
        << std::function<void()>([&c, ignorePost] {
             c.receiptValidateWithReceipt("R", false, ignorePost);
           })
        << QByteArray("POST") << "receipt-validator/itunes" << false
        << Fields{{"receipt", "R"}, {"is_subscription", "0"}};
    QTest::newRow("17 resetPassword")
        << std::function<void()>([&c, ignorePost] {
             c.resetPasswordWithEmail("e@x", ignorePost);
           })
        << QByteArray("POST") << "auth/reset-password" << false
        << Fields{{"email", "e@x"}};
    QTest::newRow("18 verify code") << std::function<void()>([&c, ignorePost] {
      c.resetPasswordWithEmailCode("e@x", "C", ignorePost);
    }) << QByteArray("POST") << "auth/verify-code"
                                    << false
                                    << Fields{{"email", "e@x"}, {"code", "C"}};
    QTest::newRow("19 update password")
        << std::function<void()>([&c, ignorePost] {
             c.resetPasswordWithEmailPassword("e@x", "N", ignorePost);
           })
        << QByteArray("POST") << "auth/update-password" << true
        << Fields{{"password", "N"}, {"password_confirmation", "N"}};
    QTest::newRow("20 redeemCodeByEmail")
        << std::function<void()>([&c, ignorePost] {
             c.redeemCodeByEmail("e@x", "C", ignorePost);
           })
        << QByteArray("POST") << "codes/applyByEmail" << false
        << Fields{{"email", "e@x"}, {"code", "C"}};
    QTest::newRow("21 isTrialPossible")
        << std::function<void()>(
               [&c, ignorePost] { c.isTrialPossibleWithUid("U", ignorePost); })
        << QByteArray("POST") << "users/me/istrialpossible" << true
        << Fields{{"uid", "U"}};
    QTest::newRow("23 deleteDevice") << std::function<void()>([&c, ignoreGet] {
      c.deleteDevice("31", ignoreGet);
    }) << QByteArray("DELETE") << "devices/31"
                                     << true << Fields();
    QTest::newRow("24 logout")
        << std::function<void()>([&c, ignorePost] { c.logout(ignorePost); })
        << QByteArray("POST") << "auth/logout" << true << Fields();
  }

  void everyOperationReachesItsRoute() {
    QFETCH(std::function<void()>, call);
    QFETCH(QByteArray, method);
    QFETCH(QString, path);
    QFETCH(bool, withToken);
    QFETCH(Fields, fields);
    Preferences::setToken("route-token");
    call();
    QTRY_COMPARE_WITH_TIMEOUT(m_backend.requestsTo(method, path).size(), 1,
                              5000);
    const RecordedRequest request = m_backend.requestsTo(method, path).first();
    QCOMPARE(request.header("Authorization"),
             withToken ? QByteArray("Bearer route-token") : QByteArray());
    if (method == "POST") {
      QCOMPARE(formFields(request), fields);
    }
  }
};

TANDREL_TEST_MAIN_CORE(ClientTest)
#include "tst_client.moc"

#include "Controllers/LoginController.h"
#include "Controllers/TandrelController.h"
#include "ServiceTesting.h"
#include "support/TestMain.h"

using namespace tandrel;
using demo::DemoBackend;
using testing::ServiceEnvironment;

Q_DECLARE_METATYPE(tandrel::Status)

class TestLoginController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;

private slots:
    void init() { env = std::make_unique<ServiceEnvironment>(); }
    void cleanup() { env.reset(); }

    void acceptsAddressesByTheWholePattern_data()
    {
        QTest::addColumn<QString>("address");
        QTest::addColumn<bool>("valid");
        const auto row = [](const char* name, const char* address, bool valid) {
            QTest::newRow(name) << QString::fromUtf8(address) << valid;
        };
        row("plain", "user@example.com", true);
        row("capitals at label starts", "John.Doe@Example.Com", true);
        row("two-letter label in capitals", "user@AB.example.com", true);
        row("capitals in the last label", "user@example.COM", true);
        row("inner capitals before the last dot", "user@EXAMPLE.com", false);
        row("domain without a dot", "user@localhost", false);
        row("bracketed IPv4", "user@[192.168.0.1]", true);
        row("quoted local part", "\"john\"@example.com", true);
        row("quoted local part with a space", "\"john doe\"@example.com", false);
        row("trailing space", "user@example.com ", false);
        row("empty", "", false);
    }

    void acceptsAddressesByTheWholePattern()
    {
        QFETCH(QString, address);
        QFETCH(bool, valid);
        LoginController controller;
        QCOMPARE(controller.isValidEmailAddr(address), valid);
    }

    // Each row is checked before any request; a row that passes every check is sent.
    void checksInputInOrderBeforeSending_data()
    {
        QTest::addColumn<bool>("signUp");
        QTest::addColumn<QString>("email");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("repeat");
        QTest::addColumn<QString>("failure");  // empty: sent

        const auto row = [](const char* name, bool signUp, const char* email, const char* password, const char* repeat,
                            const char* failure) {
            QTest::newRow(name) << signUp << QString::fromUtf8(email) << QString::fromUtf8(password)
                                << QString::fromUtf8(repeat) << QString::fromUtf8(failure);
        };
        const char* email = "new@example.com";
        row("bad e-mail wins over short password", false, "nope", "123", "", "Please enter valid email");
        row("five characters", false, email, "12345", "", "Password should be 6 chars at least");
        row("six emoji", false, email, "😀😀😀😀😀😀", "", "");
        row("six accented letters, decomposed", false, email, "e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301", "", "");
        row("five family emoji", false, email,
            "👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧", "",
            "Password should be 6 chars at least");
        row("sign-up: length wins over mismatch", true, email, "12345", "54321", "Password should be 6 chars at least");
        row("sign-up: mismatch", true, email, "123456", "1234567", "Passwords are not the same");
        row("sign-up: canonically equal repeat", true, email, "\u00e9t\u00e9-2026", "e\u0301te\u0301-2026", "");
    }

    void checksInputInOrderBeforeSending()
    {
        QFETCH(bool, signUp);
        QFETCH(QString, email);
        QFETCH(QString, password);
        QFETCH(QString, repeat);
        QFETCH(QString, failure);

        LoginController controller;
        const QString path = signUp ? QStringLiteral("auth/email") : QStringLiteral("auth/login/email");
        signUp ? controller.signupPressed(email, password, repeat) : controller.loginPressed(email, password);
        if (failure.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("POST", path), 1, 5000);
            QTRY_VERIFY_WITH_TIMEOUT(controller.loginResult() != Status::none, 5000);
        } else {
            QCOMPARE(controller.loginErrorMsg(), failure);
            QVERIFY(controller.loginError());
            QCOMPARE(controller.loginResult(), signUp ? Status::signUpFalse : Status::logInFalse);
            QCOMPARE(env->requestCount("POST", path), 0);
        }
    }

    void recordsEveryFailureTextFirstThenFlagThenResult()
    {
        LoginController controller;
        QStringList events;
        auto texts = controller.loginErrorMsg.sink([&](const QString& text) { events << "text:" + text; });
        auto flags = controller.loginError.sink([&](bool flag) { events << QStringLiteral("flag:%1").arg(flag); });
        auto results = controller.loginResult.sink(
            [&](Status status) { events << QStringLiteral("result:%1").arg(static_cast<int>(status)); });
        events.clear();

        controller.loginPressed(QStringLiteral("nope"), QStringLiteral("123456"));
        controller.loginPressed(QStringLiteral("nope"), QStringLiteral("123456"));
        const QString failed = QString::number(static_cast<int>(Status::logInFalse));
        QCOMPARE(events, QStringList({"text:Please enter valid email", "flag:1", "result:" + failed,
                                      "text:Please enter valid email", "flag:1", "result:" + failed}));
    }

    // Only an answer that carries a token logs in; every other one leaves the stored items
    // as they were and says what happened.
    void answersDecideTheOutcome_data()
    {
        QTest::addColumn<int>("status");        // 0: the backend's own answer
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("failure");  // empty: accepted
        const auto row = [](const char* name, int status, const QByteArray& answer, const QString& password,
                            const QString& failure) {
            QTest::newRow(name) << status << answer << password << failure;
        };
        const QString noToken = LoginController::noTokenMessage;
        row("accepted", 0, {}, DemoBackend::demoPassword, {});
        row("wrong password", 0, {}, QStringLiteral("wrong-password"), "The password is incorrect.");
        row("errors null, message text", 200, R"({"errors":null,"message":"Locked out"})", "123456", "Locked out");
        row("errors empty, message number", 200, R"({"errors":[],"message":5})", "123456", "Unknown Error");
        row("422 refusal", 422, R"({"errors":{"email":["no"]},"message":"Locked out"})", "123456", "Locked out");
        row("long refusal message", 422, "{\"errors\":{},\"message\":\"" + QByteArray(3000, 'm') + "\"}", "123456",
            QString(1023, 'm') + QChar(0x2026));
        row("empty object", 200, "{}", "123456", noToken);
        row("list", 200, "[1]", "123456", noToken);
        row("number for token", 200, R"({"access_token":12345})", "123456", noToken);
        row("blank token", 200, R"({"access_token":" "})", "123456", noToken);
        row("token over 8 KiB", 200, "{\"access_token\":\"" + QByteArray(8193, 't') + "\"}", "123456", noToken);
        row("500 with a token", 500, R"({"access_token":"t"})", "123456",
            "The server answered with an error (HTTP 500).");
        row("cut inside the token", 200, "{\"access_token\":\"eyJ", "123456",
            "The data couldn’t be read because it isn’t in the correct format (at byte 20: syntax error while "
            "parsing value - invalid string: missing closing quote).");
    }

    void answersDecideTheOutcome()
    {
        QFETCH(int, status);
        QFETCH(QByteArray, answer);
        QFETCH(QString, password);
        QFETCH(QString, failure);
        if (status != 0) {
            env->backend.setResponse("POST", QStringLiteral("auth/login/email"), status, answer);
        }
        Preferences::setEmail(QStringLiteral("before@example.org"));
        Preferences::setPassword(QStringLiteral("before-password"));
        LoginController controller;
        controller.loginPressed(DemoBackend::demoEmail, password);
        QTRY_VERIFY_WITH_TIMEOUT(controller.loginResult() != Status::none, 5000);
        QCOMPARE(controller.loginResult(), failure.isEmpty() ? Status::logInTrue : Status::logInFalse);
        QCOMPARE(controller.loginError(), !failure.isEmpty());
        if (!failure.isEmpty()) {
            QCOMPARE(controller.loginErrorMsg(), failure);
            QCOMPARE(Preferences::token(), std::nullopt);
            QCOMPARE(Preferences::email(), QStringLiteral("before@example.org"));
            QCOMPARE(Preferences::password(), QStringLiteral("before-password"));
            return;
        }
        QCOMPARE(controller.loginErrorMsg(), QStringLiteral("NotLoggedIn"));
        QVERIFY(!Preferences::token().value_or(QString()).isEmpty());
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
        QCOMPARE(Preferences::password(), password);
    }

    void acceptedLogInIsStoredAfterTheScreenHasGone()
    {
        auto controller = std::make_unique<LoginController>();
        controller->loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        controller.reset();
        QTRY_VERIFY_WITH_TIMEOUT(Preferences::token().has_value(), 5000);
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
    }

    // First log-in slow, a second answered at once, then a log-out: the first answer comes
    // for nobody and stores nothing. One attempt runs at a time per screen.
    void lateAnswerOfAnAbandonedLogInIsDropped()
    {
        const QString path = QStringLiteral("auth/login/email");
        const QString other = QStringLiteral("second@example.com");
        env->backend.addAccount(other, QStringLiteral("second-pass"));
        demo::Fault slow;
        slow.delayMs = 1500;
        slow.times = 1;
        env->backend.setFault("POST", path, slow);

        LoginController first;
        first.loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        QVERIFY(first.requestPending());
        first.loginPressed(other, QStringLiteral("second-pass"));  // the button is off meanwhile
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("POST", path), 1, 5000);

        LoginController second;
        second.loginPressed(other, QStringLiteral("second-pass"));
        QTRY_COMPARE_WITH_TIMEOUT(second.loginResult(), Status::logInTrue, 5000);
        QCOMPARE(Preferences::email(), other);
        TandrelController().logout();
        QCOMPARE(Preferences::email(), std::nullopt);

        QTRY_VERIFY_WITH_TIMEOUT(!first.requestPending(), 5000);
        QCOMPARE(env->requestCount("POST", path), 2);
        QCOMPARE(Preferences::token(), std::nullopt);
        QCOMPARE(Preferences::email(), std::nullopt);
        QVERIFY(first.loginResult() != Status::logInTrue);
    }
};

TANDREL_TEST_MAIN_CORE(TestLoginController)
#include "tst_logincontroller.moc"

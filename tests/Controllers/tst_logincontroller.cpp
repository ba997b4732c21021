#include "Controllers/LoginController.h"
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
        QTest::newRow("plain") << "user@example.com" << true;
        QTest::newRow("capitals at label starts") << "John.Doe@Example.Com" << true;
        QTest::newRow("two-letter label in capitals") << "user@AB.example.com" << true;
        QTest::newRow("capitals in the last label") << "user@example.COM" << true;
        QTest::newRow("inner capitals before the last dot") << "user@EXAMPLE.com" << false;
        QTest::newRow("domain without a dot") << "user@localhost" << false;
        QTest::newRow("bracketed IPv4") << "user@[192.168.0.1]" << true;
        QTest::newRow("quoted local part") << "\"john\"@example.com" << true;
        QTest::newRow("quoted local part with a space") << "\"john doe\"@example.com" << false;
        QTest::newRow("leading space") << " user@example.com" << false;
        QTest::newRow("trailing space") << "user@example.com " << false;
        QTest::newRow("no at sign") << "user.example.com" << false;
        QTest::newRow("empty") << "" << false;
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

        const QString email = QStringLiteral("new@example.com");
        QTest::newRow("bad e-mail wins over short password") << false << "nope"
                                                             << "123"
                                                             << ""
                                                             << "Please enter valid email";
        QTest::newRow("five characters") << false << email << "12345"
                                         << ""
                                         << "Password should be 6 chars at least";
        QTest::newRow("six characters") << false << email << "123456"
                                        << ""
                                        << "";
        QTest::newRow("six emoji") << false << email << QStringLiteral("😀😀😀😀😀😀") << ""
                                   << "";
        QTest::newRow("six accented letters, decomposed")
            << false << email << QStringLiteral("e\u0301e\u0301e\u0301e\u0301e\u0301e\u0301") << ""
            << "";
        QTest::newRow("five family emoji")
            << false << email
            << QStringLiteral(
                   "👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧👨‍👩‍👧")
            << ""
            << "Password should be 6 chars at least";
        QTest::newRow("sign-up: length wins over mismatch") << true << email << "12345"
                                                            << "54321"
                                                            << "Password should be 6 chars at least";
        QTest::newRow("sign-up: mismatch") << true << email << "123456"
                                           << "1234567"
                                           << "Passwords are not the same";
        QTest::newRow("sign-up: canonically equal repeat")
            << true << email << QStringLiteral("\u00e9t\u00e9-2026") << QStringLiteral("e\u0301te\u0301-2026") << "";
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

    void answersDecideTheOutcome_data()
    {
        QTest::addColumn<QByteArray>("answer");  // empty: the backend's own answer
        QTest::addColumn<QString>("password");
        QTest::addColumn<Status>("result");
        QTest::addColumn<QString>("message");  // on failure
        QTest::addColumn<QString>("token");    // on success; "*" any non-empty

        QTest::newRow("accepted") << QByteArray() << DemoBackend::demoPassword << Status::logInTrue << ""
                                  << "*";
        QTest::newRow("wrong password") << QByteArray() << "wrong-password" << Status::logInFalse
                                        << "The password is incorrect."
                                        << "";
        QTest::newRow("errors null, message text")
            << QByteArray(R"({"errors":null,"message":"Locked out"})") << "123456" << Status::logInFalse << "Locked out"
            << "";
        QTest::newRow("errors empty, message number")
            << QByteArray(R"({"errors":[],"message":5})") << "123456" << Status::logInFalse << "Unknown Error"
            << "";
        QTest::newRow("empty object") << QByteArray("{}") << "123456" << Status::logInTrue << ""
                                      << "";
        QTest::newRow("list") << QByteArray("[1]") << "123456" << Status::logInTrue << ""
                              << "";
    }

    void answersDecideTheOutcome()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QString, password);
        QFETCH(Status, result);
        QFETCH(QString, message);
        QFETCH(QString, token);
        if (!answer.isEmpty()) {
            env->backend.setResponse("POST", QStringLiteral("auth/login/email"), 200, answer);
        }
        LoginController controller;
        controller.loginPressed(DemoBackend::demoEmail, password);
        QTRY_COMPARE_WITH_TIMEOUT(controller.loginResult(), result, 5000);
        if (result == Status::logInFalse) {
            QCOMPARE(controller.loginErrorMsg(), message);
            QVERIFY(controller.loginError());
            QCOMPARE(Preferences::token(), std::nullopt);
            return;
        }
        QCOMPARE(controller.loginErrorMsg(), QStringLiteral("NotLoggedIn"));
        QVERIFY(!controller.loginError());
        QVERIFY(Preferences::token().has_value());
        QCOMPARE(token == "*" ? !Preferences::token()->isEmpty() : Preferences::token()->isEmpty(), true);
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
        QCOMPARE(Preferences::password(), password);
    }

    void transportFailureReportsTheErrorText()
    {
        demo::Fault drop;
        drop.dropConnection = true;
        env->backend.setFault("POST", QStringLiteral("auth/login/email"), drop);
        LoginController controller;
        controller.loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(controller.loginResult(), Status::logInFalse, 15000);
        QVERIFY(!controller.loginErrorMsg().isEmpty());
        QVERIFY(controller.loginErrorMsg() != QStringLiteral("NotLoggedIn"));
    }

    void signUpStoresTheNewAccountsCredentials()
    {
        LoginController controller;
        const QString email = QStringLiteral("fresh@example.com");
        controller.signupPressed(email, QStringLiteral("s3cret-pass"), QStringLiteral("s3cret-pass"));
        QTRY_COMPARE_WITH_TIMEOUT(controller.loginResult(), Status::signUpTrue, 5000);
        QVERIFY(env->backend.hasAccount(email));
        QVERIFY(!Preferences::token().value_or(QString()).isEmpty());
        QCOMPARE(Preferences::email(), email);
        QCOMPARE(Preferences::password(), QStringLiteral("s3cret-pass"));
    }

    void successAfterFailureKeepsTheFailureText()
    {
        LoginController controller;
        controller.loginPressed(DemoBackend::demoEmail, QStringLiteral("wrong-password"));
        QTRY_COMPARE_WITH_TIMEOUT(controller.loginResult(), Status::logInFalse, 5000);
        controller.loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        QTRY_COMPARE_WITH_TIMEOUT(controller.loginResult(), Status::logInTrue, 5000);
        QCOMPARE(controller.loginErrorMsg(), QStringLiteral("The password is incorrect."));
        QVERIFY(controller.loginError());
    }

    void acceptedLogInIsStoredAfterTheScreenHasGone()
    {
        auto controller = std::make_unique<LoginController>();
        controller->loginPressed(DemoBackend::demoEmail, DemoBackend::demoPassword);
        controller.reset();
        QTRY_VERIFY_WITH_TIMEOUT(Preferences::token().has_value(), 5000);
        QCOMPARE(Preferences::email(), DemoBackend::demoEmail);
    }
};

TANDREL_TEST_MAIN_CORE(TestLoginController)
#include "tst_logincontroller.moc"

#include "Platform/Error.h"
#include "Platform/Keychain.h"
#include "support/TestMain.h"

using namespace tandrel;

Q_DECLARE_METATYPE(tandrel::Error)

class ErrorTest : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void textForms_data()
    {
        QTest::addColumn<Error>("error");
        QTest::addColumn<QString>("localized");
        QTest::addColumn<QString>("description");
        QTest::newRow("no user information")
            << Error(QStringLiteral("No data received"), 0)
            << QStringLiteral("The operation couldn’t be completed. (No data received error 0.)")
            << QStringLiteral(
                   "Error Domain=No data received Code=0 \"The operation couldn’t be completed. (No data received "
                   "error 0.)\"");
        QTest::newRow("keychain status")
            << keychainError(-25300)
            << QStringLiteral("The operation couldn’t be completed. (NSOSStatusErrorDomain error -25300.)")
            << QStringLiteral(
                   "Error Domain=NSOSStatusErrorDomain Code=-25300 \"The operation couldn’t be completed. "
                   "(NSOSStatusErrorDomain error -25300.)\"");
        QTest::newRow("localized description")
            << Error::withDescription(QStringLiteral("ClientError"), 401, QStringLiteral("Session expired"))
            << QStringLiteral("Session expired")
            << QStringLiteral(
                   "Error Domain=ClientError Code=401 \"Session expired\" UserInfo={NSLocalizedDescription=Session "
                   "expired}");
        QTest::newRow("further user information")
            << Error(QStringLiteral("D"), -1,
                     {{QStringLiteral("reason"), 5}, {Error::localizedDescriptionKey, QStringLiteral("Bad")}})
            << QStringLiteral("Bad")
            << QStringLiteral("Error Domain=D Code=-1 \"Bad\" UserInfo={NSLocalizedDescription=Bad, reason=5}");
        // Texts from outside (a backend message, a domain) may hold what looks like a
        // placeholder; it must come out as it went in.
        QTest::newRow("placeholder-like domain")
            << Error(QStringLiteral("Odd %1 %2"), 7)
            << QStringLiteral("The operation couldn’t be completed. (Odd %1 %2 error 7.)")
            << QStringLiteral(
                   "Error Domain=Odd %1 %2 Code=7 \"The operation couldn’t be completed. (Odd %1 %2 error 7.)\"");
        QTest::newRow("placeholder-like description")
            << Error::withDescription(QStringLiteral("Unknown error"), 3, QStringLiteral("100%1 sure %3"))
            << QStringLiteral("100%1 sure %3")
            << QStringLiteral(
                   "Error Domain=Unknown error Code=3 \"100%1 sure %3\" UserInfo={NSLocalizedDescription=100%1 sure "
                   "%3}");
    }
    void textForms()
    {
        QFETCH(Error, error);
        QFETCH(QString, localized);
        QFETCH(QString, description);
        QCOMPARE(error.localizedDescription(), localized);
        QCOMPARE(error.description(), description);
    }
};

TANDREL_TEST_MAIN_CORE(ErrorTest)
#include "tst_error.moc"

#include "Extensions/Date.h"
#include "Extensions/Double.h"
#include "Extensions/UserDefaultsKey.h"
#include "Models/ServerResponse.h"

#include "support/TestMain.h"

#include <ctime>

using namespace tandrel;

static_assert(ResponseObjectSerializable<ServerResponse>);

class ExtensionsTest : public QObject {
    Q_OBJECT

    static QDateTime local(const QString& text) { return QDateTime::fromString(text, Qt::ISODate).toLocalTime(); }

private slots:
    void initTestCase()
    {
        // A zone with daylight saving, so the day count meets a 23- and a 25-hour day.
        qputenv("TZ", "Europe/Berlin");
        tzset();
    }

    void roundingIsBinaryWithHalvesAwayFromZero_data()
    {
        QTest::addColumn<double>("value");
        QTest::addColumn<int>("places");
        QTest::addColumn<double>("expected");
        QTest::newRow("0.125 to 2") << 0.125 << 2 << 0.13;
        QTest::newRow("-2.5 to 0") << -2.5 << 0 << -3.0;
        QTest::newRow("1.005 to 2 stays below the half") << 1.005 << 2 << 1.0;
        QTest::newRow("1234.5678 to -2") << 1234.5678 << -2 << 1200.0;
        QTest::newRow("-0.125 to 2") << -0.125 << 2 << -0.13;
    }

    void roundingIsBinaryWithHalvesAwayFromZero()
    {
        QFETCH(double, value);
        QFETCH(int, places);
        QFETCH(double, expected);
        QCOMPARE(rounded(value, places), expected);
    }

    void daysBetweenCountsCalendarDaysInTheUsersZone_data()
    {
        QTest::addColumn<QDateTime>("start");
        QTest::addColumn<QDateTime>("end");
        QTest::addColumn<qint64>("days");
        const QDateTime lateEvening = QDateTime(QDate(2026, 5, 4), QTime(23, 59));
        const QDateTime earlyMorning = QDateTime(QDate(2026, 5, 5), QTime(0, 1));
        QTest::newRow("23:59 to 00:01 next day") << lateEvening << earlyMorning << qint64(1);
        QTest::newRow("the same pair backwards") << earlyMorning << lateEvening << qint64(-1);
        QTest::newRow("same day") << QDateTime(QDate(2026, 5, 4), QTime(0, 0)) << lateEvening << qint64(0);
        QTest::newRow("across the short spring day")
            << QDateTime(QDate(2026, 3, 28), QTime(12, 0)) << QDateTime(QDate(2026, 3, 30), QTime(12, 0)) << qint64(2);
        QTest::newRow("within the long autumn day") << QDateTime(QDate(2026, 10, 25), QTime(0, 30))
                                                    << QDateTime(QDate(2026, 10, 25), QTime(23, 30)) << qint64(0);
        // 21:00 and 22:30 UTC fall on two different days in Berlin.
        QTest::newRow("UTC moments on two local days")
            << local("2026-06-01T21:00:00Z") << local("2026-06-01T22:30:00Z") << qint64(1);
    }

    void daysBetweenCountsCalendarDaysInTheUsersZone()
    {
        QFETCH(QDateTime, start);
        QFETCH(QDateTime, end);
        QFETCH(qint64, days);
        QCOMPARE(Date::daysBetween(start, end), days);
        QCOMPARE(Date(start).daysBetween(end), days);
    }

    void userDefaultsKeysMatchTheirRawValuesExactly()
    {
        QCOMPARE(userDefaultsKeyFromRawValue("reviewWorthyActionCount"), UserDefaultsKey::reviewWorthyActionCount);
        QCOMPARE(userDefaultsKeyFromRawValue("lastReviewRequestAppVersion"),
                 UserDefaultsKey::lastReviewRequestAppVersion);
        QVERIFY(!userDefaultsKeyFromRawValue("ReviewWorthyActionCount").has_value());
        QVERIFY(!userDefaultsKeyFromRawValue("").has_value());
    }

    void typedAccessorsReadAndWriteUnderTheRawValue()
    {
        UserDefaults defaults(QDir(tandrel::testing::isolatedHome().path()).filePath("keyed.conf"));
        QCOMPARE(integer(defaults, UserDefaultsKey::reviewWorthyActionCount), qint64(0));
        QVERIFY(!string(defaults, UserDefaultsKey::lastReviewRequestAppVersion).has_value());

        set(defaults, qint64(3), UserDefaultsKey::reviewWorthyActionCount);
        set(defaults, std::optional<QVariant>(QString("1.0.0")), UserDefaultsKey::lastReviewRequestAppVersion);
        QCOMPARE(defaults.integer("reviewWorthyActionCount"), qint64(3));
        QCOMPARE(string(defaults, UserDefaultsKey::lastReviewRequestAppVersion), QString("1.0.0"));

        set(defaults, std::nullopt, UserDefaultsKey::lastReviewRequestAppVersion);
        QVERIFY(!defaults.object("lastReviewRequestAppVersion").has_value());
    }

    void serverResponseNeedsBothTexts_data()
    {
        QTest::addColumn<QVariant>("representation");
        QTest::addColumn<bool>("made");
        QTest::newRow("both") << QVariant(QVariantMap{{"short_name", "de"}, {"continent", "Europe"}}) << true;
        QTest::newRow("no continent") << QVariant(QVariantMap{{"short_name", "de"}}) << false;
        QTest::newRow("continent not text") << QVariant(QVariantMap{{"short_name", "de"}, {"continent", 4}}) << false;
        QTest::newRow("not a map") << QVariant(QVariantList{"de", "Europe"}) << false;
    }

    void serverResponseNeedsBothTexts()
    {
        QFETCH(QVariant, representation);
        QFETCH(bool, made);
        const std::optional<ServerResponse> response = ServerResponse::make(HTTPURLResponse{}, representation);
        QCOMPARE(response.has_value(), made);
        if (made) {
            QCOMPARE(response->shortName, QString("de"));
            QCOMPARE(response->continent, QString("Europe"));
        }
    }
};

TANDREL_TEST_MAIN_CORE(ExtensionsTest)
#include "tst_extensions.moc"

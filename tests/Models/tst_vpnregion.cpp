#include "Models/OptimalRegion.h"
#include "Models/RegionSamples.h"
#include "Models/VPNRegion.h"
#include "support/TestMain.h"

#include <nlohmann/json.hpp>

using namespace tandrel;
using nlohmann::json;
using testing::regionJson;

class TestVPNRegion : public QObject {
    Q_OBJECT
private slots:
    void decodesOnlyValuesOfTheirJSONType_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");  // JSON text; empty removes the key
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("errorMentions");
        QTest::newRow("integral float id") << QByteArray("id") << QByteArray("7.0") << true << QString();
        QTest::newRow("fractional id") << QByteArray("id") << QByteArray("1.5") << false << "does not fit in Int64";
        QTest::newRow("id past 64 bits") << QByteArray("id") << QByteArray("9223372036854775808") << false
                                         << "does not fit in Int64";
        QTest::newRow("id as text") << QByteArray("id") << QByteArray("\"7\"") << false << "found a string";
        QTest::newRow("flag as number") << QByteArray("is_free") << QByteArray("1") << false << "Bool";
        QTest::newRow("null text") << QByteArray("city") << QByteArray("null") << false << "found null";
        QTest::newRow("missing is_nearest")
            << QByteArray("is_nearest") << QByteArray() << false << "No value associated with key \"is_nearest\"";
        QTest::newRow("location without longitude")
            << QByteArray("location") << QByteArray(R"({"latitude": 1})") << false << "\"longitude\"";
        QTest::newRow("coordinate beyond float")
            << QByteArray("location") << QByteArray(R"({"latitude": 1e39, "longitude": 0})") << false << "Float";
        QTest::newRow("missing distance") << QByteArray("distance") << QByteArray() << true << QString();
        QTest::newRow("null distance") << QByteArray("distance") << QByteArray("null") << true << QString();
    }

    void decodesOnlyValuesOfTheirJSONType()
    {
        QFETCH(QByteArray, key);
        QFETCH(QByteArray, value);
        QFETCH(bool, decodes);
        QFETCH(QString, errorMentions);

        json bad = regionJson(2, "Austria", true, 100, 50);
        if (value.isEmpty()) {
            bad.erase(key.toStdString());
        } else {
            bad[key.toStdString()] = json::parse(value.toStdString());
        }
        // The bad element is the second: one element fails the whole answer.
        const Result<std::vector<VPNRegion>> result =
            VPNRegion::decodeArray(json::array({regionJson(1, "Germany", true, 300, 10), bad}));
        QCOMPARE(result.ok(), decodes);
        if (!decodes) {
            QVERIFY2(result.error().description().contains(errorMentions), qPrintable(result.error().description()));
            QVERIFY2(result.error().description().contains(QStringLiteral("[1]")), "names the element");
        } else if (key == "distance") {
            QCOMPARE(result.value()[1].distance, std::nullopt);
        }
    }

    void rejectsAnAnswerThatIsNotAnArrayOfObjects_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::newRow("object") << QByteArray(R"({"regions": []})");
        QTest::newRow("array of texts") << QByteArray(R"(["Germany"])");
        QTest::newRow("array with null") << QByteArray("[null]");
        QTest::newRow("not JSON") << QByteArray("[{");
    }

    void rejectsAnAnswerThatIsNotAnArrayOfObjects()
    {
        QFETCH(QByteArray, answer);
        const Result<std::vector<VPNRegion>> result = VPNRegion::decodeArray(answer);
        QVERIFY(!result.ok());
        QCOMPARE(result.error().domain(), QStringLiteral("DecodingError"));
    }

    void sortsByScalarOrderAfterNormalisation_data()
    {
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<QStringList>("sorted");
        QTest::newRow("case-sensitive, not locale-aware")
            << QStringList{QStringLiteral("Åland"), QStringLiteral("albania"), QStringLiteral("Zambia")}
            << QStringList{QStringLiteral("Zambia"), QStringLiteral("albania"), QStringLiteral("Åland")};
        // U+FF21 sorts before U+1F600 by scalar value, after it by UTF-16 code unit.
        QTest::newRow("above U+FFFF") << QStringList{QStringLiteral("\U0001F600"), QStringLiteral("\uFF21")}
                                      << QStringList{QStringLiteral("\uFF21"), QStringLiteral("\U0001F600")};
        // Å written as A + combining ring equals the precomposed Å, so order is kept.
        QTest::newRow("canonically equal names keep their order")
            << QStringList{QStringLiteral("A\u030Aland"), QStringLiteral("B"), QStringLiteral("\u00C5land")}
            << QStringList{QStringLiteral("B"), QStringLiteral("A\u030Aland"), QStringLiteral("\u00C5land")};
    }

    void sortsByScalarOrderAfterNormalisation()
    {
        QFETCH(QStringList, names);
        QFETCH(QStringList, sorted);
        std::vector<VPNRegion> regions;
        for (const QString& name : names) {
            regions.push_back(VPNRegion{});
            regions.back().country_name = name;
        }
        OptimalRegion::sortByCountryName(regions);
        QStringList result;
        for (const VPNRegion& region : regions) {
            result << region.country_name;
        }
        QCOMPARE(result, sorted);
    }
};

TANDREL_TEST_MAIN_CORE(TestVPNRegion)
#include "tst_vpnregion.moc"

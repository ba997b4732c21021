#include "Models/OptimalRegion.h"
#include "Models/RegionSamples.h"
#include "Models/VPNRegion.h"
#include "support/TestMain.h"

#include <nlohmann/json.hpp>

using namespace tandrel;
using nlohmann::json;
using testing::regionJson;

namespace {
std::vector<VPNRegion> decoded(const json& answer)
{
    Result<std::vector<VPNRegion>> result = VPNRegion::decodeArray(answer);
    if (!result) {
        qWarning("%s", qPrintable(result.error().description()));
        return {};
    }
    return result.value();
}

QStringList countryNames(const std::vector<VPNRegion>& regions)
{
    QStringList names;
    for (const VPNRegion& region : regions) {
        names << region.country_name;
    }
    return names;
}
}  // namespace

class TestVPNRegion : public QObject {
    Q_OBJECT
private slots:
    void decodesEveryFieldAndIgnoresUnknownKeys()
    {
        json element = regionJson(42, "Germany", true, 300, 17);
        element["surprise"] = {{"nested", true}};
        element["location"]["altitude"] = 12;
        const std::vector<VPNRegion> regions = decoded(json::array({element}));
        QCOMPARE(regions.size(), std::size_t{1});
        const VPNRegion& region = regions.front();
        QCOMPARE(region.id, 42);
        QVERIFY(region.is_free && region.is_alive && !region.is_streaming && !region.is_p2p && region.is_nearest);
        QCOMPARE(region.server_domain, QStringLiteral("vpn42.example"));
        QCOMPARE(region.country_name, QStringLiteral("Germany"));
        QCOMPARE(region.distance, std::optional<qint64>(300));
        QCOMPARE(region.load_percentage, 17);
        QCOMPARE(region.location.latitude, 52.52f);
        QCOMPARE(region.location.longitude, 13.405f);
        QCOMPARE(region.continent, QStringLiteral("Europe"));
    }

    void decodesOnlyValuesOfTheirJSONType_data()
    {
        QTest::addColumn<QByteArray>("key");
        QTest::addColumn<QByteArray>("value");  // JSON text; empty removes the key
        QTest::addColumn<bool>("decodes");
        QTest::addColumn<QString>("errorMentions");

        QTest::newRow("integral float id") << QByteArray("id") << QByteArray("7.0") << true << QString();
        QTest::newRow("exponent id") << QByteArray("id") << QByteArray("1e2") << true << QString();
        QTest::newRow("lowest id") << QByteArray("id") << QByteArray("-9223372036854775808") << true << QString();
        QTest::newRow("fractional id") << QByteArray("id") << QByteArray("1.5") << false << "does not fit in Int64";
        QTest::newRow("id past 64 bits") << QByteArray("id") << QByteArray("9223372036854775808") << false
                                         << "does not fit in Int64";
        QTest::newRow("id as text") << QByteArray("id") << QByteArray("\"7\"") << false << "found a string";
        QTest::newRow("flag as number") << QByteArray("is_free") << QByteArray("1") << false << "Bool";
        QTest::newRow("text as number") << QByteArray("city") << QByteArray("5") << false << "String";
        QTest::newRow("null text") << QByteArray("city") << QByteArray("null") << false << "found null";
        QTest::newRow("missing is_nearest")
            << QByteArray("is_nearest") << QByteArray() << false << "No value associated with key \"is_nearest\"";
        QTest::newRow("location as text")
            << QByteArray("location") << QByteArray("\"52,13\"") << false << "keyed object";
        QTest::newRow("location without longitude")
            << QByteArray("location") << QByteArray(R"({"latitude": 1})") << false << "\"longitude\"";
        QTest::newRow("integer coordinates")
            << QByteArray("location") << QByteArray(R"({"latitude": 48, "longitude": -3})") << true << QString();
        QTest::newRow("coordinate beyond float")
            << QByteArray("location") << QByteArray(R"({"latitude": 1e39, "longitude": 0})") << false << "Float";
        QTest::newRow("missing distance") << QByteArray("distance") << QByteArray() << true << QString();
        QTest::newRow("null distance") << QByteArray("distance") << QByteArray("null") << true << QString();
        QTest::newRow("distance as text") << QByteArray("distance") << QByteArray("\"5\"") << false << "distance";
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
        QCOMPARE(countryNames(regions), sorted);
    }

    void choosesTheNearestCandidateWithTheLowestScore_data()
    {
        QTest::addColumn<QByteArray>("answer");  // already in sorted order
        QTest::addColumn<qint64>("chosenId");
        QTest::addColumn<bool>("anyNearest");

        const auto row = [](const char* name, std::initializer_list<json> regions, qint64 chosen, bool anyNearest) {
            QTest::newRow(name) << QByteArray::fromStdString(json(regions).dump()) << chosen << anyNearest;
        };
        row("only nearest regions compete",
            {regionJson(1, "Austria", false, 100, 50), regionJson(2, "Germany", true, 300, 10)}, 2, true);
        row("tie goes to the first name",
            {regionJson(1, "Austria", true, 100, 50), regionJson(2, "Belgium", true, 140, 10)}, 1, true);
        row("missing distance counts as farthest",
            {regionJson(1, "Austria", true, std::nullopt, 0), regionJson(2, "Belgium", true, 9000, 99)}, 2, true);
        row("without distances the lowest load wins",
            {regionJson(1, "Austria", true, std::nullopt, 40), regionJson(2, "Belgium", true, std::nullopt, 30)}, 2,
            true);
        row("sum beyond 64 bits still ranks",
            {regionJson(1, "Austria", true, std::numeric_limits<qint64>::max(), 1),
             regionJson(2, "Belgium", true, std::nullopt, 0)},
            2, true);
        row("no nearest region: all compete",
            {regionJson(1, "Austria", false, 500, 50), regionJson(2, "Belgium", false, 100, 5)}, 2, false);
    }

    void choosesTheNearestCandidateWithTheLowestScore()
    {
        QFETCH(QByteArray, answer);
        QFETCH(qint64, chosenId);
        QFETCH(bool, anyNearest);
        const std::vector<VPNRegion> regions = decoded(json::parse(answer.toStdString()));
        const OptimalRegion::Choice choice = OptimalRegion::choose(regions);
        QVERIFY(choice.best.has_value());
        QCOMPARE(regions[*choice.best].id, chosenId);
        QCOMPARE(choice.anyNearest, anyNearest);
        const VPNRegion entry = OptimalRegion::makeOptimalEntry(regions[*choice.best]);
        QCOMPARE(entry.id, chosenId);
        QCOMPARE(entry.country_name, QStringLiteral("Optimal region\n") + regions[*choice.best].country_name);
    }
};

TANDREL_TEST_MAIN_CORE(TestVPNRegion)
#include "tst_vpnregion.moc"

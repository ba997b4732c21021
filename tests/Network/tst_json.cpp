#include "Network/JSON.h"

#include "Models/RegionSamples.h"
#include "support/TestMain.h"

#include <optional>

using namespace tandrel;

// Accessor results for one value: each optional accessor as nullopt or its value.
struct Expected {
    std::optional<QString> string;
    QString stringValue;
    std::optional<qint64> integer;
    qint64 intValue;
    std::optional<bool> boolean;
    bool boolValue;
};
Q_DECLARE_METATYPE(Expected)
Q_DECLARE_METATYPE(std::optional<qint64>)

class JSONTest : public QObject {
    Q_OBJECT

    static JSON member(const QByteArray& object, const char* key)
    {
        Result<JSON> parsed = JSON::parse(object);
        if (!parsed) {
            qFatal("fixture does not parse: %s", object.constData());
        }
        return parsed.value()[key];
    }

private slots:
    void accessorsFollowTheReadersRules_data()
    {
        QTest::addColumn<QByteArray>("document");
        QTest::addColumn<Expected>("expected");
        const std::nullopt_t none = std::nullopt;

        QTest::newRow("text") << QByteArray(R"({"v":"hello"})") << Expected{"hello", "hello", none, 0, none, false};
        QTest::newRow("numeric text") << QByteArray(R"({"v":"7"})") << Expected{"7", "7", none, 7, none, false};
        QTest::newRow("text 1") << QByteArray(R"({"v":"1"})") << Expected{"1", "1", none, 1, none, true};
        QTest::newRow("fractional text truncates")
            << QByteArray(R"({"v":"-7.9"})") << Expected{"-7.9", "-7.9", none, -7, none, false};
        QTest::newRow("text with exponent")
            << QByteArray(R"({"v":"1e3"})") << Expected{"1e3", "1e3", none, 1000, none, false};
        QTest::newRow("non-numeric text")
            << QByteArray(R"({"v":"abc"})") << Expected{"abc", "abc", none, 0, none, false};
        QTest::newRow("huge numeric text saturates")
            << QByteArray(R"({"v":"99999999999999999999999"})") << Expected{"99999999999999999999999",
                                                                            "99999999999999999999999",
                                                                            none,
                                                                            std::numeric_limits<qint64>::max(),
                                                                            none,
                                                                            false};
        QTest::newRow("YES") << QByteArray(R"({"v":"YES"})") << Expected{"YES", "YES", none, 0, none, true};
        QTest::newRow("no") << QByteArray(R"({"v":"no"})") << Expected{"no", "no", none, 0, none, false};
        QTest::newRow("T") << QByteArray(R"({"v":"T"})") << Expected{"T", "T", none, 0, none, true};
        QTest::newRow("y") << QByteArray(R"({"v":"y"})") << Expected{"y", "y", none, 0, none, true};
        QTest::newRow("True") << QByteArray(R"({"v":"True"})") << Expected{"True", "True", none, 0, none, true};
        QTest::newRow("integer 3") << QByteArray(R"({"v":3})") << Expected{none, "3", 3, 3, none, true};
        QTest::newRow("integral float has no point")
            << QByteArray(R"({"v":3.0})") << Expected{none, "3", 3, 3, none, true};
        QTest::newRow("float truncates") << QByteArray(R"({"v":-2.75})") << Expected{none, "-2.75", -2, -2, none, true};
        QTest::newRow("zero is false") << QByteArray(R"({"v":0})") << Expected{none, "0", 0, 0, none, false};
        QTest::newRow("number 1 is no boolean") << QByteArray(R"({"v":1})") << Expected{none, "1", 1, 1, none, true};
        QTest::newRow("huge float saturates")
            << QByteArray(R"({"v":1e300})")
            << Expected{none, "1e+300", std::numeric_limits<qint64>::max(), std::numeric_limits<qint64>::max(),
                        none, true};
        QTest::newRow("largest unsigned saturates")
            << QByteArray(R"({"v":18446744073709551615})") << Expected{none,
                                                                       "18446744073709551615",
                                                                       std::numeric_limits<qint64>::max(),
                                                                       std::numeric_limits<qint64>::max(),
                                                                       none,
                                                                       true};
        QTest::newRow("true") << QByteArray(R"({"v":true})") << Expected{none, "true", 1, 1, true, true};
        QTest::newRow("false") << QByteArray(R"({"v":false})") << Expected{none, "false", 0, 0, false, false};
        QTest::newRow("present null") << QByteArray(R"({"v":null})") << Expected{none, "", none, 0, none, false};
        QTest::newRow("absent key") << QByteArray(R"({"w":1})") << Expected{none, "", none, 0, none, false};
        QTest::newRow("array") << QByteArray(R"({"v":[1]})") << Expected{none, "", none, 0, none, false};
        QTest::newRow("object") << QByteArray(R"({"v":{"a":1}})") << Expected{none, "", none, 0, none, false};
    }

    void accessorsFollowTheReadersRules()
    {
        QFETCH(QByteArray, document);
        QFETCH(Expected, expected);
        const JSON value = member(document, "v");
        QCOMPARE(value.string(), expected.string);
        QCOMPARE(value.stringValue(), expected.stringValue);
        QCOMPARE(value.int_(), expected.integer);
        QCOMPARE(value.intValue(), expected.intValue);
        QCOMPARE(value.bool_(), expected.boolean);
        QCOMPARE(value.boolValue(), expected.boolValue);
    }

    void presenceCountsANullMemberAsPresent()
    {
        QVERIFY(member(R"({"v":null})", "v").exists());
        QCOMPARE(member(R"({"v":null})", "v").type(), JSON::Type::null);
        QVERIFY(!member(R"({"v":null})", "w").exists());
        QVERIFY(member(R"({"v":null})", "w").error().has_value());
        // A lookup below a missing member, or in an array, carries the error on.
        QVERIFY(!member(R"({"v":1})", "w")["x"].exists());
        QVERIFY(!JSON::parse("[1,2]").value()["code"].exists());
        QVERIFY(!JSON::parse("[1,2]").value()[2].exists());
        QCOMPARE(JSON::parse("[1,2]").value()[1].intValue(), 2);
    }

    void arraysAndEqualityWithText()
    {
        const JSON document = JSON::parse(R"({"list":[1,"a",null],"code":"E0141","n":5})").value();
        QCOMPARE(document["list"].array()->size(), size_t(3));
        QCOMPARE(document["list"].arrayValue()[1].stringValue(), QString("a"));
        QVERIFY(!document["code"].array().has_value());
        QVERIFY(document["code"].arrayValue().empty());
        QVERIFY(document["missing"].arrayValue().empty());
        QVERIFY(document["code"] == "E0141");
        QVERIFY(!(document["code"] == "e0141"));
        QVERIFY(!(document["n"] == "5"));
        QVERIFY(!(document["missing"] == ""));
    }

    void parseAcceptsOnlyAnObjectOrAnArray_data()
    {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("object") << QByteArray("{}") << true;
        QTest::newRow("array") << QByteArray(" [1, 2] \n") << true;
        QTest::newRow("empty body") << QByteArray() << false;
        QTest::newRow("number") << QByteArray("42") << false;
        QTest::newRow("text") << QByteArray("\"x\"") << false;
        QTest::newRow("null") << QByteArray("null") << false;
        QTest::newRow("html") << QByteArray("<html>502</html>") << false;
        QTest::newRow("trailing garbage") << QByteArray("{} x") << false;
        QTest::newRow("truncated") << QByteArray(R"({"a":)") << false;
        QTest::newRow("invalid UTF-8") << QByteArray("{\"a\":\"\xff\xfe\"}") << false;
        QTest::newRow("overflowing number") << QByteArray(R"({"a":1e999})") << false;
        QTest::newRow("deep nesting") << QByteArray(100000, '[') + QByteArray(100000, ']') << false;
        QTest::newRow("moderate nesting") << QByteArray(200, '[') + QByteArray(200, ']') << true;
        // The memory budget must leave room for a large account's region list.
        nlohmann::json regions = nlohmann::json::array();
        for (int id = 1; id <= 12000; ++id) {
            regions.push_back(testing::regionJson(id, "Germany", false, 1200, 40));
        }
        QTest::newRow("12,000 regions") << QByteArray::fromStdString(regions.dump()) << true;
    }

    void parseAcceptsOnlyAnObjectOrAnArray()
    {
        QFETCH(QByteArray, data);
        QFETCH(bool, accepted);
        const Result<JSON> parsed = JSON::parse(data);
        QCOMPARE(parsed.ok(), accepted);
        if (!accepted) {
            QVERIFY(!parsed.error().localizedDescription().isEmpty());
            QVERIFY(!parsed.error().localizedDescription().startsWith("The operation couldn"));
        }
    }

    void rawDataRoundTripsDocumentsAndRefusesScalars()
    {
        const JSON document = JSON::parse(R"({"region":{"id":4,"name":"Zürich"}})").value();
        const Result<QByteArray> bytes = document["region"].rawData();
        QVERIFY(bytes.ok());
        QCOMPARE(JSON::parse(bytes.value()).value()["name"].stringValue(), QString("Zürich"));
        QVERIFY(!document["region"]["id"].rawData().ok());
        QVERIFY(!document["missing"].rawData().ok());
        // A value made in code with text that is not UTF-8 fails instead of throwing.
        QVERIFY(!JSON(nlohmann::json::array({std::string("\xff")})).rawData().ok());
    }
};

TANDREL_TEST_MAIN_CORE(JSONTest)
#include "tst_json.moc"

#include "Platform/Host.h"
#include "support/TestMain.h"

using namespace tandrel;

Q_DECLARE_METATYPE(std::optional<QString>)
Q_DECLARE_METATYPE(std::optional<QByteArray>)

namespace {

const QString kMachineId = QStringLiteral("4c4c4544004d3910804cb7c04f4e3332");

}  // namespace

class HostTest : public QObject {
    Q_OBJECT
private:
    QTemporaryDir m_dir;

    QString fileWith(const QString& name, const QByteArray& content)
    {
        const QString path = m_dir.filePath(name);
        QFile file(path);
        file.open(QIODevice::WriteOnly | QIODevice::Truncate);
        file.write(content);
        return path;
    }

private Q_SLOTS:
    void serialNumberPrefersARealDmiSerialThenTheMachineId_data()
    {
        QTest::addColumn<std::optional<QByteArray>>("dmiSerial");  // nullopt: no such file
        QTest::addColumn<std::optional<QByteArray>>("machineId");
        QTest::addColumn<std::optional<QString>>("expected");
        const std::optional<QByteArray> id = kMachineId.toLatin1() + '\n';
        const std::optional<QString> fromId = kMachineId;
        QTest::newRow("real serial") << std::optional<QByteArray>("C02XK1ABJGH5\n") << id
                                     << std::optional<QString>("C02XK1ABJGH5");
        QTest::newRow("no DMI file") << std::optional<QByteArray>() << id << fromId;
        QTest::newRow("empty") << std::optional<QByteArray>("\n") << id << fromId;
        QTest::newRow("zeros") << std::optional<QByteArray>("0000000000\n") << id << fromId;
        QTest::newRow("Not Specified") << std::optional<QByteArray>("Not Specified\n") << id << fromId;
        QTest::newRow("OEM filler upper case") << std::optional<QByteArray>("TO BE FILLED BY O.E.M.") << id << fromId;
        QTest::newRow("Default string") << std::optional<QByteArray>("Default string\n") << id << fromId;
        QTest::newRow("0123456789") << std::optional<QByteArray>("0123456789\n") << id << fromId;
        QTest::newRow("placeholder, no machine id")
            << std::optional<QByteArray>("None") << std::optional<QByteArray>() << std::optional<QString>();
        QTest::newRow("nothing at all") << std::optional<QByteArray>() << std::optional<QByteArray>()
                                        << std::optional<QString>();
        QTest::newRow("machine id not yet made")
            << std::optional<QByteArray>() << std::optional<QByteArray>("uninitialized\n") << std::optional<QString>();
    }
    void serialNumberPrefersARealDmiSerialThenTheMachineId()
    {
        QFETCH(std::optional<QByteArray>, dmiSerial);
        QFETCH(std::optional<QByteArray>, machineId);
        QFETCH(std::optional<QString>, expected);
        const QString dmiPath =
            dmiSerial ? fileWith(QStringLiteral("product_serial"), *dmiSerial) : m_dir.filePath("absent-serial");
        const QString idPath =
            machineId ? fileWith(QStringLiteral("machine-id"), *machineId) : m_dir.filePath("absent-id");
        QCOMPARE(Host::serialNumberFrom(dmiPath, idPath), expected);
    }

    void unreadableDmiSerialFallsBackToTheMachineId()
    {
        // A folder cannot be read as a file, also not by root (who may read product_serial).
        const QString folder = m_dir.filePath(QStringLiteral("serial-folder"));
        QVERIFY(QDir().mkpath(folder));
        QCOMPARE(Host::serialNumberFrom(folder, fileWith(QStringLiteral("machine-id"), kMachineId.toLatin1())),
                 kMachineId);
    }

    void serialNumberSourceCanBeReplacedAndRestored()
    {
        const std::optional<QString> hosts = Host::platformSerialNumber();
        Host::setSerialNumberSource([] { return std::optional<QString>(QStringLiteral("TEST-SERIAL")); });
        QCOMPARE(Host::platformSerialNumber(), QStringLiteral("TEST-SERIAL"));
        Host::setSerialNumberSource([] { return std::optional<QString>(); });
        QCOMPARE(Host::platformSerialNumber(), std::nullopt);
        Host::setSerialNumberSource({});
        QCOMPARE(Host::platformSerialNumber(), hosts);
    }

    void versionTextGivesThreeNumbers_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QList<int>>("expected");
        QTest::newRow("Debian") << QStringLiteral("12") << QList<int>{12, 0, 0};
        QTest::newRow("Ubuntu") << QStringLiteral("22.04") << QList<int>{22, 4, 0};
        QTest::newRow("three parts") << QStringLiteral("14.5.1") << QList<int>{14, 5, 1};
        QTest::newRow("unknown") << QStringLiteral("unknown") << QList<int>{0, 0, 0};
        QTest::newRow("empty") << QString() << QList<int>{0, 0, 0};
    }
    void versionTextGivesThreeNumbers()
    {
        QFETCH(QString, text);
        QFETCH(QList<int>, expected);
        const std::array<int, 3> numbers = Host::versionNumbersFrom(text);
        QCOMPARE((QList<int>{numbers[0], numbers[1], numbers[2]}), expected);
    }

    void preferredLanguagesAreTheUsersOwnTags_data()
    {
        QTest::addColumn<QStringList>("uiLanguages");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("one locale") << QStringList{"es-ES", "es-Latn-ES", "es"} << QStringList{"es-ES", "es"};
        QTest::newRow("language list") << QStringList{"es", "es-Latn-ES", "es-ES", "en", "en-Latn-US", "en-US"}
                                       << QStringList{"es", "es-ES", "en", "en-US"};
        QTest::newRow("script form of a listed tag") << QStringList{"zh-Hant-TW", "zh-TW"} << QStringList{"zh-TW"};
        QTest::newRow("script without a plain form") << QStringList{"sr-Cyrl-RS"} << QStringList{"sr-Cyrl-RS"};
        QTest::newRow("C locale") << QStringList{"C"} << QStringList{};
    }
    void preferredLanguagesAreTheUsersOwnTags()
    {
        QFETCH(QStringList, uiLanguages);
        QFETCH(QStringList, expected);
        QCOMPARE(Host::preferredLanguagesFrom(uiLanguages), expected);
    }
};

TANDREL_TEST_MAIN_CORE(HostTest)
#include "tst_host.moc"

#include "BuildConfig.h"
#include "Controllers/PricingController.h"
#include "ServiceTesting.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

using namespace tandrel;
using testing::CapturedOutput;
using testing::ServiceEnvironment;

namespace {
const QString kCheckout = QString::fromUtf8(BuildConfig::webBase) + QStringLiteral("/checkout?plan=");
}

class TestPricingController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;

    // Fetches one list with `answer` as the backend's body and returns what was published.
    std::vector<PricingViewPlan> fetch(bool extraSlots, const QByteArray& answer, QStringList* printed = nullptr)
    {
        env->backend.setResponse("GET", extraSlots ? QStringLiteral("vpn/slots") : QStringLiteral("vpn/plans"), 200,
                                 answer);
        CapturedOutput output;
        PricingController controller;
        bool completed = false;
        const auto done = [&] { completed = true; };
        extraSlots ? controller.fetchSlotPlans(done) : controller.fetchPlans(done);
        if (!QTest::qWaitFor([&] { return completed; }, 15000)) {
            qWarning("the fetch did not complete");
        }
        if (printed) {
            *printed = output.lines();
        }
        return extraSlots ? controller.extraSlotsPlans() : controller.standardPlans();
    }

private slots:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
    }
    void cleanup() { env.reset(); }

    void durationCodesAtTheirThresholds_data()
    {
        QTest::addColumn<qint64>("days");
        QTest::addColumn<QString>("code");
        for (const auto& [days, code] : std::initializer_list<std::pair<qint64, const char*>>{{-3, "-3d"},
                                                                                              {0, "0d"},
                                                                                              {6, "6d"},
                                                                                              {7, "1w"},
                                                                                              {29, "4w"},
                                                                                              {30, "1m"},
                                                                                              {180, "6m"},
                                                                                              {364, "12m"},
                                                                                              {365, "1y"},
                                                                                              {729, "1y"},
                                                                                              {730, "2y"}}) {
            QTest::addRow("%lld days", static_cast<long long>(days)) << days << QString::fromLatin1(code);
        }
    }

    void durationCodesAtTheirThresholds()
    {
        QFETCH(qint64, days);
        QFETCH(QString, code);
        QCOMPARE(PricingController::convertDaysToReadableFormat(days), code);
    }

    void buildsOffersFromAcceptableEntries_data()
    {
        QTest::addColumn<bool>("extraSlots");
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<QStringList>("plan");  // name, duration, price, plan code, isTrial; empty: dropped

        QTest::newRow("365 days is a trial plan")
            << false << QByteArray(R"({"name":"Yearly","total_days":365,"is_trial":false,"is_unlimited":false,
                                       "price":"59.99"})")
            << QStringList{"Yearly", "365 days", "59.99", "1y", "true"};
        QTest::newRow("365 days is no trial offer")
            << true << QByteArray(R"({"total_days":365,"is_trial":false,"is_unlimited":false,"price":"9.99",
                                      "device_count":3})")
            << QStringList{"3 extra slots", "365 days", "9.99", "3slots1y", "false"};
        QTest::newRow("the service's Trial entry")
            << false << QByteArray(R"({"name":"Trial","total_days":7,"is_trial":true,
                                                                     "is_unlimited":false,"price":"0"})")
            << QStringList();
        QTest::newRow("a lower-case trial stays")
            << false
            << QByteArray(R"({"name":"trial","total_days":7,"is_trial":true,"is_unlimited":false,"price":"0"})")
            << QStringList{"trial", "7 days", "0", "1w", "true"};
        QTest::newRow("unlimited plan") << false << QByteArray(R"({"name":"Forever","total_days":0,"is_trial":false,
                                                                   "is_unlimited":true,"price":"199"})")
                                        << QStringList{"Lifetime", "Forever", "199", "lifetime", "false"};
        QTest::newRow("unlimited slots") << true
                                         << QByteArray(
                                                R"({"total_days":0,"is_trial":false,"is_unlimited":true,"price":"19",
                                      "device_count":2})")
                                         << QStringList{"2 extra slots", "Forever", "19", "2slotslifetime", "false"};
        QTest::newRow("numeric price") << false << QByteArray(R"({"name":"Monthly","total_days":30,"is_trial":false,
                                                                  "is_unlimited":false,"price":5.99})")
                                       << QStringList();
        QTest::newRow("trial flag as a number")
            << false
            << QByteArray(R"({"name":"Monthly","total_days":30,"is_trial":1,"is_unlimited":false,"price":"5"})")
            << QStringList();
    }

    void buildsOffersFromAcceptableEntries()
    {
        QFETCH(bool, extraSlots);
        QFETCH(QByteArray, entry);
        QFETCH(QStringList, plan);
        const QByteArray monthly = extraSlots
                                       ? R"({"total_days":30,"is_trial":false,"is_unlimited":false,"price":"4",
                                               "device_count":3})"
                                       : R"({"name":"Monthly","total_days":30,"is_trial":false,"is_unlimited":false,
                                               "price":"4"})";
        // The entry sits between two good ones: dropping it keeps the others in order.
        const std::vector<PricingViewPlan> plans = fetch(extraSlots, "[" + monthly + "," + entry + "," + monthly + "]");
        QCOMPARE(plans.size(), plan.isEmpty() ? std::size_t{2} : std::size_t{3});
        if (plan.isEmpty()) {
            return;
        }
        const PricingViewPlan& built = plans[1];
        QCOMPARE(built.name, plan[0]);
        QCOMPARE(built.duration, plan[1]);
        QCOMPARE(built.price, plan[2]);
        QCOMPARE(built.purchaseURL, kCheckout + plan[3] + QStringLiteral("&email=demo@tandrel.example"));
        QCOMPARE(built.isTrial, plan[4] == QLatin1String("true"));
        if (extraSlots) {
            QCOMPARE(plans[0].benefits,
                     QStringList({"3 additional devices", "Extend your device limit", "24/7 Technical support"}));
            QCOMPARE(plans[0].purchaseURL, kCheckout + QStringLiteral("3slots1m&email=demo@tandrel.example"));
        } else {
            QCOMPARE(built.benefits, QStringList({"5 devices", "Unlimited access to all VPN servers",
                                                  "24/7 Technical support", "Premium support"}));
        }
    }

    void failedFetchPrintsAndPublishesAnEmptyList()
    {
        env->answer("GET", QStringLiteral("vpn/slots"), {});
        CapturedOutput output;
        PricingController controller;
        bool completed = false;
        controller.fetchSlotPlans([&] { completed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(completed, 15000);
        QVERIFY(controller.extraSlotsPlans().empty());
        QVERIFY(!output.lines().filter(QStringLiteral("Error fetching slot plans: ")).isEmpty());
    }

    void theEmailIsEncodedForTheQuery()
    {
        Preferences::setEmail(QStringLiteral("anna+vpn@example.com"));
        const std::vector<PricingViewPlan> plans =
            fetch(false, R"([{"name":"M","total_days":30,"is_trial":false,"is_unlimited":false,"price":"4"}])");
        QCOMPARE(plans.size(), std::size_t{1});
        QCOMPARE(plans[0].purchaseURL, kCheckout + QStringLiteral("1m&email=anna%2Bvpn@example.com"));
        Preferences::setEmail(std::nullopt);
        QCOMPARE(fetch(false, R"([{"name":"M","total_days":30,"is_trial":false,"is_unlimited":false,"price":"4"}])")[0]
                     .purchaseURL,
                 kCheckout + QStringLiteral("1m&email="));
    }

    void releasedControllerIgnoresALateAnswer()
    {
        demo::Fault slow;
        slow.delayMs = 200;
        env->backend.setFault("GET", QStringLiteral("vpn/plans"), slow);
        CapturedOutput output;
        bool lateCompleted = false;
        auto released = std::make_unique<PricingController>();
        released->fetchPlans([&] { lateCompleted = true; });
        released.reset();

        PricingController witness;  // asked later with the same delay, so answered later
        bool witnessCompleted = false;
        witness.fetchPlans([&] { witnessCompleted = true; });
        QTRY_VERIFY_WITH_TIMEOUT(witnessCompleted, 5000);
        QVERIFY(!witness.standardPlans().empty());
        QVERIFY(!lateCompleted);
        QVERIFY(output.lines().isEmpty());
    }
};

TANDREL_TEST_MAIN_CORE(TestPricingController)
#include "tst_pricingcontroller.moc"

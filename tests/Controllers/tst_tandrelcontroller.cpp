#include "Classes/VPNHelper.h"
#include "Controllers/TandrelController.h"
#include "Models/Device.h"
#include "Models/RegionSamples.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/UnavailableVPNBackend.h"
#include "ServiceTesting.h"
#include "support/CapturedOutput.h"
#include "support/TestMain.h"

#include <future>
#include <thread>

using namespace tandrel;
using demo::DemoBackend;
using nlohmann::json;
using testing::CapturedOutput;
using testing::NotificationCounter;
using testing::regionJson;
using testing::ServiceEnvironment;

namespace {
QList<qint64> ids(const std::vector<VPNRegion>& regions)
{
    QList<qint64> result;
    for (const VPNRegion& region : regions) {
        result << region.id;
    }
    return result;
}

// True once every block queued on the main queue before this call has run.
bool mainQueueDrained()
{
    static bool drained = false;
    drained = false;
    MainQueue::async([] { drained = true; });
    return QTest::qWaitFor([] { return drained; }, 5000);
}

// A VPN service that stops the tunnel on a thread of its own and reports the change from
// there before it acknowledges the stop, as a daemon behind a control socket may.
class ServiceThreadVPNBackend : public NEVPNBackend, public std::enable_shared_from_this<ServiceThreadVPNBackend> {
public:
    void load(LoadCompletion completion) override { completion(std::nullopt, std::nullopt); }
    void save(const NEVPNConfiguration&, Completion completion) override { completion(std::nullopt); }
    void remove(Completion completion) override { completion(std::nullopt); }
    std::optional<Error> start() override { return std::nullopt; }
    void stop() override
    {
        auto acknowledged = std::make_shared<std::promise<void>>();
        std::future<void> acknowledgement = acknowledged->get_future();
        std::thread([self = shared_from_this(), acknowledged] {
            self->m_status = NEVPNStatus::disconnecting;
            if (const StatusHandler report = self->handler()) {
                report(NEVPNStatus::disconnecting, {});
            }
            acknowledged->set_value();
        }).detach();
        stopAcknowledged = acknowledgement.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    }
    NEVPNStatus status() const override { return m_status; }
    void setStatusHandler(StatusHandler handler) override
    {
        std::lock_guard guard(m_lock);
        m_handler = std::move(handler);
    }

    std::atomic<bool> stopAcknowledged{false};

private:
    StatusHandler handler()
    {
        std::lock_guard guard(m_lock);
        return m_handler;
    }

    std::mutex m_lock;
    StatusHandler m_handler;
    std::atomic<NEVPNStatus> m_status{NEVPNStatus::connected};
};

qsizetype tunnelConfigurationRequests(const DemoBackend& backend)
{
    qsizetype count = 0;
    for (const demo::RecordedRequest& request : backend.requests()) {
        count += request.path().startsWith("/api/config/ipsec/") ? 1 : 0;
    }
    return count;
}

// What goes wrong on the way to a tunnel, and where.
enum class ConnectFault {
    backendDown,
    backendHangs,
    emptyAnswer,
    truncatedAnswer,
    htmlAnswer,
    serverErrorAnswer,
    serviceUnavailable,
    saveRefused,
    startRefused,
    tunnelGivesUp,
};

const QString kConfigRoute = QStringLiteral("config/ipsec/*");

// A VPN service that holds whatever status it is told and counts what it is asked to do.
class ScriptedStatusBackend : public NEVPNBackend {
public:
    void load(LoadCompletion completion) override
    {
        MainQueue::async([completion] { completion(std::nullopt, std::nullopt); });
    }
    void save(const NEVPNConfiguration&, Completion completion) override
    {
        ++saves;
        MainQueue::async([completion] { completion(std::nullopt); });
    }
    void remove(Completion completion) override { completion(std::nullopt); }
    std::optional<Error> start() override
    {
        ++starts;
        return std::nullopt;
    }
    void stop() override { ++stops; }
    NEVPNStatus status() const override { return current; }
    void setStatusHandler(StatusHandler handler) override { report = std::move(handler); }

    // Takes the status and reports it as the service would.
    void become(NEVPNStatus status)
    {
        current = status;
        if (report) {
            report(status, {});
        }
    }

    NEVPNStatus current = NEVPNStatus::disconnected;
    StatusHandler report;
    int saves = 0;
    int starts = 0;
    int stops = 0;
};

enum class Action { connects, disconnects, nothing, raisesExpiredAlert };
}  // namespace

Q_DECLARE_METATYPE(Action)

Q_DECLARE_METATYPE(ConnectFault)

class TestTandrelController : public QObject {
    Q_OBJECT
private:
    std::unique_ptr<ServiceEnvironment> env;

private slots:
    void init()
    {
        env = std::make_unique<ServiceEnvironment>();
        env->signIn();
    }
    void cleanup() { env.reset(); }

    void loadOrdersRegionsAndSelectsTheOptimalEntry_data()
    {
        QTest::addColumn<QByteArray>("answer");
        QTest::addColumn<QList<qint64>>("order");
        QTest::addColumn<QString>("firstName");
        QTest::addColumn<QStringList>("lines");

        const auto row = [](const char* name, const json& answer, QList<qint64> order, const QString& firstName,
                            const QStringList& lines = {}) {
            QTest::newRow(name) << QByteArray::fromStdString(answer.dump()) << order << firstName << lines;
        };
        json nullDistance = regionJson(2, "Belgium", true, std::nullopt, 0);
        nullDistance["distance"] = nullptr;
        row("only nearest regions are candidates",
            {regionJson(1, "Austria", false, 100, 50), regionJson(2, "Germany", true, 300, 10),
             regionJson(3, "Belgium", false, 5, 1)},
            {2, 1, 3}, "Optimal region\nGermany");
        row("a tie goes to the first name",
            {regionJson(1, "Belgium", true, 140, 10), regionJson(2, "Austria", true, 100, 50)}, {2, 1},
            "Optimal region\nAustria");
        row("a 64-bit distance plus load still ranks",
            {regionJson(1, "Austria", true, std::numeric_limits<qint64>::max(), 1),
             regionJson(2, "Belgium", true, std::nullopt, 0)},
            {2, 1}, "Optimal region\nBelgium");
        row("missing and null distances count as farthest",
            {regionJson(1, "Austria", true, std::nullopt, 0), nullDistance, regionJson(3, "Chile", true, 9000, 99)},
            {3, 1, 2}, "Optimal region\nChile");
        row("one region", json::array({regionJson(5, "Germany", false, 10, 10)}), {5}, "Optimal region\nGermany",
            {"No regions with is_nearest == true found."});
        row("empty answer", json::array(), {}, "VPN",
            {"No regions with is_nearest == true found.",
             "Regions array is empty, cannot set Preferences.configId and currentRegion"});
    }

    void loadOrdersRegionsAndSelectsTheOptimalEntry()
    {
        QFETCH(QByteArray, answer);
        QFETCH(QList<qint64>, order);
        QFETCH(QString, firstName);
        QFETCH(QStringList, lines);
        env->backend.setResponse("GET", QStringLiteral("users/me/regions"), 200, answer);

        CapturedOutput output;
        TandrelController controller;
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(0));  // nothing stored: 0, not none
        controller.loadRegions();
        const qint64 selected = order.value(0, 0);
        if (order.isEmpty()) {
            QTRY_COMPARE_WITH_TIMEOUT(output.lines().size(), 1 + lines.size(), 5000);
        } else {
            QTRY_COMPARE_WITH_TIMEOUT(Preferences::configId(), selected, 5000);
        }
        QVERIFY(mainQueueDrained());

        QCOMPARE(ids(controller.regions()), order);
        QCOMPARE(output.lines().value(0), QStringLiteral("initializing TandrelController"));
        QCOMPARE(output.lines().mid(1), lines);
        QCOMPARE(Preferences::configId(), selected);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(selected));
        QCOMPARE(Preferences::countryConnected(), firstName);
        if (!order.isEmpty()) {
            QCOMPARE(controller.regions().front().country_name, firstName);
        }
    }

    void connectFailureIsPublishedWithItsReason_data()
    {
        QTest::addColumn<ConnectFault>("fault");
        QTest::addColumn<QString>("reason");
        QTest::addColumn<QString>("detail");
        const QString unreachable =
            QStringLiteral("Could not reach the server. Check your internet connection and try again.");
        const QString unusable = QStringLiteral("The server sent no usable VPN configuration. Please try again later.");
        QTest::newRow("backend down") << ConnectFault::backendDown << unreachable << QString();
        QTest::newRow("backend hangs past the timeout")
            << ConnectFault::backendHangs << QStringLiteral("The server did not answer in time. Please try again.")
            << QString();
        QTest::newRow("empty answer") << ConnectFault::emptyAnswer << unusable << QString();
        QTest::newRow("truncated answer") << ConnectFault::truncatedAnswer << unusable << QString();
        const QString serverError = QStringLiteral("The server answered with an error. Please try again later.");
        QTest::newRow("HTML page") << ConnectFault::htmlAnswer << serverError << QString();
        QTest::newRow("500 with a JSON error") << ConnectFault::serverErrorAnswer << serverError << QString();
        QTest::newRow("no VPN service") << ConnectFault::serviceUnavailable
                                        << QStringLiteral("The system's VPN service is not available.")
                                        << QStringLiteral("NetworkManager is not running on the system bus.");
        QTest::newRow("save refused") << ConnectFault::saveRefused
                                      << QStringLiteral("The VPN configuration could not be saved.")
                                      << QStringLiteral("The configuration store is read-only.");
        QTest::newRow("start refused") << ConnectFault::startRefused << QStringLiteral("The VPN could not be started.")
                                       << QStringLiteral("The daemon is busy.");
        QTest::newRow("tunnel given up") << ConnectFault::tunnelGivesUp << QStringLiteral("The VPN connection failed.")
                                         << QStringLiteral("peer unreachable");
    }

    // Every way a connect can fail ends the busy state and leaves a reason for the screen.
    void connectFailureIsPublishedWithItsReason()
    {
        QFETCH(ConnectFault, fault);
        QFETCH(QString, reason);
        QFETCH(QString, detail);
        Preferences::setConfigId(env->backend.regions().at(0).at("id").get<qint64>());
        demo::Fault hang;
        hang.delayMs = 11000;
        switch (fault) {
            case ConnectFault::backendDown:
                break;  // below, once the address to go back to is kept
            case ConnectFault::backendHangs:
                env->backend.setFault("GET", kConfigRoute, hang);
                break;
            case ConnectFault::emptyAnswer:
                env->backend.setResponse("GET", kConfigRoute, 200, "");
                break;
            case ConnectFault::truncatedAnswer:
                env->backend.setResponse("GET", kConfigRoute, 200, R"({"radius_login":"u","radius_pass)");
                break;
            case ConnectFault::htmlAnswer:
                env->backend.setResponse("GET", kConfigRoute, 502, "<html><body>Bad gateway</body></html>");
                break;
            case ConnectFault::serverErrorAnswer:
                env->backend.setResponse("GET", kConfigRoute, 500, R"({"message":"Server Error"})");
                break;
            case ConnectFault::serviceUnavailable:
                NEVPNManager::shared().setBackend(std::make_shared<UnavailableVPNBackend>(
                    QStringLiteral("NetworkManager is not running on the system bus.")));
                break;
            case ConnectFault::saveRefused:
                env->vpn->setSaveError(
                    Error::withDescription("NEVPNErrorDomain", 5, "The configuration store is read-only."));
                break;
            case ConnectFault::startRefused:
                env->vpn->setStartError(Error::withDescription("NEVPNErrorDomain", 5, "The daemon is busy."));
                break;
            case ConnectFault::tunnelGivesUp:
                break;
        }
        const QString serverPath = Client::serverPath();
        Cancellable restore([serverPath] { Client::setServerPath(serverPath); });
        if (fault == ConnectFault::backendDown) {
            Client::setServerPath(QStringLiteral("http://127.0.0.1:1/api/"));
        }

        TandrelController controller;
        controller.connectionError = ConnectFailure{QStringLiteral("an earlier failure"), {}};
        controller.doConnect();
        QCOMPARE(controller.connectionError(), std::nullopt);
        QVERIFY(controller.preparingConnection());
        if (fault == ConnectFault::tunnelGivesUp) {
            QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::connected, 10000);
            QCOMPARE(controller.connectionError(), std::nullopt);
            env->vpn->dropTunnel(false, QStringLiteral("peer unreachable"));
        }
        QTRY_VERIFY_WITH_TIMEOUT(controller.connectionError().has_value(), 15000);
        QCOMPARE(controller.connectionError()->reason, reason);
        QCOMPARE(controller.connectionError()->detail, detail);
        QVERIFY(!controller.preparingConnection());
        QVERIFY(controller.connectionStatus() != NEVPNStatus::connected);
    }

    // The next attempt starts clean, and a tunnel that comes up leaves no failure behind.
    void nextAttemptClearsTheFailure()
    {
        Preferences::setConfigId(env->backend.regions().at(0).at("id").get<qint64>());
        env->vpn->setStartError(Error::withDescription("NEVPNErrorDomain", 5, "The daemon is busy."));
        TandrelController controller;
        controller.doConnect();
        QTRY_VERIFY_WITH_TIMEOUT(controller.connectionError().has_value(), 10000);

        env->vpn->setStartError(std::nullopt);
        controller.doConnect();
        QCOMPARE(controller.connectionError(), std::nullopt);
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::connected, 10000);
        QVERIFY(!controller.preparingConnection());
        QCOMPARE(controller.connectionError(), std::nullopt);

        // A failure that arrives while connected (a stale one) goes when the status says connected.
        controller.connectionError = ConnectFailure{QStringLiteral("stale"), {}};
        env->vpn->dropTunnel(true);
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionError(), std::nullopt, 10000);
    }

    void statusReportsSetIconLineAndPublishedStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("icon");
        QTest::newRow("invalid") << 0 << "NEVPNConnection.status: invalid"
                                 << "iconInvalid";
        QTest::newRow("disconnected") << 1 << "NEVPNConnection.status: disconnected"
                                      << "AppIconMacOS";
        QTest::newRow("connecting") << 2 << "NEVPNConnection.status: connecting"
                                    << "iconConnecting";
        QTest::newRow("connected") << 3 << "NEVPNConnection.status: connected"
                                   << "iconConnected";
        QTest::newRow("reasserting") << 4 << "NEVPNConnection.status: reasserting"
                                     << "iconConnecting";
        QTest::newRow("disconnecting") << 5 << "NEVPNConnection.status: disconnecting"
                                       << "iconDisconnecting";
        QTest::newRow("unknown") << 9 << "NEVPNConnection.status: unknown"
                                 << "AppIconMacOS";
    }

    // Each status the service reports: the line and the icon at once, the published
    // status on the main queue.
    void statusReportsSetIconLineAndPublishedStatus()
    {
        QFETCH(int, status);
        QFETCH(QString, line);
        QFETCH(QString, icon);
        auto service = std::make_shared<ScriptedStatusBackend>();
        NEVPNManager::shared().setBackend(service);
        TandrelController controller;
        ApplicationIcon::set(QStringLiteral("before"));
        CapturedOutput output;
        service->become(static_cast<NEVPNStatus>(status));
        QCOMPARE(output.lines(), QStringList{line});
        QCOMPARE(ApplicationIcon::current(), icon);
        QTRY_COMPARE(int(controller.connectionStatus()), status);
    }

    void connectButtonActsByTheHeldStatus_data()
    {
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("expiredPlan");
        QTest::addColumn<Action>("action");
        for (const bool expired : {false, true}) {
            const char* plan = expired ? ", plan expired" : "";
            QTest::addRow("invalid%s", plan)
                << 0 << expired << (expired ? Action::raisesExpiredAlert : Action::connects);
            QTest::addRow("disconnected%s", plan)
                << 1 << expired << (expired ? Action::raisesExpiredAlert : Action::connects);
            QTest::addRow("connecting%s", plan) << 2 << expired << Action::disconnects;
            QTest::addRow("connected%s", plan) << 3 << expired << Action::disconnects;
            QTest::addRow("reasserting%s", plan) << 4 << expired << Action::disconnects;
            QTest::addRow("disconnecting%s", plan) << 5 << expired << Action::nothing;
            QTest::addRow("unknown%s", plan) << 9 << expired << Action::nothing;
        }
    }

    // What the connect button does in every status the controller holds.
    void connectButtonActsByTheHeldStatus()
    {
        QFETCH(int, status);
        QFETCH(bool, expiredPlan);
        QFETCH(Action, action);
        auto service = std::make_shared<ScriptedStatusBackend>();
        NEVPNManager::shared().setBackend(service);
        Preferences::setConfigId(env->backend.regions().at(0).at("id").get<qint64>());
        TandrelController controller;
        if (expiredPlan) {
            controller.subscription = TandrelController::expiredPlanText;
        }
        controller.connectionStatus = static_cast<NEVPNStatus>(status);
        controller.doConnect();
        if (action == Action::connects) {
            QTRY_COMPARE_WITH_TIMEOUT(service->starts, 1, 5000);
        } else if (action == Action::disconnects) {
            QTRY_COMPARE_WITH_TIMEOUT(service->stops, 1, 5000);
        }
        QTest::qWait(100);  // long enough for a connect chain against the local backend
        QVERIFY(mainQueueDrained());
        QCOMPARE(tunnelConfigurationRequests(env->backend), action == Action::connects ? 1 : 0);
        QCOMPARE(service->starts, action == Action::connects ? 1 : 0);
        QCOMPARE(service->stops, action == Action::disconnects ? 1 : 0);
        QCOMPARE(service->saves, action == Action::connects ? 1 : 0);
        QCOMPARE(controller.activeAlert(), action == Action::raisesExpiredAlert
                                               ? std::optional(TandrelController::ActiveAlert::subscriptionExpired())
                                               : std::nullopt);
    }

    void alertNotificationsRaiseTheirAlert_data()
    {
        QTest::addColumn<QString>("notification");
        QTest::addColumn<QString>("alert");
        QTest::newRow("slots") << "showSlotsPaymentAlert"
                               << "slotsExceeded";
        QTest::newRow("expired plan") << "showSubscriptionExpiredAlert"
                                      << "subscriptionExpired";
    }

    // Each alert notification raises its own alert, on the main queue, over one still set.
    void alertNotificationsRaiseTheirAlert()
    {
        QFETCH(QString, notification);
        QFETCH(QString, alert);
        TandrelController controller;
        controller.activeAlert = TandrelController::ActiveAlert::redeem(QStringLiteral("left over"));
        controller.showAlert = false;
        NotificationCenter::defaultCenter().post(notification);
        QCOMPARE(controller.activeAlert()->id(), QStringLiteral("redeem_left over"));  // not yet: main queue
        QTRY_COMPARE(controller.activeAlert()->id(), alert);
        QVERIFY(controller.showAlert());
    }

    void failedLoadKeepsTheListAndSelection_data()
    {
        QTest::addColumn<QByteArray>("body");  // empty: the connection drops
        QTest::addColumn<QString>("linePrefix");
        json noNearest = regionJson(1, "Austria", true, 1, 1);
        noNearest.erase("is_nearest");
        QTest::newRow("element without is_nearest")
            << QByteArray::fromStdString(json({regionJson(2, "Belgium", true, 1, 1), noNearest}).dump())
            << "Decoding error: ";
        QTest::newRow("dropped connection") << QByteArray() << "Error while getting regions: ";
    }

    void failedLoadKeepsTheListAndSelection()
    {
        QFETCH(QByteArray, body);
        QFETCH(QString, linePrefix);
        TandrelController controller;
        controller.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(Preferences::configId() != 0, 5000);
        const QList<qint64> loaded = ids(controller.regions());
        const qint64 selected = Preferences::configId();

        env->answer("GET", QStringLiteral("users/me/regions"), body);
        CapturedOutput output;
        controller.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(!output.lines().filter(linePrefix).isEmpty(), 15000);
        QVERIFY(output.lines().last().startsWith(linePrefix));
        QVERIFY(mainQueueDrained());
        QCOMPARE(ids(controller.regions()), loaded);
        QCOMPARE(Preferences::configId(), selected);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(selected));
    }

    void storedSelectionSurvivesALoad()
    {
        Preferences::setConfigId(424242);  // not in the answer
        TandrelController controller;
        controller.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(!controller.regions().empty(), 5000);
        QVERIFY(mainQueueDrained());
        QCOMPARE(Preferences::configId(), 424242);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(424242));
        QCOMPARE(Preferences::countryConnected(), QStringLiteral("VPN"));
    }

    void tapWhileConnectedOnlyDisconnectsAndStoresTheRegion()
    {
        TandrelController controller;
        // Runs after the controller's own observer, on the posting thread.
        QList<std::tuple<NEVPNStatus, QString, NEVPNStatus>> posts;  // status, icon, published status
        NotificationCenter::Token token = NotificationCenter::defaultCenter().addObserver(
            NEVPNStatusDidChangeNotification, nullptr, NotificationCenter::Delivery::postingThread,
            [&](const Notification&) {
                posts.append({NEVPNManager::shared().connection().status(), ApplicationIcon::current(),
                              controller.connectionStatus()});
            });
        Cancellable stopRecording([token] { NotificationCenter::defaultCenter().removeObserver(token); });
        controller.loadRegions();
        QTRY_VERIFY_WITH_TIMEOUT(controller.regions().size() > 3, 5000);
        const VPNRegion first = controller.regions()[1];
        const VPNRegion second = controller.regions()[2];

        CapturedOutput output;
        controller.didSelectRegion(first.id);  // plan text not loaded yet: connects
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::connected, 10000);
        QVERIFY(output.lines().contains(QStringLiteral("NEVPNConnection.status: connecting")));
        QVERIFY(output.lines().contains(QStringLiteral("NEVPNConnection.status: connected")));
        const auto connectedPost = std::find_if(
            posts.begin(), posts.end(), [](const auto& post) { return std::get<0>(post) == NEVPNStatus::connected; });
        QVERIFY(connectedPost != posts.end());
        QCOMPARE(std::get<1>(*connectedPost), QStringLiteral("iconConnected"));
        QVERIFY(std::get<2>(*connectedPost) != NEVPNStatus::connected);  // published on a later turn

        const qsizetype configurationsFetched = tunnelConfigurationRequests(env->backend);
        controller.didSelectRegion(second.id);
        QCOMPARE(Preferences::server(), second.server_domain);
        QCOMPARE(Preferences::configId(), second.id);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(second.id));
        QCOMPARE(Preferences::countryConnected(), second.country_name);
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::disconnected, 10000);
        QCOMPARE(ApplicationIcon::current(), QStringLiteral("AppIconMacOS"));
        QVERIFY(mainQueueDrained());
        QCOMPARE(controller.connectionStatus(), NEVPNStatus::disconnected);
        QCOMPARE(tunnelConfigurationRequests(env->backend), configurationsFetched);
    }

    void expiredPlanBlocksSelectionAndConnect()
    {
        env->signIn(DemoBackend::expiredEmail);
        TandrelController controller;
        controller.showCurrentSubscription();
        QTRY_COMPARE_WITH_TIMEOUT(controller.subscription(), TandrelController::expiredPlanText, 5000);

        VPNRegion region;
        region.id = 7;
        region.server_domain = QStringLiteral("vpn7.example");
        controller.didSelectRegion(region);
        QCOMPARE(controller.activeAlert(), TandrelController::ActiveAlert::subscriptionExpired());
        QCOMPARE(controller.activeAlert()->id(), QStringLiteral("subscriptionExpired"));
        QVERIFY(controller.showAlert());
        QCOMPARE(Preferences::server(), std::nullopt);
        QCOMPARE(Preferences::configId(), 0);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(0));

        controller.activeAlert = std::nullopt;
        controller.doConnect();
        QCOMPARE(controller.activeAlert(), TandrelController::ActiveAlert::subscriptionExpired());
        QVERIFY(mainQueueDrained());
        QCOMPARE(tunnelConfigurationRequests(env->backend), 0);
    }

    void planAndTrialAnswers_data()
    {
        QTest::addColumn<QByteArray>("plan");
        QTest::addColumn<QByteArray>("trial");  // empty: the connection drops
        QTest::addColumn<QString>("subscription");
        QTest::addColumn<qint64>("maxSlots");
        QTest::addColumn<bool>("trialPossible");
        QTest::newRow("capital Active") << QByteArray(R"({"status":"Active","name":"Yearly","device_count":0})")
                                        << QByteArray(R"({"isTrialPossible":true})") << "Your Plan Has Expired"
                                        << qint64(5) << true;
        QTest::newRow("both flags") << QByteArray(R"({"status":"active","is_unlimited":true,"is_trial":true,
                                                      "device_count":8})")
                                    << QByteArray(R"({"isTrialPossible":"true"})") << "Current Plan: Lifetime"
                                    << qint64(8) << true;
        QTest::newRow("trial flag as text")
            << QByteArray(R"({"status":"active","is_trial":"yes","device_count":-3})")
            << QByteArray(R"({"isTrialPossible":"True"})") << "Current Plan: Trial" << qint64(5) << false;
        QTest::newRow("no name") << QByteArray(R"({"status":"active"})") << QByteArray(R"({"isTrialPossible":1})")
                                 << "Current Plan: " << qint64(5) << false;
        QTest::newRow("named plan, count as text")
            << QByteArray(R"({"status":"active","name":"Monthly","device_count":"7"})") << QByteArray()
            << "Current Plan: Monthly" << qint64(7) << false;
    }

    void planAndTrialAnswers()
    {
        QFETCH(QByteArray, plan);
        QFETCH(QByteArray, trial);
        QFETCH(QString, subscription);
        QFETCH(qint64, maxSlots);
        QFETCH(bool, trialPossible);
        env->backend.setResponse("GET", QStringLiteral("users/me/plan"), 200, plan);
        env->answer("POST", QStringLiteral("users/me/istrialpossible"), trial);

        CapturedOutput output;
        TandrelController controller;
        int trialAnswers = -1;  // the sink delivers the current value first
        Cancellable counting = controller.isTrialPossible.sink([&](bool) { ++trialAnswers; });
        controller.showCurrentSubscription();
        QTRY_COMPARE_WITH_TIMEOUT(controller.subscription(), subscription, 5000);
        QTRY_COMPARE_WITH_TIMEOUT(trialAnswers, 1, 15000);
        QCOMPARE(controller.maxSlots(), maxSlots);
        QCOMPARE(controller.isTrialPossible(), trialPossible);
        QCOMPARE(output.lines().contains(QStringLiteral("Error, not able to parse json.")), trial.isEmpty());
    }

    void redeemReportsByStatusAndCode_data()
    {
        QTest::addColumn<QString>("code");
        QTest::addColumn<int>("status");  // 0: the backend's own answer; -1: the connection drops
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("message");
        QTest::newRow("fresh code") << DemoBackend::freshRedeemCode << 0 << QByteArray()
                                    << "The code has been applied successfully.";
        QTest::newRow("used code") << DemoBackend::usedRedeemCode << 0 << QByteArray()
                                   << "This code has already been used.";
        // Only the backend's own answer for an applied code is a success.
        QTest::newRow("200 with a refusal code")
            << "X" << 200 << QByteArray(R"({"code":"E0142"})") << "This code has already been used.";
        QTest::newRow("200 with an empty body") << "X" << 200 << QByteArray() << "Error. Please try again.";
        QTest::newRow("200 cut short") << "X" << 200 << QByteArray("{\"message\":\"The co") << "Error. Please try again.";
        QTest::newRow("200 with a list") << "X" << 200 << QByteArray("[]") << "Error. Please try again.";
        QTest::newRow("200 with a number for message")
            << "X" << 200 << QByteArray(R"({"message":5})") << "Error. Please try again.";
        QTest::newRow("500 with a message") << "X" << 500 << QByteArray(R"({"message":"applied"})")
                                            << "Error. Please try again.";
        QTest::newRow("dropped connection") << "X" << -1 << QByteArray() << "Error. Please try again.";
    }

    void redeemReportsByStatusAndCode()
    {
        QFETCH(QString, code);
        QFETCH(int, status);
        QFETCH(QByteArray, body);
        QFETCH(QString, message);
        if (status > 0) {
            env->backend.setResponse("POST", QStringLiteral("codes/applyByEmail"), status, body);
        } else if (status < 0) {
            env->answer("POST", QStringLiteral("codes/applyByEmail"), {});
        }
        TandrelController controller;
        controller.code = code;
        controller.redeemCode();
        QTRY_VERIFY_WITH_TIMEOUT(controller.showAlert(), 15000);
        QCOMPARE(controller.redeemAlertMessage(), message);
        QCOMPARE(controller.activeAlert()->id(), QStringLiteral("redeem_") + message);
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", QStringLiteral("users/me/plan")), 1, 5000);
        QCOMPARE(
            env->backend.requestsTo("POST", QStringLiteral("codes/applyByEmail")).value(0).body.contains(code.toUtf8()),
            true);
    }

    void logoutDoesNotHoldUpStatusReportsFromTheServiceThread()
    {
        auto vpn = std::make_shared<ServiceThreadVPNBackend>();
        NEVPNManager::shared().setBackend(vpn);
        TandrelController controller;
        NEVPNManager::shared().protocolConfiguration = NEVPNProtocolIKEv2{};  // a saved tunnel
        CapturedOutput output;
        NotificationCenter::defaultCenter().post(QStringLiteral("logout"));
        QVERIFY(vpn->stopAcknowledged);
        // Reported from the service's thread, it reaches the controller on the main thread.
        QTRY_VERIFY_WITH_TIMEOUT(output.lines().contains(QStringLiteral("NEVPNConnection.status: disconnecting")), 5000);
        QTRY_COMPARE_WITH_TIMEOUT(controller.connectionStatus(), NEVPNStatus::disconnecting, 5000);
    }

    void logoutClearsTheAccountButKeepsTheRest_data()
    {
        QTest::addColumn<bool>("withToken");
        QTest::newRow("with a token") << true;
        QTest::newRow("without a token") << false;
    }

    void logoutClearsTheAccountButKeepsTheRest()
    {
        QFETCH(bool, withToken);
        if (!withToken) {
            Preferences::setToken(std::nullopt);
        }
        const std::optional<QString> token = Preferences::token();
        Preferences::setPassword(QStringLiteral("secret"));
        Preferences::setServer(QStringLiteral("vpn1.example"));
        Preferences::setVpnUsername(QStringLiteral("radius"));
        Preferences::setVpnPassword(QStringLiteral("radius-secret"));
        Preferences::setConfigId(12);
        Preferences::setCountryConnected(QStringLiteral("Germany"));
        const std::optional<QString> uid = Preferences::uid();
        QVERIFY(uid.has_value());

        TandrelController controller;
        controller.subscription = QStringLiteral("Current Plan: Yearly");
        NotificationCounter loginShown(QStringLiteral("showLoginView"));
        NotificationCenter::defaultCenter().post(QStringLiteral("logout"));

        for (const std::optional<QString>& item :
             {Preferences::email(), Preferences::token(), Preferences::password(), Preferences::server(),
              Preferences::vpnUsername(), Preferences::vpnPassword()}) {
            QCOMPARE(item, std::nullopt);
        }
        QCOMPARE(Preferences::uid(), uid);
        QCOMPARE(Preferences::configId(), 0);
        QCOMPARE(Preferences::countryConnected(), QStringLiteral("Germany"));
        QCOMPARE(ApplicationIcon::current(), QStringLiteral("AppIconMacOS"));
        QCOMPARE(loginShown.count(), 1);
        QCOMPARE(controller.subscription(), QStringLiteral("Current Plan: Yearly"));
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(12));  // the controller keeps its own

        if (withToken) {
            QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("POST", QStringLiteral("auth/logout")), 1, 5000);
            const demo::RecordedRequest request = env->backend.requestsTo("POST", QStringLiteral("auth/logout"))[0];
            QCOMPARE(request.header("Authorization"), "Bearer " + token->toUtf8());
        } else {
            // Any request would have been sent before this later one.
            bool answered = false;
            Client::shared().userBestRegions([&](std::optional<Error>, std::optional<JSON>) { answered = true; });
            QTRY_VERIFY_WITH_TIMEOUT(answered, 5000);
            QCOMPARE(env->requestCount("POST", QStringLiteral("auth/logout")), 0);
        }
    }
    void logoutDuringAConnectStoresAndStartsNothing()
    {
        TandrelController controller;
        Preferences::setConfigId(env->backend.regions().at(0).at("id").get<qint64>());
        demo::Fault slow;
        slow.delayMs = 800;
        env->backend.setFault("GET", "config/ipsec/*", slow);
        CapturedOutput output;
        controller.doConnect();
        QTRY_COMPARE_WITH_TIMEOUT(tunnelConfigurationRequests(env->backend), 1, 5000);
        controller.logout();

        // The chain goes on only as far as its next step, after the delayed answer.
        QTRY_VERIFY_WITH_TIMEOUT(output.lines().contains(QStringLiteral("Connect stopped: logged out")), 5000);
        QVERIFY(mainQueueDrained());
        for (const std::optional<QString>& item :
             {Preferences::token(), Preferences::vpnUsername(), Preferences::vpnPassword(), Preferences::server()}) {
            QCOMPARE(item, std::nullopt);
        }
        const std::optional<NEVPNConfiguration> saved = env->vpn->savedConfiguration();
        QVERIFY(!saved || !saved->protocolConfiguration);
        QVERIFY(!output.lines().contains(QStringLiteral("Start VPN")));
        QVERIFY(env->vpn->status() == NEVPNStatus::invalid || env->vpn->status() == NEVPNStatus::disconnected);
    }

    // The backend may answer a log-out with a token it already voided as an expired
    // session: that is the answer of the session just ended, not news for the log-in screen.
    void logoutWithAVoidedTokenIsNoExpiredSession()
    {
        TandrelController controller;
        demo::Fault voided;
        voided.status = 401;
        voided.body = R"({"code":"E0112"})";
        env->backend.setFault("POST", "auth/logout", voided);
        testing::NotificationCounter logouts(QStringLiteral("logout"));
        controller.logout();
        QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("POST", "auth/logout"), 1, 5000);
        // Sent after the log-out reached the backend, so answered after it.
        bool probed = false;
        Client::shared().get(Client::serverPath() + QStringLiteral("regions"), false,
                             [&probed](std::optional<Error>, std::optional<JSON>) { probed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(probed, 5000);
        QVERIFY(mainQueueDrained());
        QCOMPARE(logouts.count(), 0);
    }

    // Names and messages from the backend are kept to 1 KiB, the rest cut with an ellipsis:
    // shown as they are, a megabyte of name would hold up every window that lays it out.
    void longNamesAreCutWithAnEllipsis()
    {
        const std::string longName(5000, 'n');
        const QString cut = QString(1023, QLatin1Char('n')) + QChar(0x2026);
        nlohmann::json regions = env->backend.regions();
        regions[0]["city"] = longName;
        regions[0]["country_name"] = longName;
        const qint64 longRegion = regions[0]["id"].get<qint64>();
        env->backend.setResponse("GET", QStringLiteral("users/me/regions"), 200, QByteArray::fromStdString(regions.dump()));
        env->backend.setResponse("GET", QStringLiteral("users/me/plan"), 200,
                                 QByteArray::fromStdString(nlohmann::json{{"status", "active"}, {"name", longName}}.dump()));
        env->backend.setResponse("GET", QStringLiteral("devices"), 200,
                                 QByteArray::fromStdString(nlohmann::json::array({{{"id", 4}, {"device_name", longName}}}).dump()));

        TandrelController controller;
        controller.loadRegions();
        controller.showCurrentSubscription();
        QTRY_VERIFY_WITH_TIMEOUT(controller.regionById(longRegion).has_value(), 5000);
        QCOMPARE(controller.regionById(longRegion)->city, cut);
        // The optimal entry puts its label before the name.
        QVERIFY(controller.regionById(longRegion)->country_name.endsWith(cut));
        QTRY_COMPARE_WITH_TIMEOUT(controller.subscription(), QStringLiteral("Current Plan: ") + cut, 5000);
        std::optional<JSON> devices;
        Client::shared().getDevices([&](std::optional<Error>, std::optional<JSON> json) { devices = json; });
        QTRY_VERIFY_WITH_TIMEOUT(devices.has_value(), 5000);
        QCOMPARE(Device(devices->arrayValue().at(0)).name, cut);
    }

    void lateAnswersAfterLogoutChangeNothing_data()
    {
        QTest::addColumn<bool>("regions");  // else the plan and the trial eligibility
        QTest::newRow("regions") << true;
        QTest::newRow("plan and trial") << false;
    }

    void lateAnswersAfterLogoutChangeNothing()
    {
        QFETCH(bool, regions);
        env->backend.setTrialPossible(DemoBackend::demoEmail, true);
        TandrelController controller;
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(0));
        demo::Fault slow;
        slow.delayMs = 500;
        env->backend.setFault("GET", "users/me/regions", slow);
        env->backend.setFault("GET", "users/me/plan", slow);
        env->backend.setFault("POST", "users/me/istrialpossible", slow);
        if (regions) {
            controller.loadRegions();
            QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", "users/me/regions"), 1, 5000);
        } else {
            controller.showCurrentSubscription();
            QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("GET", "users/me/plan"), 1, 5000);
            QTRY_COMPARE_WITH_TIMEOUT(env->requestCount("POST", "users/me/istrialpossible"), 1, 5000);
        }
        controller.logout();

        // A later request that is answered later still: once it is in, the first one is too.
        demo::Fault slower;
        slower.delayMs = 1000;
        env->backend.setFault("GET", "users/me/regions/best", slower);
        bool probed = false;
        Client::shared().userBestRegions([&](std::optional<Error>, std::optional<JSON>) { probed = true; });
        QTRY_VERIFY_WITH_TIMEOUT(probed, 5000);
        QVERIFY(mainQueueDrained());

        QCOMPARE(Preferences::configId(), 0);
        QVERIFY(!UserDefaults::standard().object(QStringLiteral("configId")).value_or(QVariant(0)).toLongLong());
        QVERIFY(!UserDefaults::standard().object(QStringLiteral("CountryConnected")));
        QVERIFY(controller.regions().empty());
        QCOMPARE(controller.subscription(), QString());
        QCOMPARE(controller.isTrialPossible(), false);
        QCOMPARE(controller.currentRegion(), std::optional<qint64>(0));
    }
};

TANDREL_TEST_MAIN_CORE(TestTandrelController)
#include "tst_tandrelcontroller.moc"

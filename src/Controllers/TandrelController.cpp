#include "Controllers/TandrelController.h"

#include "Classes/Preferences.h"
#include "Classes/Session.h"
#include "Classes/VPNHelper.h"
#include "Extensions/NotificationName.h"
#include "Models/OptimalRegion.h"
#include "Network/Client.h"
#include "Platform/ApplicationIcon.h"
#include "Platform/Diagnostics.h"
#include "Platform/MainQueue.h"
#include "Platform/NetworkExtension/NEVPNManager.h"
#include "Platform/UserDefaults.h"
#include "Extensions/UserDefaultsKey.h"

#include <algorithm>
#include <mutex>

namespace tandrel {

namespace {
// Looked up by name; the application's own icon shows when no image has this name.
const QString kApplicationIconName = QStringLiteral("AppIconMacOS");

const QString kRedeemFailedMessage = QStringLiteral("Error. Please try again.");
const QString kRedeemSucceededMessage = QStringLiteral("The code has been applied successfully.");

std::optional<QString> redeemMessageForCode(const JSON& code)
{
    if (code == "E0141") {
        return QStringLiteral("The code is incorrect. Please try again.");
    }
    if (code == "E0142") {
        return QStringLiteral("This code has already been used.");
    }
    if (code == "E0143") {
        return QStringLiteral("This code is invalid. Please get in touch with support.");
    }
    return std::nullopt;
}

// The backend's answer to an applied code: an object with its "message" text and no refusal
// in it. A 200 with an empty, cut or other body applied nothing that anyone can tell.
bool isRedeemSuccess(const std::optional<JSON>& json)
{
    return json && json->type() == JSON::Type::object && (*json)["message"].string() && !(*json)["code"].exists() &&
           !(*json)["errors"].exists();
}

struct StatusPresentation {
    const char* name;
    QString icon;
};

StatusPresentation presentation(NEVPNStatus status)
{
    switch (status) {
        case NEVPNStatus::invalid:
            return {"invalid", QStringLiteral("iconInvalid")};
        case NEVPNStatus::disconnected:
            return {"disconnected", kApplicationIconName};
        case NEVPNStatus::connecting:
            return {"connecting", QStringLiteral("iconConnecting")};
        case NEVPNStatus::connected:
            return {"connected", QStringLiteral("iconConnected")};
        case NEVPNStatus::reasserting:
            return {"reasserting", QStringLiteral("iconConnecting")};
        case NEVPNStatus::disconnecting:
            return {"disconnecting", QStringLiteral("iconDisconnecting")};
    }
    return {"unknown", kApplicationIconName};
}
}  // namespace

struct TandrelController::Lifetime {
    std::recursive_mutex lock;
    TandrelController* controller = nullptr;

    // Runs `work` with the controller while it exists; drops it once the controller is gone.
    // The controller is destroyed on the main thread, so work there needs no lock. Holding
    // it there would stall, or deadlock, a VPN service thread that reports a status while
    // the main thread waits on that service (stopping the tunnel) or on a keychain prompt.
    template <typename Work>
    void with(Work&& work)
    {
        if (MainQueue::isMainThread()) {
            if (controller) {
                work(*controller);
            }
            return;
        }
        std::lock_guard guard(lock);
        if (controller) {
            work(*controller);
        }
    }
};

QString TandrelController::ActiveAlert::id() const
{
    switch (m_kind) {
        case Kind::redeem:
            return QStringLiteral("redeem_") + m_message;
        case Kind::slotsExceeded:
            return QStringLiteral("slotsExceeded");
        case Kind::subscriptionExpired:
            return QStringLiteral("subscriptionExpired");
    }
    return {};
}

TandrelController::TandrelController(QObject* parent)
    : ObservableObject(parent),
      connectionStatus(this, VPNHelper::shared().currentStatus()),
      currentRegion(this, Preferences::configId()),
      m_lifetime(std::make_shared<Lifetime>())
{
    m_lifetime->controller = this;
    printLine(QStringLiteral("initializing TandrelController"));

    // The completion may run on the VPN service's thread; it only reports.
    VPNHelper::shared().manager.loadFromPreferences([](std::optional<Error> error) {
        if (error) {
            printLine(QStringLiteral("Error loading VPN preferences: ") + error->localizedDescription());
        }
    });

    connect(&VPNHelper::shared(), &VPNHelper::connectAttemptEnded, this,
            [this](const std::optional<ConnectFailure>& failure) {
                preparingConnection = false;
                if (failure) {
                    connectionError = failure;
                }
            });

    NotificationCenter& center = NotificationCenter::defaultCenter();
    using Delivery = NotificationCenter::Delivery;
    const std::shared_ptr<Lifetime> lifetime = m_lifetime;
    // Each status as the service reported it, in order: read again a turn later, a quick
    // "connecting" then "connected" would both read "connected".
    connect(&VPNHelper::shared(), &VPNHelper::statusDidChange, this, &TandrelController::vpnStatusDidChange);
    m_observers[0] =
        center.addObserver(kLogoutNotification, nullptr, Delivery::postingThread, [lifetime](const Notification&) {
            lifetime->with([](TandrelController& controller) { controller.logout(); });
        });
    m_observers[1] = center.addObserver(
        kShowSlotsPaymentAlertNotification, nullptr, Delivery::mainQueue, [lifetime](const Notification&) {
            lifetime->with([](TandrelController& controller) { controller.raiseAlert(ActiveAlert::slotsExceeded()); });
        });
    m_observers[2] = center.addObserver(
        kShowSubscriptionExpiredAlertNotification, nullptr, Delivery::mainQueue, [lifetime](const Notification&) {
            lifetime->with(
                [](TandrelController& controller) { controller.raiseAlert(ActiveAlert::subscriptionExpired()); });
        });
}

TandrelController::~TandrelController()
{
    for (NotificationCenter::Token token : m_observers) {
        NotificationCenter::defaultCenter().removeObserver(token);
    }
    // Waits for an observer running on another thread, then turns every later one away.
    std::lock_guard guard(m_lifetime->lock);
    m_lifetime->controller = nullptr;
}

void TandrelController::didSelectRegion(const VPNRegion& region)
{
    if (subscription() == expiredPlanText) {
        raiseAlert(ActiveAlert::subscriptionExpired());
        return;
    }
    Preferences::setServer(region.server_domain);
    Preferences::setConfigId(region.id);
    currentRegion = region.id;
    doConnect();
    Preferences::setCountryConnected(region.country_name);
}

std::optional<VPNRegion> TandrelController::regionById(qint64 regionId) const
{
    const std::vector<VPNRegion>& list = regions();
    const auto found =
        std::find_if(list.begin(), list.end(), [regionId](const VPNRegion& region) { return region.id == regionId; });
    if (found == list.end()) {
        return std::nullopt;
    }
    return *found;
}

void TandrelController::didSelectRegion(qint64 regionId)
{
    if (const std::optional<VPNRegion> region = regionById(regionId)) {
        didSelectRegion(*region);
    }
}

void TandrelController::loadRegions()
{
    Client::shared().userRegions(
        [lifetime = m_lifetime, session = Session::current()](std::optional<Error> error, std::optional<JSON> json) {
            if (Session::isCurrent(session)) {
                lifetime->with([&](TandrelController& controller) { controller.handleRegionsAnswer(error, json); });
            }
        });
}

void TandrelController::handleRegionsAnswer(const std::optional<Error>& error, const std::optional<JSON>& json)
{
    if (error) {
        printLine(QStringLiteral("Error while getting regions: ") + error->localizedDescription());
        regionsLoadFailure = Client::failureKind(*error);
        regionsLoadFailed = true;
        return;
    }
    if (!json) {
        printLine(QStringLiteral("JSON is nil"));
        regionsLoadFailure = Client::FailureKind::notUnderstood;
        regionsLoadFailed = true;
        return;
    }
    Result<std::vector<VPNRegion>> decoded = VPNRegion::decodeArray(json->raw());
    if (!decoded) {
        printLine(QStringLiteral("Decoding error: ") + decoded.error().description());
        regionsLoadFailure = Client::FailureKind::notUnderstood;
        regionsLoadFailed = true;
        return;
    }
    if (regionsLoadFailed()) {
        regionsLoadFailed = false;
    }

    // Each step is published as it happens; observers redraw once, on their next update.
    std::vector<VPNRegion> list = std::move(decoded.value());
    regions = list;
    OptimalRegion::sortByCountryName(list);
    regions = list;
    const OptimalRegion::Choice choice = OptimalRegion::choose(list);
    if (!choice.anyNearest) {
        printLine(QStringLiteral("No regions with is_nearest == true found."));
    }
    if (choice.best) {
        const VPNRegion best = list[*choice.best];
        std::erase_if(list, [id = best.id](const VPNRegion& region) { return region.id == id; });
        regions = list;
        list.insert(list.begin(), OptimalRegion::makeOptimalEntry(best));
        regions = std::move(list);
    }

    MainQueue::async([lifetime = m_lifetime, session = Session::current()] {
        if (Session::isCurrent(session)) {
            lifetime->with([](TandrelController& controller) { controller.makeFirstSelection(); });
        }
    });
}

void TandrelController::makeFirstSelection()
{
    // A stored selection stays, even when its region is no longer in the list.
    if (Preferences::configId() != 0 && currentRegion().has_value() && *currentRegion() != 0) {
        return;
    }
    if (regions().empty()) {
        printLine(QStringLiteral("Regions array is empty, cannot set Preferences.configId and currentRegion"));
        return;
    }
    const VPNRegion optimal = regions().front();
    Preferences::setConfigId(optimal.id);
    currentRegion = optimal.id;
    Preferences::setCountryConnected(optimal.country_name);
}

void TandrelController::vpnStatusDidChange(NEVPNStatus status, const QString& reason)
{
    MainQueue::async([lifetime = m_lifetime, status, reason] {
        lifetime->with([status, &reason](TandrelController& controller) {
            controller.connectionStatus = status;
            controller.noteConnectionOutcome(status, reason);
        });
    });
    // At once, without waiting for the published status.
    const StatusPresentation shown = presentation(status);
    printLine(QStringLiteral("NEVPNConnection.status: ") + QLatin1String(shown.name));
    ApplicationIcon::set(shown.icon);
}

QString TandrelController::statusIconName(NEVPNStatus status)
{
    return presentation(status).icon;
}

void TandrelController::doConnect()
{
    switch (connectionStatus()) {
        case NEVPNStatus::connecting:
        case NEVPNStatus::connected:
        case NEVPNStatus::reasserting:
            m_lastServiceReason.clear();  // taken down on purpose: not a failure to report
            VPNHelper::shared().disconnectVPN();
            return;
        case NEVPNStatus::invalid:
        case NEVPNStatus::disconnected:
            if (subscription() == expiredPlanText) {
                raiseAlert(ActiveAlert::subscriptionExpired());
            } else {
                connectionError = std::nullopt;
                preparingConnection = true;
                VPNHelper::shared().connectIPSecIKEv2();
            }
            return;
        case NEVPNStatus::disconnecting:
            return;
    }
}

void TandrelController::noteConnectionOutcome(NEVPNStatus status, const QString& reason)
{
    // A service may give its reason with the drop (reasserting) and not again when it
    // then gives up; the reason stands until the tunnel is back or the user takes it down.
    if (!reason.isEmpty()) {
        m_lastServiceReason = reason;
    }
    if (status == NEVPNStatus::connected) {
        m_lastServiceReason.clear();
        if (connectionError()) {
            connectionError = std::nullopt;
        }
    } else if ((status == NEVPNStatus::disconnected || status == NEVPNStatus::invalid) &&
               !m_lastServiceReason.isEmpty()) {
        // The VPN service gave up on the tunnel and said why.
        connectionError = ConnectFailure::tunnelFailed(std::exchange(m_lastServiceReason, QString()));
    }
}

namespace {

bool keyringLocked()
{
    return Preferences::isLocked(Preferences::Keys::token) || Preferences::isLocked(Preferences::Keys::email);
}

// The request goes out while the token is still stored, and in the session it ends: a
// backend that already voided the token answers it as expired, which then is not news
// for the log-in screen.
void tellBackendLoggedOut()
{
    if (Preferences::token()) {
        Client::shared().logout([](std::optional<Error>, std::optional<JSON>, std::optional<int>) {});
    }
}

void removeSessionItems()
{
    Preferences::setEmail(std::nullopt);
    Preferences::setToken(std::nullopt);
    Preferences::setPassword(std::nullopt);
}

void removeTunnelItems()
{
    Preferences::setVpnUsername(std::nullopt);
    Preferences::setVpnPassword(std::nullopt);
    Preferences::setServer(std::nullopt);
}

}  // namespace

void TandrelController::logout()
{
    const bool locked = keyringLocked();
    if (locked) {
        // Nothing can be removed (nor the token sent) now; remembered, the log-out is
        // completed at the unlock, also by a later start.
        UserDefaults::standard().set(true, kLogoutPendingKey);
        UserDefaults::standard().synchronize();
    } else {
        tellBackendLoggedOut();
    }
    // Before anything is cleared, so that a connect chain or a backend answer still under
    // way stores nothing.
    Session::end();
    if (!locked) {
        removeSessionItems();
    }
    Preferences::setConfigId(0);
    if (!locked) {
        removeTunnelItems();
    }
    VPNHelper::shared().disconnectVPN();
    ApplicationIcon::set(kApplicationIconName);
    NotificationCenter::defaultCenter().post(kShowLoginViewNotification);
}

bool TandrelController::logoutPending()
{
    return UserDefaults::standard().boolForKey(kLogoutPendingKey);
}

bool TandrelController::finishPendingLogout()
{
    if (!logoutPending()) {
        return true;
    }
    if (keyringLocked()) {
        return false;
    }
    tellBackendLoggedOut();
    removeSessionItems();
    removeTunnelItems();
    if (keyringLocked() || Preferences::token() || Preferences::email()) {
        return false;  // locked again in between: the next look finishes it
    }
    UserDefaults::standard().removeObject(kLogoutPendingKey);
    UserDefaults::standard().synchronize();
    printLine(QStringLiteral("Completed the log-out made while the keyring was locked"));
    return true;
}

void TandrelController::resumeAfterUnlock()
{
    if (connectionError() == ConnectFailure::keyringLocked()) {
        connectionError = std::nullopt;
    }
    loadRegions();
    showCurrentSubscription();
}

void TandrelController::showCurrentSubscription()
{
    const quint64 session = Session::current();
    Client::shared().userCurrentPlan([lifetime = m_lifetime, session](std::optional<Error>, std::optional<JSON> json) {
        if (Session::isCurrent(session)) {
            lifetime->with([&](TandrelController& controller) { controller.handlePlanAnswer(json); });
        }
    });
    const std::optional<QString> uid = Preferences::uid();
    if (!uid) {
        printLine(QStringLiteral("Error, missing uid"));
        isTrialPossible = false;
        return;
    }
    Client::shared().isTrialPossibleWithUid(
        *uid, [lifetime = m_lifetime, session](std::optional<Error>, std::optional<JSON> json, std::optional<int>) {
            if (Session::isCurrent(session)) {
                lifetime->with([&](TandrelController& controller) { controller.handleTrialAnswer(json); });
            }
        });
}

void TandrelController::handlePlanAnswer(const std::optional<JSON>& json)
{
    if (!json) {
        return;
    }
    const qint64 deviceCount = (*json)["device_count"].intValue();
    if (deviceCount > 0) {
        maxSlots = deviceCount;
    }
    if ((*json)["status"].stringValue() != QLatin1String("active")) {
        subscription = expiredPlanText;
    } else if ((*json)["is_unlimited"].boolValue()) {
        subscription = QStringLiteral("Current Plan: Lifetime");
    } else if ((*json)["is_trial"].boolValue()) {
        subscription = QStringLiteral("Current Plan: Trial");
    } else {
        subscription = QStringLiteral("Current Plan: ") + (*json)["name"].textValue();
    }
}

void TandrelController::handleTrialAnswer(const std::optional<JSON>& json)
{
    if (!json) {
        printLine(QStringLiteral("Error, not able to parse json."));
        isTrialPossible = false;
        return;
    }
    isTrialPossible = (*json)["isTrialPossible"].stringValue() == QLatin1String("true");
}

void TandrelController::redeemCode()
{
    const std::optional<QString> email = Preferences::email();
    if (!email && Preferences::isLocked(Preferences::Keys::email)) {
        // The e-mail is there, only locked away for now: a failed try, not a log-out.
        handleRedeemAnswer(std::nullopt, std::nullopt);
        return;
    }
    if (!email) {
        logout();
        return;
    }
    Client::shared().redeemCodeByEmail(
        *email, code(),
        [lifetime = m_lifetime, session = Session::current()](std::optional<Error>, std::optional<JSON> json,
                                                              std::optional<int> status) {
            if (Session::isCurrent(session)) {
                lifetime->with([&](TandrelController& controller) { controller.handleRedeemAnswer(json, status); });
            }
        });
}

void TandrelController::handleRedeemAnswer(const std::optional<JSON>& json, std::optional<int> status)
{
    redeemAlertMessage = kRedeemFailedMessage;
    if (status) {
        if (*status == 200 && isRedeemSuccess(json)) {
            redeemAlertMessage = kRedeemSucceededMessage;
        } else if (const std::optional<QString> message = json ? redeemMessageForCode((*json)["code"]) : std::nullopt) {
            redeemAlertMessage = *message;
        } else {
            redeemAlertMessage = kRedeemFailedMessage;
        }
    }
    showCurrentSubscription();
    raiseAlert(ActiveAlert::redeem(redeemAlertMessage()));
}

void TandrelController::raiseAlert(const ActiveAlert& alert)
{
    activeAlert = alert;
    showAlert = true;
}

}  // namespace tandrel

#pragma once

#include "Classes/ConnectFailure.h"
#include "Models/VPNRegion.h"
#include "Network/Client.h"
#include "Network/JSON.h"
#include "Platform/Error.h"
#include "Platform/NetworkExtension/NEVPNStatus.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Published.h"

#include <QString>

#include <array>
#include <memory>
#include <optional>
#include <vector>

namespace tandrel {

// The model behind the main screen and its sheets: the regions and the selection, the
// tunnel's status, the plan text and slot counts, the redeem code and its result, the
// flags that open the sheets, and the main screen's alert. One per main screen, not shared.
class TandrelController : public ObservableObject {
    Q_OBJECT
public:
    // The main screen's alert, identified by a string.
    class ActiveAlert {
    public:
        enum class Kind { redeem, slotsExceeded, subscriptionExpired };

        static ActiveAlert redeem(const QString& message) { return ActiveAlert(Kind::redeem, message); }
        static ActiveAlert slotsExceeded() { return ActiveAlert(Kind::slotsExceeded, {}); }
        static ActiveAlert subscriptionExpired() { return ActiveAlert(Kind::subscriptionExpired, {}); }

        Kind kind() const { return m_kind; }
        // The redeem result's text; empty for the other kinds.
        const QString& message() const { return m_message; }
        // "redeem_" followed by the message, "slotsExceeded" or "subscriptionExpired".
        QString id() const;

        bool operator==(const ActiveAlert&) const = default;

    private:
        ActiveAlert(Kind kind, QString message) : m_kind(kind), m_message(std::move(message)) {}
        Kind m_kind;
        QString m_message;
    };

    // The plan text that blocks connecting and selecting.
    static inline const QString expiredPlanText = QStringLiteral("Your Plan Has Expired");

    explicit TandrelController(QObject* parent = nullptr);
    ~TandrelController() override;

    Published<bool> isTrialPossible{this, false};
    Published<bool> showRedeem{this, false};
    Published<bool> showSettings{this, false};
    Published<bool> showPricing{this, false};
    Published<bool> showManageDevices{this, false};
    Published<bool> showAlert{this, false};  // raised with every alert; nothing reads it
    Published<bool> showExtraSlotsPricing{this, false};
    Published<bool> showPrivacyPolicy{this, false};
    Published<qint64> usedSlots{this, 0};  // written by the device sheet
    Published<qint64> maxSlots{this, 5};
    Published<QString> redeemAlertMessage{this};
    Published<QString> code{this};
    // "", "Your Plan Has Expired", "Current Plan: Lifetime", "Current Plan: Trial" or
    // "Current Plan: " followed by the plan's name.
    Published<QString> subscription{this};
    Published<NEVPNStatus> connectionStatus;
    Published<std::vector<VPNRegion>> regions{this};
    // Starts as the stored region id, present even when it is 0.
    Published<std::optional<qint64>> currentRegion;
    Published<std::optional<ActiveAlert>> activeAlert{this};
    // Why the last connect attempt did not bring the tunnel up; cleared by the next
    // attempt and when the tunnel is up.
    Published<std::optional<ConnectFailure>> connectionError{this};
    // A connect attempt is fetching the configuration and handing it to the VPN service.
    Published<bool> preparingConnection{this, false};
    // The last region load failed and nothing has loaded since.
    Published<bool> regionsLoadFailed{this, false};
    // What went wrong with the last failed load, for the failure panel's sentence.
    Published<Client::FailureKind> regionsLoadFailure{this, Client::FailureKind::network};

    // Stores the region as the selection, then connects or disconnects by the held status.
    void didSelectRegion(const VPNRegion& region);
    // The first region in the list with this id.
    std::optional<VPNRegion> regionById(qint64 regionId) const;
    // Selects the region with this id when the list holds one; otherwise does nothing.
    void didSelectRegion(qint64 regionId);
    // Loads, orders and publishes the regions, then makes a first selection when none is stored.
    void loadRegions();
    // A status the VPN service reported (VPNHelper::statusDidChange): publishes that status
    // on the main queue, and prints and sets the application icon at once.
    void vpnStatusDidChange(NEVPNStatus status, const QString& reason);
    // The application icon's asset name for a tunnel status.
    static QString statusIconName(NEVPNStatus status);
    // The connect button: disconnects while the tunnel is up or coming up, else connects.
    void doConnect();
    // Clears the account and the tunnel's credentials, stops the tunnel and shows the login
    // screen. Leaves this controller's published values as they are.
    void logout();
    // A log-out made while the keyring was locked, not yet completed: nothing of that
    // session may come back, whatever the keyring still holds.
    static bool logoutPending();
    // Completes such a log-out once the keyring can be read: tells the backend with the
    // token, then removes the items. True when none is pending (any more).
    static bool finishPendingLogout();
    // The keyring was unlocked: loads what the lock held back (regions, plan) and drops
    // the word that it was locked.
    void resumeAfterUnlock();
    // Loads the plan text, the device slots and the trial eligibility.
    void showCurrentSubscription();
    // Sends `code` for the account; the result arrives as the redeem alert.
    void redeemCode();

private:
    // Guards this controller against observers and answers that arrive after it is gone.
    // Observers of the VPN service may run on its thread while the owner destroys the
    // controller on the main thread, hence the lock off the main thread; it is recursive because an observer
    // may post a notification that another of ours observes on the same thread.
    struct Lifetime;

    void handleRegionsAnswer(const std::optional<Error>& error, const std::optional<JSON>& json);
    void makeFirstSelection();
    void handlePlanAnswer(const std::optional<JSON>& json);
    void handleTrialAnswer(const std::optional<JSON>& json);
    void handleRedeemAnswer(const std::optional<JSON>& json, std::optional<int> status);
    void raiseAlert(const ActiveAlert& alert);
    void noteConnectionOutcome(NEVPNStatus status, const QString& reason);

    std::shared_ptr<Lifetime> m_lifetime;
    QString m_lastServiceReason;  // the VPN service's last word on why the tunnel dropped
    std::array<NotificationCenter::Token, 3> m_observers{};
};

}  // namespace tandrel

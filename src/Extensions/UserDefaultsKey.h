#pragma once

#include "Platform/UserDefaults.h"

#include <QString>
#include <QVariant>

#include <optional>

namespace tandrel {

// `UserDefaults.Key`: typed keys of the user defaults, named by their raw values.
enum class UserDefaultsKey { reviewWorthyActionCount, lastReviewRequestAppVersion };

QString rawValue(UserDefaultsKey key);
// Exactly the two raw values (letter case counts); nullopt for anything else.
std::optional<UserDefaultsKey> userDefaultsKeyFromRawValue(const QString& text);

// Typed accessors of the user defaults by key.
qint64 integer(const UserDefaults& defaults, UserDefaultsKey key);  // 0 when absent or not a number
std::optional<QString> string(const UserDefaults& defaults, UserDefaultsKey key);
void set(UserDefaults& defaults, qint64 value, UserDefaultsKey key);
// Stores any value; nullopt (or an invalid QVariant) removes the entry.
void set(UserDefaults& defaults, const std::optional<QVariant>& value, UserDefaultsKey key);

// The settings keys that the program reads and writes, each spelled here once so a typo
// cannot silently split one setting into two. (The keys named by Preferences::Keys and the
// updater's own keys in Platform/Updater.h are spelled at those homes.)
inline const QString kKillSwitchKey = QStringLiteral("KillSwitch");
inline const QString kExcludeLocalNetworksKey = QStringLiteral("ExcludeLocalNetworks");
inline const QString kVPNProtocolKey = QStringLiteral("VPNProtocol");
inline const QString kConnectedVPNProtocolKey = QStringLiteral("ConnectedVPNProtocol");
inline const QString kCountryConnectedKey = QStringLiteral("CountryConnected");
// Read with two defaults on purpose: the preferences read true, the log-in screen's plain
// boolean read false.
inline const QString kCompactViewKey = QStringLiteral("CompactView");
inline const QString kSelectedLanguageKey = QStringLiteral("SelectedLanguage");
inline const QString kAppleLanguagesKey = QStringLiteral("AppleLanguages");
inline const QString kKeychainFileNoticeShownKey = QStringLiteral("KeychainFileNoticeShown");
// A log-out while the keyring was locked: its items are removed (and the backend told)
// once the keyring can be read again. Kept here, since the keyring could not be written.
inline const QString kLogoutPendingKey = QStringLiteral("LogoutPending");

}  // namespace tandrel

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

}  // namespace tandrel

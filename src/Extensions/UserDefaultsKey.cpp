#include "Extensions/UserDefaultsKey.h"

namespace tandrel {

QString rawValue(UserDefaultsKey key)
{
    switch (key) {
        case UserDefaultsKey::reviewWorthyActionCount:
            return QStringLiteral("reviewWorthyActionCount");
        case UserDefaultsKey::lastReviewRequestAppVersion:
            return QStringLiteral("lastReviewRequestAppVersion");
    }
    return QString();
}

std::optional<UserDefaultsKey> userDefaultsKeyFromRawValue(const QString& text)
{
    for (const UserDefaultsKey key :
         {UserDefaultsKey::reviewWorthyActionCount, UserDefaultsKey::lastReviewRequestAppVersion}) {
        if (rawValue(key) == text) {
            return key;
        }
    }
    return std::nullopt;
}

qint64 integer(const UserDefaults& defaults, UserDefaultsKey key)
{
    return defaults.integer(rawValue(key));
}

std::optional<QString> string(const UserDefaults& defaults, UserDefaultsKey key)
{
    return defaults.string(rawValue(key));
}

void set(UserDefaults& defaults, qint64 value, UserDefaultsKey key)
{
    defaults.set(value, rawValue(key));
}

void set(UserDefaults& defaults, const std::optional<QVariant>& value, UserDefaultsKey key)
{
    if (!value || !value->isValid()) {
        defaults.removeObject(rawValue(key));
        return;
    }
    defaults.setObject(*value, rawValue(key));
}

}  // namespace tandrel

#pragma once

#include <QString>

namespace tandrel {

// The names of the notifications posted between the client, the controllers and the
// screens, each spelled here once: a misspelt name would still compile and nobody would
// hear the post (a log-out that never happens).
inline const QString kLogoutNotification = QStringLiteral("logout");
inline const QString kShowLoginViewNotification = QStringLiteral("showLoginView");
inline const QString kShowSlotsPaymentAlertNotification = QStringLiteral("showSlotsPaymentAlert");
inline const QString kShowSubscriptionExpiredAlertNotification = QStringLiteral("showSubscriptionExpiredAlert");

}  // namespace tandrel

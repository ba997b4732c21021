#pragma once

#include <QString>
#include <QVariantMap>

namespace tandrel {

// An error as the rest of the program passes it around: a domain, an integer code and
// optional user information. The localized description lives under
// `Error::localizedDescriptionKey` in the user information.
class Error {
public:
    static inline const QString localizedDescriptionKey = QStringLiteral("NSLocalizedDescription");

    Error() = default;
    Error(QString domain, int code, QVariantMap userInfo = {});
    // Convenience: an error whose user information holds only a localized description.
    static Error withDescription(QString domain, int code, const QString& localizedDescription);

    const QString& domain() const { return m_domain; }
    int code() const { return m_code; }
    const QVariantMap& userInfo() const { return m_userInfo; }

    // The text shown to a user: the localized description when one is given, else the
    // generic "The operation couldn’t be completed. (<domain> error <code>.)".
    QString localizedDescription() const;
    // The full form, as printed when the error value itself is printed:
    // Error Domain=<domain> Code=<code> "<localized description>" [UserInfo={k=v, …}]
    QString description() const;

    bool operator==(const Error& other) const = default;

private:
    QString m_domain;
    int m_code = 0;
    QVariantMap m_userInfo;
};

}  // namespace tandrel

#include "Platform/Error.h"

#include <QStringList>

namespace tandrel {

Error::Error(QString domain, int code, QVariantMap userInfo)
    : m_domain(std::move(domain)), m_code(code), m_userInfo(std::move(userInfo))
{
}

Error Error::withDescription(QString domain, int code, const QString& localizedDescription)
{
    return Error(std::move(domain), code, {{localizedDescriptionKey, localizedDescription}});
}

QString Error::localizedDescription() const
{
    const QVariant described = m_userInfo.value(localizedDescriptionKey);
    if (described.isValid()) {
        return described.toString();
    }
    // One arg() call: chained calls would substitute into a domain that holds "%1".
    return QStringLiteral("The operation couldn’t be completed. (%1 error %2.)").arg(m_domain, QString::number(m_code));
}

QString Error::description() const
{
    QString text =
        QStringLiteral("Error Domain=%1 Code=%2 \"%3\"").arg(m_domain, QString::number(m_code), localizedDescription());
    if (!m_userInfo.isEmpty()) {
        QStringList entries;
        for (auto it = m_userInfo.cbegin(); it != m_userInfo.cend(); ++it) {
            entries << it.key() + QLatin1Char('=') + it.value().toString();
        }
        text += QStringLiteral(" UserInfo={") + entries.join(QStringLiteral(", ")) + QLatin1Char('}');
    }
    return text;
}

}  // namespace tandrel

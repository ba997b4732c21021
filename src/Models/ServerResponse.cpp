#include "Models/ServerResponse.h"

#include <QVariantMap>

namespace tandrel {

namespace {

std::optional<QString> textFor(const QVariantMap& representation, const QString& key)
{
    const auto found = representation.constFind(key);
    if (found == representation.constEnd() || found->typeId() != QMetaType::QString) {
        return std::nullopt;
    }
    return found->toString();
}

}  // namespace

ServerResponse::ServerResponse(QString shortName, QString continent)
    : shortName(std::move(shortName)), continent(std::move(continent))
{
}

std::optional<ServerResponse> ServerResponse::make(const HTTPURLResponse& response, const QVariant& representation)
{
    Q_UNUSED(response);
    // Anything but a map has no values by key, and builds nothing.
    if (representation.typeId() != QMetaType::QVariantMap) {
        return std::nullopt;
    }
    const QVariantMap values = representation.toMap();
    const std::optional<QString> shortName = textFor(values, QStringLiteral("short_name"));
    if (!shortName) {
        return std::nullopt;
    }
    const std::optional<QString> continent = textFor(values, QStringLiteral("continent"));
    if (!continent) {
        return std::nullopt;
    }
    return ServerResponse(*shortName, *continent);
}

}  // namespace tandrel

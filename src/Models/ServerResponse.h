#pragma once

#include <QByteArray>
#include <QMap>
#include <QString>
#include <QUrl>
#include <QVariant>

#include <concepts>
#include <optional>

namespace tandrel {

// The parts of an HTTP answer a model may look at when it is built from one.
struct HTTPURLResponse {
    QUrl url;
    int statusCode = 0;
    QMap<QByteArray, QByteArray> headerFields;
};

// A model built from a response and a representation of its content (a QVariantMap read
// by key); building fails, giving nullopt, when the representation lacks what it needs.
template <typename T>
concept ResponseObjectSerializable = requires(const HTTPURLResponse& response, const QVariant& representation)
{
    {
        T::make(response, representation)
        } -> std::same_as<std::optional<T>>;
};

class ServerResponse {
public:
    ServerResponse() = delete;

    // Reads "short_name" and then "continent"; nullopt unless both are texts.
    static std::optional<ServerResponse> make(const HTTPURLResponse& response, const QVariant& representation);

    const QString shortName;
    const QString continent;

private:
    ServerResponse(QString shortName, QString continent);
};

}  // namespace tandrel

#include "Models/KeyedDecoder.h"

#include <cfloat>
#include <cmath>
#include <limits>

namespace tandrel {

namespace {
// 2^63 is exactly representable as a double; every integral double below it fits in qint64.
constexpr double kInt64Bound = 9223372036854775808.0;

QString numberText(const nlohmann::json& value)
{
    return QString::fromStdString(value.dump());
}
}  // namespace

DecodingFailure::DecodingFailure(Error error)
    : std::runtime_error(error.description().toStdString()), m_error(std::move(error))
{
}

KeyedDecoder::KeyedDecoder(const nlohmann::json& value, QString codingPath)
    : m_object(value), m_codingPath(std::move(codingPath))
{
    if (value.is_null()) {
        fail(DecodingErrorCode::valueNotFound, QStringLiteral("Expected a keyed object but found null instead."),
             m_codingPath);
    }
    if (!value.is_object()) {
        fail(DecodingErrorCode::typeMismatch,
             QStringLiteral("Expected to decode a keyed object but found %1 instead.").arg(describeType(value)),
             m_codingPath);
    }
}

const nlohmann::json& KeyedDecoder::required(const char* key, const char* expectedType) const
{
    const auto found = m_object.find(key);
    if (found == m_object.end()) {
        fail(DecodingErrorCode::keyNotFound, QStringLiteral("No value associated with key \"%1\".").arg(key),
             m_codingPath);
    }
    if (found->is_null()) {
        fail(DecodingErrorCode::valueNotFound,
             QStringLiteral("Expected %1 value but found null instead.").arg(QLatin1String(expectedType)),
             pathAppendingKey(m_codingPath, key));
    }
    return *found;
}

qint64 KeyedDecoder::decodeInt64(const char* key) const
{
    const nlohmann::json& value = required(key, "Int64");
    switch (value.type()) {
        case nlohmann::json::value_t::number_integer:
            return value.get<std::int64_t>();
        case nlohmann::json::value_t::number_unsigned: {
            const auto number = value.get<std::uint64_t>();
            if (number <= static_cast<std::uint64_t>(std::numeric_limits<qint64>::max())) {
                return static_cast<qint64>(number);
            }
            break;
        }
        case nlohmann::json::value_t::number_float: {
            const double number = value.get<double>();
            if (std::trunc(number) == number && number >= -kInt64Bound && number < kInt64Bound) {
                return static_cast<qint64>(number);
            }
            break;
        }
        default:
            fail(DecodingErrorCode::typeMismatch,
                 QStringLiteral("Expected to decode Int64 but found %1 instead.").arg(describeType(value)),
                 pathAppendingKey(m_codingPath, key));
    }
    fail(DecodingErrorCode::dataCorrupted,
         QStringLiteral("Parsed JSON number <%1> does not fit in Int64.").arg(numberText(value)),
         pathAppendingKey(m_codingPath, key));
}

std::optional<qint64> KeyedDecoder::decodeInt64IfPresent(const char* key) const
{
    const auto found = m_object.find(key);
    if (found == m_object.end() || found->is_null()) {
        return std::nullopt;
    }
    return decodeInt64(key);
}

bool KeyedDecoder::decodeBool(const char* key) const
{
    const nlohmann::json& value = required(key, "Bool");
    if (!value.is_boolean()) {
        fail(DecodingErrorCode::typeMismatch,
             QStringLiteral("Expected to decode Bool but found %1 instead.").arg(describeType(value)),
             pathAppendingKey(m_codingPath, key));
    }
    return value.get<bool>();
}

QString KeyedDecoder::decodeString(const char* key) const
{
    const nlohmann::json& value = required(key, "String");
    if (!value.is_string()) {
        fail(DecodingErrorCode::typeMismatch,
             QStringLiteral("Expected to decode String but found %1 instead.").arg(describeType(value)),
             pathAppendingKey(m_codingPath, key));
    }
    return QString::fromStdString(value.get_ref<const std::string&>());
}

float KeyedDecoder::decodeFloat(const char* key) const
{
    const nlohmann::json& value = required(key, "Float");
    if (!value.is_number()) {
        fail(DecodingErrorCode::typeMismatch,
             QStringLiteral("Expected to decode Float but found %1 instead.").arg(describeType(value)),
             pathAppendingKey(m_codingPath, key));
    }
    const double number = value.get<double>();
    if (!(std::fabs(number) <= static_cast<double>(FLT_MAX))) {
        fail(DecodingErrorCode::dataCorrupted,
             QStringLiteral("Parsed JSON number <%1> does not fit in Float.").arg(numberText(value)),
             pathAppendingKey(m_codingPath, key));
    }
    return static_cast<float>(number);
}

KeyedDecoder KeyedDecoder::nestedContainer(const char* key) const
{
    return KeyedDecoder(required(key, "a keyed object"), pathAppendingKey(m_codingPath, key));
}

QString KeyedDecoder::pathAppendingIndex(const QString& path, std::size_t index)
{
    return path + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
}

QString KeyedDecoder::pathAppendingKey(const QString& path, const char* key)
{
    return path.isEmpty() ? QString::fromUtf8(key) : path + QLatin1Char('.') + QString::fromUtf8(key);
}

QString KeyedDecoder::describeType(const nlohmann::json& value)
{
    switch (value.type()) {
        case nlohmann::json::value_t::null:
            return QStringLiteral("null");
        case nlohmann::json::value_t::boolean:
            return QStringLiteral("a boolean");
        case nlohmann::json::value_t::string:
            return QStringLiteral("a string");
        case nlohmann::json::value_t::array:
            return QStringLiteral("an array");
        case nlohmann::json::value_t::object:
            return QStringLiteral("a keyed object");
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return QStringLiteral("a number");
        default:
            return QStringLiteral("an unsupported value");
    }
}

void KeyedDecoder::fail(int code, const QString& message, const QString& codingPath)
{
    const QString where = codingPath.isEmpty() ? QStringLiteral("the top level") : codingPath;
    throw DecodingFailure(
        Error::withDescription(kDecodingErrorDomain, code, message + QStringLiteral(" (at %1)").arg(where)));
}

}  // namespace tandrel

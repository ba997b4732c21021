#pragma once

#include "Platform/Error.h"

#include <QString>

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>

namespace tandrel {

// Why a typed decode failed. Codes follow the four kinds a typed JSON decoder reports.
namespace DecodingErrorCode {
inline constexpr int typeMismatch = 0;
inline constexpr int valueNotFound = 1;
inline constexpr int keyNotFound = 2;
inline constexpr int dataCorrupted = 3;
}  // namespace DecodingErrorCode

inline const QString kDecodingErrorDomain = QStringLiteral("DecodingError");

// Thrown while decoding and turned into an Error where the decode started, so that one bad
// element fails the whole value without every field read checking a result.
class DecodingFailure : public std::runtime_error {
public:
    explicit DecodingFailure(Error error);
    const Error& error() const { return m_error; }

private:
    Error m_error;
};

// Reads one JSON object as a typed decoder in its default configuration would: every
// required key present with a value of its JSON type, no conversions between types.
// - integers: integral numbers within 64 bits (1.0 is 1; 1.5 and 2^63 are not integers);
// - floats: any number whose magnitude fits a 32-bit float (precision may be lost);
// - booleans only true/false, strings only strings; null is no value;
// - keys the caller does not ask for are ignored.
class KeyedDecoder {
public:
    // `codingPath` names where `value` sits inside the whole answer, for error texts.
    // Throws DecodingFailure when `value` is not an object.
    KeyedDecoder(const nlohmann::json& value, QString codingPath);

    qint64 decodeInt64(const char* key) const;
    // A missing key and a null both give no value.
    std::optional<qint64> decodeInt64IfPresent(const char* key) const;
    bool decodeBool(const char* key) const;
    QString decodeString(const char* key) const;
    float decodeFloat(const char* key) const;
    KeyedDecoder nestedContainer(const char* key) const;

    const QString& codingPath() const { return m_codingPath; }

    static QString pathAppendingIndex(const QString& path, std::size_t index);
    static QString pathAppendingKey(const QString& path, const char* key);
    // The JSON type of a value as error texts name it ("a string", "null", …).
    static QString describeType(const nlohmann::json& value);
    [[noreturn]] static void fail(int code, const QString& message, const QString& codingPath);

private:
    // The value under `key`, or a keyNotFound / valueNotFound failure.
    const nlohmann::json& required(const char* key, const char* expectedType) const;

    const nlohmann::json& m_object;
    QString m_codingPath;
};

}  // namespace tandrel

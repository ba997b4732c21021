#pragma once

#include "Platform/Error.h"
#include "Platform/Result.h"

#include <QByteArray>
#include <QString>

#include <nlohmann/json.hpp>

#include <optional>
#include <vector>

namespace tandrel {

// A dynamic JSON value with the accessor rules every backend reader relies on.
// A member lookup on an absent key, or on a value that is not an object, gives a null
// value that carries an error; a key present with null is present (no error).
class JSON {
public:
    enum class Type { number, string, boolean, array, object, null };

    JSON();  // null, no error
    explicit JSON(nlohmann::json value);

    // Parses an object or an array at the top level; anything else is an error whose
    // localized description says where and why, without quoting the data. A document that
    // would take too much memory once read is refused with `tooLargeCode`.
    static Result<JSON> parse(const QByteArray& data);
    static inline const QString parseErrorDomain = QStringLiteral("JSONParseError");
    static constexpr int notJSONCode = 3840;
    static constexpr int tooLargeCode = 3841;

    Type type() const;
    bool exists() const;                 // false when the lookup carried an error
    std::optional<Error> error() const;  // the lookup's error, if any

    JSON operator[](const QString& key) const;
    JSON operator[](const char* key) const { return (*this)[QString::fromUtf8(key)]; }
    JSON operator[](qsizetype index) const;
    // `json[0]` would otherwise be ambiguous with the text lookup.
    JSON operator[](int index) const { return (*this)[static_cast<qsizetype>(index)]; }

    std::optional<QString> string() const;
    QString stringValue() const;
    // `stringValue()` for a text that is shown or stored: kept to `limit` characters, a
    // longer one cut and ended with "…", so no text from the backend can hold up a window
    // that lays it out. Names and messages stay within `nameLimit`.
    static constexpr qsizetype nameLimit = 1024;
    QString textValue(qsizetype limit = nameLimit) const { return shortened(stringValue(), limit); }
    static QString shortened(QString text, qsizetype limit = nameLimit);
    std::optional<qint64> int_() const;
    qint64 intValue() const;
    std::optional<bool> bool_() const;
    bool boolValue() const;
    std::optional<double> double_() const;
    double doubleValue() const;
    std::optional<std::vector<JSON>> array() const;
    std::vector<JSON> arrayValue() const;

    // True only for a text value with exactly this text.
    bool operator==(const QString& text) const;
    bool operator==(const char* text) const { return *this == QString::fromUtf8(text); }

    // The value serialised back to JSON bytes (for typed decoding).
    Result<QByteArray> rawData() const;

    const nlohmann::json& raw() const { return m_value; }

private:
    nlohmann::json m_value;
    std::optional<Error> m_error;
};

}  // namespace tandrel

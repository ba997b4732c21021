#include "Network/JSON.h"

#include <QLocale>
#include <QStringList>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>
#include <string_view>

namespace tandrel {

namespace {

// Deeper documents are refused while parsing: copying, comparing and serialising a value
// recurse once per level, and a hostile answer must not exhaust the stack.
constexpr int kMaximumNestingDepth = 512;

// What a parsed document may hold in memory, estimated as it is built. A 16 MiB answer of
// `[{},{},…]` would otherwise grow to more than thirty times its size; every real answer
// (a few hundred regions, a handful of plans or devices) needs a few MiB at most.
constexpr size_t kMaximumParsedBytes = 32 * 1024 * 1024;
// Estimates per value, after the library's layout: a value is 16 bytes, an array's spare
// capacity can double that, a text or a container is a separate allocation, and an object
// member is a tree node holding its key.
constexpr size_t kValueCost = 32;
constexpr size_t kContainerCost = 64;
constexpr size_t kTextCost = 48;
constexpr size_t kMemberCost = 112;

// No text the backend sends comes near this (the longest are certificates of a few KiB);
// the parser would hold a longer one up to three times over while reading it.
constexpr qsizetype kMaximumTextBytes = 1024 * 1024;

const QString kParseErrorDomain = JSON::parseErrorDomain;
const QString kLookupErrorDomain = QStringLiteral("JSONError");
constexpr int kNotExistCode = 500;
constexpr int kIndexOutOfBoundsCode = 900;
constexpr int kWrongTypeCode = 901;
constexpr int kInvalidJSONCode = 490;

Error parseError(int code, const QString& reason)
{
    return Error::withDescription(
        kParseErrorDomain, code,
        QStringLiteral("The data couldn’t be read because it isn’t in the correct format (%1).").arg(reason));
}

// Whether a text in the document, quoted or not yet closed, runs longer than the limit.
// Looked for before parsing, so such a text takes no memory at all.
bool holdsOverlongText(const QByteArray& data)
{
    bool inString = false;
    bool escaped = false;
    qsizetype length = 0;
    for (const char c : data) {
        if (!inString) {
            if (c == '"') {
                inString = true;
                length = 0;
            }
            continue;
        }
        if (++length > kMaximumTextBytes) {
            return true;
        }
        if (escaped) {
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '"') {
            inString = false;
        }
    }
    return false;
}

// The parser's own account of a syntax error, without the bytes it had read: the text being
// parsed may hold a token or a password, and a megabyte of it must not reach a window.
// What is kept is the library's fixed wording: the context, the lexer's reason and, when it
// is one of the token names the library uses, what it expected instead.
QString syntaxErrorReason(const std::exception& failure)
{
    std::string message = failure.what();
    const size_t tagEnd = message.find("] ");
    if (!message.empty() && message.front() == '[' && tagEnd != std::string::npos) {
        message.erase(0, tagEnd + 2);
    }
    const size_t located = message.find(": syntax error");
    if (message.rfind("parse error", 0) == 0 && located != std::string::npos) {
        message.erase(0, located + 2);
    }
    const size_t lastRead = message.find("; last read: ");
    if (lastRead == std::string::npos) {
        return QString::fromStdString(message);
    }
    static const std::string expectations[] = {"true literal",   "false literal", "null literal", "string literal",
                                               "number literal", "'['",           "'{'",          "']'",
                                               "'}'",            "':'",           "','",          "end of input",
                                               "'[', '{', or a literal"};
    std::string expected;
    for (const std::string& name : expectations) {
        const std::string suffix = "'; expected " + name;
        if (message.size() >= suffix.size() && message.compare(message.size() - suffix.size(), suffix.size(), suffix) == 0) {
            expected = "; expected " + name;
            break;
        }
    }
    return QString::fromStdString(message.substr(0, lastRead) + expected);
}

// Builds the document event by event, as the library's own builder does, and stops as soon
// as the document would be too deep or too large, before the memory is taken.
class BoundedBuilder {
public:
    using json = nlohmann::json;

    explicit BoundedBuilder(json& root) : m_root(root) {}

    std::optional<Error> failure;

    bool null() { return charge(kValueCost) && put(nullptr); }
    bool boolean(bool value) { return charge(kValueCost) && put(value); }
    bool number_integer(json::number_integer_t value) { return charge(kValueCost) && put(value); }
    bool number_unsigned(json::number_unsigned_t value) { return charge(kValueCost) && put(value); }
    bool number_float(json::number_float_t value, const json::string_t&) { return charge(kValueCost) && put(value); }
    // Moved out of the parser's buffer, without its spare capacity: a long text is held once.
    bool string(json::string_t& value)
    {
        value.shrink_to_fit();
        return charge(kValueCost + kTextCost + value.size()) && put(std::move(value));
    }
    bool binary(json::binary_t&) { return false; }  // JSON text has no binary values

    bool start_object(size_t) { return open(json::object()); }
    bool key(json::string_t& name)
    {
        if (!charge(kMemberCost + name.size())) {
            return false;
        }
        m_member = &(*m_stack.back())[std::move(name)];
        return true;
    }
    bool end_object() { return close(); }
    bool start_array(size_t) { return open(json::array()); }
    bool end_array() { return close(); }

    bool parse_error(size_t position, const std::string&, const nlohmann::detail::exception& error)
    {
        // The library counts the bytes it read, the offending one included.
        failure = parseError(JSON::notJSONCode, QStringLiteral("at byte %1: %2")
                                                    .arg(position > 0 ? position - 1 : 0)
                                                    .arg(syntaxErrorReason(error)));
        return false;
    }

private:
    bool charge(size_t bytes)
    {
        m_spent += bytes;
        if (m_spent <= kMaximumParsedBytes) {
            return true;
        }
        failure = parseError(JSON::tooLargeCode,
                             QStringLiteral("larger than %1 MiB once read").arg(kMaximumParsedBytes >> 20));
        return false;
    }

    template <typename Value>
    json* put(Value&& value)
    {
        if (m_stack.empty()) {
            m_root = json(std::forward<Value>(value));
            return &m_root;
        }
        if (m_stack.back()->is_array()) {
            m_stack.back()->push_back(json(std::forward<Value>(value)));
            return &m_stack.back()->back();
        }
        *m_member = json(std::forward<Value>(value));
        return m_member;
    }

    bool open(json empty)
    {
        if (static_cast<int>(m_stack.size()) >= kMaximumNestingDepth) {
            failure = parseError(JSON::notJSONCode,
                                 QStringLiteral("nested more than %1 levels deep").arg(kMaximumNestingDepth));
            return false;
        }
        if (!charge(kValueCost + kContainerCost)) {
            return false;
        }
        m_stack.push_back(put(std::move(empty)));
        return true;
    }

    bool close()
    {
        m_stack.pop_back();
        return true;
    }

    json& m_root;
    std::vector<json*> m_stack;
    json* m_member = nullptr;
    size_t m_spent = 0;
};

// nlohmann's message without its "[json.exception.parse_error.101] " tag.
QString describeParseFailure(const std::exception& failure)
{
    QString message = QString::fromUtf8(failure.what());
    if (message.startsWith(QLatin1Char('['))) {
        const qsizetype close = message.indexOf(QLatin1String("] "));
        if (close >= 0) {
            message = message.mid(close + 2);
        }
    }
    return message;
}

qint64 saturatingTruncation(double value)
{
    if (std::isnan(value)) {
        return 0;
    }
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    constexpr double limit = 9223372036854775808.0;
    if (value >= limit) {
        return std::numeric_limits<qint64>::max();
    }
    if (value < -limit) {
        return std::numeric_limits<qint64>::min();
    }
    return static_cast<qint64>(value);  // truncates towards zero
}

// A text read as a decimal number: optional blanks, sign, digits, fraction and exponent,
// taken from the start of the text; nullopt when no digit leads it.
std::optional<double> leadingDecimalNumber(const QString& text)
{
    const QByteArray bytes = text.trimmed().toUtf8();
    const char* begin = bytes.constData();
    const char* end = begin + bytes.size();
    const char* cursor = begin;
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };

    if (cursor != end && (*cursor == '+' || *cursor == '-')) {
        ++cursor;
    }
    const char* numberStart = cursor;
    bool sawDigit = false;
    while (cursor != end && isDigit(*cursor)) {
        ++cursor;
        sawDigit = true;
    }
    if (cursor != end && *cursor == '.') {
        ++cursor;
        while (cursor != end && isDigit(*cursor)) {
            ++cursor;
            sawDigit = true;
        }
    }
    if (!sawDigit) {
        return std::nullopt;
    }
    if (cursor != end && (*cursor == 'e' || *cursor == 'E')) {
        const char* exponent = cursor + 1;
        if (exponent != end && (*exponent == '+' || *exponent == '-')) {
            ++exponent;
        }
        if (exponent != end && isDigit(*exponent)) {
            while (exponent != end && isDigit(*exponent)) {
                ++exponent;
            }
            cursor = exponent;
        }
    }
    const bool negative = *begin == '-';
    const std::string_view digits(numberStart, static_cast<size_t>(cursor - numberStart));
    double magnitude = 0;
    const auto status = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude).ec;
    if (status == std::errc::result_out_of_range) {
        // Beyond what a double holds: a negative exponent means a vanishing fraction.
        const size_t exponentMark = digits.find_first_of("eE");
        const bool vanishing = exponentMark != std::string_view::npos && exponentMark + 1 < digits.size() &&
                               digits[exponentMark + 1] == '-';
        magnitude = vanishing ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (status != std::errc()) {
        return std::nullopt;
    }
    return negative ? -magnitude : magnitude;
}

QString numberText(const nlohmann::json& value)
{
    if (value.is_number_integer()) {
        return value.is_number_unsigned() ? QString::number(value.get<quint64>())
                                          : QString::number(value.get<qint64>());
    }
    const double number = value.get<double>();
    if (std::isfinite(number) && std::trunc(number) == number && std::fabs(number) < 1e17) {
        return QString::number(static_cast<qint64>(number));
    }
    return QString::number(number, 'g', QLocale::FloatingPointShortest);
}

}  // namespace

JSON::JSON() = default;

JSON::JSON(nlohmann::json value) : m_value(std::move(value)) {}

Result<JSON> JSON::parse(const QByteArray& data)
{
    if (holdsOverlongText(data)) {
        return parseError(tooLargeCode, QStringLiteral("a text longer than %1 MiB").arg(kMaximumTextBytes >> 20));
    }
    nlohmann::json parsed;
    BoundedBuilder builder(parsed);
    const bool complete = nlohmann::json::sax_parse(data.cbegin(), data.cend(), &builder);
    if (!complete) {
        return builder.failure.value_or(parseError(notJSONCode, QStringLiteral("unreadable")));
    }
    if (!parsed.is_object() && !parsed.is_array()) {
        return parseError(notJSONCode, QStringLiteral("the top level is neither an object nor an array"));
    }
    return JSON(std::move(parsed));
}

JSON::Type JSON::type() const
{
    switch (m_value.type()) {
        case nlohmann::json::value_t::number_integer:
        case nlohmann::json::value_t::number_unsigned:
        case nlohmann::json::value_t::number_float:
            return Type::number;
        case nlohmann::json::value_t::string:
            return Type::string;
        case nlohmann::json::value_t::boolean:
            return Type::boolean;
        case nlohmann::json::value_t::array:
            return Type::array;
        case nlohmann::json::value_t::object:
            return Type::object;
        default:
            return Type::null;
    }
}

bool JSON::exists() const
{
    return !m_error.has_value();
}

std::optional<Error> JSON::error() const
{
    return m_error;
}

JSON JSON::operator[](const QString& key) const
{
    JSON member;
    if (m_error) {
        member.m_error = m_error;
        return member;
    }
    if (!m_value.is_object()) {
        member.m_error =
            Error::withDescription(kLookupErrorDomain, kWrongTypeCode,
                                   QStringLiteral("Dictionary[\"%1\"] failure, it is not a dictionary").arg(key));
        return member;
    }
    const auto found = m_value.find(key.toStdString());
    if (found == m_value.end()) {
        member.m_error = Error::withDescription(kLookupErrorDomain, kNotExistCode,
                                                QStringLiteral("Dictionary[\"%1\"] does not exist").arg(key));
        return member;
    }
    member.m_value = *found;
    return member;
}

JSON JSON::operator[](qsizetype index) const
{
    JSON element;
    if (m_error) {
        element.m_error = m_error;
        return element;
    }
    if (!m_value.is_array()) {
        element.m_error = Error::withDescription(kLookupErrorDomain, kWrongTypeCode,
                                                 QStringLiteral("Array[%1] failure, It is not an array").arg(index));
        return element;
    }
    if (index < 0 || static_cast<size_t>(index) >= m_value.size()) {
        element.m_error = Error::withDescription(kLookupErrorDomain, kIndexOutOfBoundsCode,
                                                 QStringLiteral("Array[%1] is out of bounds").arg(index));
        return element;
    }
    element.m_value = m_value[static_cast<size_t>(index)];
    return element;
}

std::optional<QString> JSON::string() const
{
    if (!m_value.is_string()) {
        return std::nullopt;
    }
    return QString::fromStdString(m_value.get_ref<const std::string&>());
}

QString JSON::stringValue() const
{
    switch (type()) {
        case Type::string:
            return QString::fromStdString(m_value.get_ref<const std::string&>());
        case Type::boolean:
            return m_value.get<bool>() ? QStringLiteral("true") : QStringLiteral("false");
        case Type::number:
            return numberText(m_value);
        default:
            return QString();
    }
}

QString JSON::shortened(QString text, qsizetype limit)
{
    if (text.size() <= limit) {
        return text;
    }
    qsizetype kept = limit - 1;
    if (kept > 0 && text.at(kept - 1).isHighSurrogate()) {
        --kept;  // never half a character
    }
    text.truncate(kept);
    return text + QChar(0x2026);
}

std::optional<qint64> JSON::int_() const
{
    if (m_value.is_boolean()) {
        return m_value.get<bool>() ? 1 : 0;
    }
    if (m_value.is_number_unsigned()) {
        const quint64 number = m_value.get<quint64>();
        return number > static_cast<quint64>(std::numeric_limits<qint64>::max()) ? std::numeric_limits<qint64>::max()
                                                                                 : static_cast<qint64>(number);
    }
    if (m_value.is_number_integer()) {
        return m_value.get<qint64>();
    }
    if (m_value.is_number_float()) {
        return saturatingTruncation(m_value.get<double>());
    }
    return std::nullopt;
}

qint64 JSON::intValue() const
{
    if (const auto number = int_()) {
        return *number;
    }
    if (m_value.is_string()) {
        const auto number = leadingDecimalNumber(*string());
        return number ? saturatingTruncation(*number) : 0;
    }
    return 0;
}

std::optional<bool> JSON::bool_() const
{
    if (!m_value.is_boolean()) {
        return std::nullopt;
    }
    return m_value.get<bool>();
}

bool JSON::boolValue() const
{
    switch (type()) {
        case Type::boolean:
            return m_value.get<bool>();
        case Type::number:
            return m_value.get<double>() != 0.0;
        case Type::string: {
            static const QStringList truthy = {QStringLiteral("true"), QStringLiteral("y"), QStringLiteral("t"),
                                               QStringLiteral("yes"), QStringLiteral("1")};
            return truthy.contains(*string(), Qt::CaseInsensitive);
        }
        default:
            return false;
    }
}

std::optional<double> JSON::double_() const
{
    if (m_value.is_boolean()) {
        return m_value.get<bool>() ? 1.0 : 0.0;
    }
    if (m_value.is_number()) {
        return m_value.get<double>();
    }
    return std::nullopt;
}

double JSON::doubleValue() const
{
    if (const auto number = double_()) {
        return *number;
    }
    if (m_value.is_string()) {
        return leadingDecimalNumber(*string()).value_or(0.0);
    }
    return 0.0;
}

std::optional<std::vector<JSON>> JSON::array() const
{
    if (!m_value.is_array()) {
        return std::nullopt;
    }
    std::vector<JSON> elements;
    elements.reserve(m_value.size());
    for (const nlohmann::json& element : m_value) {
        elements.emplace_back(element);
    }
    return elements;
}

std::vector<JSON> JSON::arrayValue() const
{
    return array().value_or(std::vector<JSON>{});
}

bool JSON::operator==(const QString& text) const
{
    return m_value.is_string() && m_value.get_ref<const std::string&>() == text.toStdString();
}

Result<QByteArray> JSON::rawData() const
{
    // As the platform's serialiser: only an object or an array is a JSON document.
    if (m_error || (!m_value.is_object() && !m_value.is_array())) {
        return Error::withDescription(kLookupErrorDomain, kInvalidJSONCode, QStringLiteral("JSON is invalid"));
    }
    try {
        return QByteArray::fromStdString(m_value.dump());
    } catch (const std::exception& failure) {
        // A value built in code may hold text that is not UTF-8.
        return Error::withDescription(kLookupErrorDomain, kInvalidJSONCode,
                                      QStringLiteral("JSON is invalid (%1)").arg(describeParseFailure(failure)));
    }
}

}  // namespace tandrel

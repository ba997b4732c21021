#include "MultipartForm.h"

#include "HttpServer.h"

namespace tandrel::demo {

namespace {

constexpr qsizetype kMaxParts = 1000;
constexpr qsizetype kMaxBoundaryLength = 70;

using Parameters = QList<QPair<QByteArray, QByteArray>>;

bool isBoundaryChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return QByteArrayView("'()+_,-./:=? ").contains(c);
}

class HeaderValueReader {
public:
    explicit HeaderValueReader(QByteArrayView text) : m_text(text) {}

    bool atEnd() const { return m_pos >= m_text.size(); }
    char peek() const { return m_text[m_pos]; }

    void skipSpace()
    {
        while (!atEnd() && (peek() == ' ' || peek() == '\t')) {
            ++m_pos;
        }
    }

    QByteArray token()
    {
        const qsizetype start = m_pos;
        while (!atEnd() && isHttpTokenChar(peek())) {
            ++m_pos;
        }
        return m_text.sliced(start, m_pos - start).toByteArray();
    }

    bool take(char c)
    {
        if (!atEnd() && peek() == c) {
            ++m_pos;
            return true;
        }
        return false;
    }

    std::optional<QByteArray> quotedString()
    {
        QByteArray value;
        ++m_pos;  // the opening quote
        while (!atEnd()) {
            const char c = m_text[m_pos++];
            if (c == '"') {
                return value;
            }
            if (c == '\\') {
                if (atEnd()) {
                    return std::nullopt;
                }
                value.append(m_text[m_pos++]);
            } else {
                value.append(c);
            }
        }
        return std::nullopt;
    }

private:
    QByteArrayView m_text;
    qsizetype m_pos = 0;
};

// "type[/subtype] *( ; name=value )" with token or quoted-string values; parameter names
// come back in lower case. Nothing when the text does not follow that grammar.
std::optional<QPair<QByteArray, Parameters>> parseHeaderValue(QByteArrayView text, bool withSubtype)
{
    HeaderValueReader reader(text);
    reader.skipSpace();
    QByteArray type = reader.token();
    if (type.isEmpty()) {
        return std::nullopt;
    }
    if (withSubtype) {
        if (!reader.take('/')) {
            return std::nullopt;
        }
        const QByteArray subtype = reader.token();
        if (subtype.isEmpty()) {
            return std::nullopt;
        }
        type += '/' + subtype;
    }
    Parameters parameters;
    while (true) {
        reader.skipSpace();
        if (reader.atEnd()) {
            break;
        }
        if (!reader.take(';')) {
            return std::nullopt;
        }
        reader.skipSpace();
        if (reader.atEnd()) {
            break;  // a trailing semicolon
        }
        const QByteArray name = reader.token().toLower();
        if (name.isEmpty()) {
            return std::nullopt;
        }
        reader.skipSpace();
        if (!reader.take('=')) {
            return std::nullopt;
        }
        reader.skipSpace();
        std::optional<QByteArray> value;
        if (!reader.atEnd() && reader.peek() == '"') {
            value = reader.quotedString();
        } else {
            value = reader.token();
            if (value->isEmpty()) {
                value.reset();
            }
        }
        if (!value) {
            return std::nullopt;
        }
        parameters.append({name, *value});
    }
    return QPair<QByteArray, Parameters>{type.toLower(), parameters};
}

QList<QByteArray> parameterValues(const Parameters& parameters, QByteArrayView name)
{
    QList<QByteArray> values;
    for (const auto& [key, value] : parameters) {
        if (key == name) {
            values.append(value);
        }
    }
    return values;
}

}  // namespace

std::optional<QByteArray> MultipartForm::boundaryOf(QByteArrayView contentType, QString* error)
{
    auto fail = [error](const QString& why) -> std::optional<QByteArray> {
        if (error) {
            *error = why;
        }
        return std::nullopt;
    };
    const auto parsed = parseHeaderValue(contentType, true);
    if (!parsed) {
        return fail(QStringLiteral("The Content-Type header is malformed."));
    }
    if (parsed->first != "multipart/form-data") {
        return fail(QStringLiteral("The body must be multipart/form-data."));
    }
    const QList<QByteArray> boundaries = parameterValues(parsed->second, "boundary");
    if (boundaries.size() != 1) {
        return fail(QStringLiteral("The Content-Type header must name exactly one boundary."));
    }
    const QByteArray& boundary = boundaries.first();
    if (boundary.isEmpty() || boundary.size() > kMaxBoundaryLength || boundary.endsWith(' ')) {
        return fail(QStringLiteral("The multipart boundary has an invalid length or ends in a space."));
    }
    for (char c : boundary) {
        if (!isBoundaryChar(c)) {
            return fail(QStringLiteral("The multipart boundary holds a character it may not hold."));
        }
    }
    return boundary;
}

MultipartForm MultipartForm::parse(QByteArrayView contentType, QByteArrayView body)
{
    MultipartForm form;
    auto fail = [&form](const QString& why) {
        form.m_fields.clear();
        form.m_error = why;
        return form;
    };
    QString boundaryError;
    const auto boundary = boundaryOf(contentType, &boundaryError);
    if (!boundary) {
        return fail(boundaryError);
    }
    const QByteArray delimiter = "--" + *boundary;
    const QByteArray innerDelimiter = "\r\n" + delimiter;

    // A preamble before the first delimiter is allowed; it ends with CR LF.
    qsizetype pos = 0;
    if (!body.startsWith(delimiter)) {
        const qsizetype first = body.indexOf(innerDelimiter);
        if (first < 0) {
            return fail(QStringLiteral("The body does not contain the multipart boundary."));
        }
        pos = first + 2;
    }

    while (true) {
        pos += delimiter.size();  // at the end of a delimiter
        if (body.sliced(pos).startsWith("--")) {
            // The closing delimiter: only an epilogue after CR LF may follow.
            pos += 2;
            if (pos != body.size() && !body.sliced(pos).startsWith("\r\n")) {
                return fail(QStringLiteral("Unexpected bytes after the closing boundary."));
            }
            return form;
        }
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t')) {
            ++pos;
        }
        if (!body.sliced(pos).startsWith("\r\n")) {
            return fail(QStringLiteral("A boundary line is not followed by CR LF."));
        }
        pos += 2;
        if (form.m_fields.size() >= kMaxParts) {
            return fail(QStringLiteral("Too many parts."));
        }

        Field field;
        bool hasDisposition = false;
        while (true) {
            const qsizetype lineEnd = body.indexOf("\r\n", pos);
            if (lineEnd < 0) {
                return fail(QStringLiteral("A part's headers are not terminated."));
            }
            const QByteArrayView line = body.sliced(pos, lineEnd - pos);
            pos = lineEnd + 2;
            if (line.isEmpty()) {
                break;
            }
            const qsizetype colon = line.indexOf(':');
            if (colon <= 0) {
                return fail(QStringLiteral("A part has a malformed header line."));
            }
            const QByteArrayView name = line.first(colon);
            for (char c : name) {
                if (!isHttpTokenChar(c)) {
                    return fail(QStringLiteral("A part has a malformed header name."));
                }
            }
            const QByteArrayView value = line.sliced(colon + 1).trimmed();
            field.headers.append({name.toByteArray(), value.toByteArray()});
            if (name.compare("Content-Disposition", Qt::CaseInsensitive) != 0) {
                continue;
            }
            if (hasDisposition) {
                return fail(QStringLiteral("A part has two Content-Disposition headers."));
            }
            hasDisposition = true;
            const auto disposition = parseHeaderValue(value, false);
            if (!disposition || disposition->first != "form-data") {
                return fail(QStringLiteral("A part's Content-Disposition is not form-data."));
            }
            const QList<QByteArray> names = parameterValues(disposition->second, "name");
            if (names.size() != 1 || names.first().isEmpty()) {
                return fail(QStringLiteral("A part's Content-Disposition must name the field once."));
            }
            field.name = names.first();
            const QList<QByteArray> filenames = parameterValues(disposition->second, "filename");
            if (!filenames.isEmpty()) {
                field.filename = filenames.first();
            }
        }
        if (!hasDisposition) {
            return fail(QStringLiteral("A part has no Content-Disposition header."));
        }
        const qsizetype valueEnd = body.indexOf(innerDelimiter, pos);
        if (valueEnd < 0) {
            return fail(QStringLiteral("The body ends without the closing boundary."));
        }
        field.value = body.sliced(pos, valueEnd - pos).toByteArray();
        form.m_fields.append(field);
        pos = valueEnd + 2;
    }
}

std::optional<QString> MultipartForm::value(QByteArrayView name) const
{
    for (const Field& field : m_fields) {
        if (field.name == name) {
            return QString::fromUtf8(field.value);
        }
    }
    return std::nullopt;
}

}  // namespace tandrel::demo

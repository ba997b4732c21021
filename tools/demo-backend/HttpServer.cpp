#include "HttpServer.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace tandrel::demo {

namespace {

constexpr qsizetype kMaxHeaderBytes = 64 * 1024;
constexpr qsizetype kMaxBodyBytes = 32 * 1024 * 1024;

bool isToken(QByteArrayView text)
{
    if (text.isEmpty()) {
        return false;
    }
    for (char c : text) {
        if (!isHttpTokenChar(c)) {
            return false;
        }
    }
    return true;
}

// Parses a non-negative decimal or hexadecimal number that must stay below limit.
std::optional<qint64> parseCount(QByteArrayView text, int base, qint64 limit)
{
    if (text.isEmpty() || text.size() > 16) {
        return std::nullopt;
    }
    qint64 value = 0;
    for (char c : text) {
        int digit = -1;
        if (c >= '0' && c <= '9') {
            digit = c - '0';
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = c - 'a' + 10;
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = c - 'A' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * base + digit;
        if (value > limit) {
            return std::nullopt;
        }
    }
    return value;
}

HttpParseResult invalid(int status, const char* message)
{
    HttpParseResult result;
    result.state = HttpParseResult::State::invalid;
    result.errorStatus = status;
    result.errorMessage = message;
    return result;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
        case 100:
            return "Continue";
        case 200:
            return "OK";
        case 201:
            return "Created";
        case 204:
            return "No Content";
        case 301:
            return "Moved Permanently";
        case 302:
            return "Found";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 409:
            return "Conflict";
        case 411:
            return "Length Required";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 422:
            return "Unprocessable Content";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 504:
            return "Gateway Timeout";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Status";
    }
}

// Decodes a chunked body starting at from; incomplete until the last chunk and the
// trailer section have arrived.
HttpParseResult parseChunked(const QByteArrayView buffer, qsizetype from, HttpParseResult result)
{
    QByteArray body;
    qsizetype pos = from;
    while (true) {
        const qsizetype lineEnd = buffer.indexOf("\r\n", pos);
        if (lineEnd < 0) {
            return buffer.size() - pos > 1024 ? invalid(400, "Chunk size line too long") : HttpParseResult{};
        }
        QByteArrayView sizeLine = buffer.sliced(pos, lineEnd - pos);
        if (const qsizetype extension = sizeLine.indexOf(';'); extension >= 0) {
            sizeLine = sizeLine.first(extension);
        }
        const auto size = parseCount(sizeLine.trimmed(), 16, kMaxBodyBytes);
        if (!size) {
            return invalid(400, "Malformed chunk size");
        }
        pos = lineEnd + 2;
        if (*size == 0) {
            // Trailer fields up to an empty line; their content is not used.
            while (true) {
                const qsizetype trailerEnd = buffer.indexOf("\r\n", pos);
                if (trailerEnd < 0) {
                    return buffer.size() - pos > kMaxHeaderBytes ? invalid(431, "Trailer too large")
                                                                 : HttpParseResult{};
                }
                const bool last = trailerEnd == pos;
                pos = trailerEnd + 2;
                if (last) {
                    break;
                }
            }
            result.request.body = body;
            result.consumed = pos;
            result.state = HttpParseResult::State::complete;
            return result;
        }
        if (body.size() + *size > kMaxBodyBytes) {
            return invalid(413, "Request body too large");
        }
        if (buffer.size() - pos < *size + 2) {
            return {};
        }
        body.append(buffer.sliced(pos, *size));
        pos += *size;
        if (buffer.sliced(pos, 2) != QByteArrayView("\r\n")) {
            return invalid(400, "Chunk not followed by CRLF");
        }
        pos += 2;
    }
}

}  // namespace

bool isHttpTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

QByteArray headerValue(const HeaderList& headers, QByteArrayView name)
{
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0) {
            return value;
        }
    }
    return {};
}

QByteArray HttpRequest::header(const QByteArray& name) const
{
    return headerValue(headers, name);
}

HttpParseResult parseHttpRequest(QByteArrayView buffer)
{
    // Empty lines before a request line are allowed (and ignored) by HTTP/1.1.
    qsizetype start = 0;
    while (buffer.sliced(start).startsWith("\r\n")) {
        start += 2;
    }
    if (start > kMaxHeaderBytes) {
        return invalid(400, "Too many empty lines before the request line");
    }
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n", start);
    if (headerEnd < 0) {
        if (buffer.size() - start > kMaxHeaderBytes) {
            return invalid(431, "Request header section too large");
        }
        return {};
    }
    if (headerEnd - start > kMaxHeaderBytes) {
        return invalid(431, "Request header section too large");
    }
    const QByteArrayView head = buffer.sliced(start, headerEnd - start);
    if (head.contains('\0')) {
        return invalid(400, "NUL in request header section");
    }
    QList<QByteArrayView> lines;
    for (qsizetype pos = 0; pos <= head.size();) {
        qsizetype end = head.indexOf("\r\n", pos);
        if (end < 0) {
            end = head.size();
        }
        lines.append(head.sliced(pos, end - pos));
        pos = end + 2;
    }

    HttpParseResult result;
    HttpRequest& request = result.request;
    const QByteArrayView requestLine = lines.first();
    const QList<QByteArray> parts = requestLine.toByteArray().split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty()) {
        return invalid(400, "Malformed request line");
    }
    for (char c : parts[1]) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return invalid(400, "Malformed request target");
        }
    }
    if (!parts[1].startsWith('/') && !parts[1].startsWith("http://") && parts[1] != "*") {
        return invalid(400, "Malformed request target");
    }
    if (parts[2] != "HTTP/1.1" && parts[2] != "HTTP/1.0") {
        return parts[2].startsWith("HTTP/") ? invalid(505, "HTTP version not supported")
                                            : invalid(400, "Malformed request line");
    }
    request.method = parts[0];
    request.target = parts[1];
    request.version = parts[2];

    std::optional<qint64> contentLength;
    bool chunked = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (line.contains('\r') || line.contains('\n')) {
            return invalid(400, "Bare CR or LF in header section");
        }
        if (line.startsWith(' ') || line.startsWith('\t')) {
            return invalid(400, "Folded header lines are not accepted");
        }
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon))) {
            return invalid(400, "Malformed header line");
        }
        const QByteArray name = line.first(colon).toByteArray();
        const QByteArray value = line.sliced(colon + 1).trimmed().toByteArray();
        request.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            const auto length = parseCount(value, 10, std::numeric_limits<qint64>::max() / 16);
            if (!length || (contentLength && *contentLength != *length)) {
                return invalid(400, "Malformed Content-Length");
            }
            contentLength = length;
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            if (value.compare("chunked", Qt::CaseInsensitive) != 0) {
                return invalid(501, "Only the chunked transfer coding is supported");
            }
            chunked = true;
        }
    }
    if (chunked && contentLength) {
        return invalid(400, "Both Content-Length and Transfer-Encoding");
    }
    const qsizetype bodyStart = headerEnd + 4;
    if (chunked) {
        result = parseChunked(buffer, bodyStart, result);
        if (result.state == HttpParseResult::State::incomplete) {
            result.expectsContinue = request.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0;
        }
        return result;
    }
    const qint64 length = contentLength.value_or(0);
    if (length > kMaxBodyBytes) {
        return invalid(413, "Request body too large");
    }
    if (buffer.size() - bodyStart < length) {
        HttpParseResult pending;
        pending.expectsContinue = request.header("Expect").compare("100-continue", Qt::CaseInsensitive) == 0;
        return pending;
    }
    request.body = buffer.sliced(bodyStart, length).toByteArray();
    result.consumed = bodyStart + length;
    result.state = HttpParseResult::State::complete;
    return result;
}

HttpExchange::HttpExchange(HttpConnection* connection) : m_connection(connection) {}

void HttpExchange::respond(const HttpResponse& response) const
{
    if (m_connection) {
        m_connection->respond(response);
    }
}

void HttpExchange::drop() const
{
    if (m_connection) {
        m_connection->drop();
    }
}

bool HttpExchange::isOpen() const
{
    return m_connection && m_connection->awaitsAnswer();
}

QObject* HttpExchange::context() const
{
    return m_connection.data();
}

HttpConnection::HttpConnection(QTcpSocket* socket, std::function<void(const HttpRequest&, const HttpExchange&)> handler,
                               QObject* parent)
    : QObject(parent), m_socket(socket), m_handler(std::move(handler))
{
    m_socket->setParent(this);
    // Answers go out in one write; without this, delayed acknowledgements on loopback
    // can hold each exchange for tens of milliseconds.
    m_socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    connect(m_socket, &QTcpSocket::readyRead, this, [this] {
        m_buffer.append(m_socket->readAll());
        processBuffer();
    });
    connect(m_socket, &QTcpSocket::disconnected, this, &QObject::deleteLater);
    if (m_socket->state() != QAbstractSocket::ConnectedState) {
        deleteLater();
    } else if (m_socket->bytesAvailable() > 0) {
        QMetaObject::invokeMethod(m_socket, &QTcpSocket::readyRead, Qt::QueuedConnection);
    }
}

void HttpConnection::processBuffer()
{
    if (m_awaitingAnswer || m_closing || m_buffer.isEmpty()) {
        return;
    }
    const HttpParseResult parsed = parseHttpRequest(m_buffer);
    switch (parsed.state) {
        case HttpParseResult::State::incomplete:
            if (parsed.expectsContinue && !m_continueSent) {
                m_continueSent = true;
                m_socket->write("HTTP/1.1 100 Continue\r\n\r\n");
            }
            return;
        case HttpParseResult::State::invalid:
            refuse(parsed.errorStatus, parsed.errorMessage);
            return;
        case HttpParseResult::State::complete:
            break;
    }
    m_buffer.remove(0, parsed.consumed);
    m_continueSent = false;
    HttpRequest request = parsed.request;
    request.peer = m_socket->peerAddress();
    const QByteArray connection = request.header("Connection");
    m_closeAfterAnswer = request.version == "HTTP/1.0" ? connection.compare("keep-alive", Qt::CaseInsensitive) != 0
                                                       : connection.compare("close", Qt::CaseInsensitive) == 0;
    m_awaitingAnswer = true;
    m_handler(request, HttpExchange(this));
}

void HttpConnection::respond(const HttpResponse& response)
{
    if (!m_awaitingAnswer || m_closing) {
        return;
    }
    m_awaitingAnswer = false;
    QByteArray bytes = "HTTP/1.1 " + QByteArray::number(response.status) + ' ' + reasonPhrase(response.status) + "\r\n";
    if (!response.contentType.isEmpty()) {
        bytes += "Content-Type: " + response.contentType + "\r\n";
    }
    for (const auto& [name, value] : response.headers) {
        bytes += name + ": " + value + "\r\n";
    }
    bytes += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    bytes += m_closeAfterAnswer ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
    bytes += response.body;
    m_socket->write(bytes);
    if (m_closeAfterAnswer) {
        m_closing = true;
        m_socket->disconnectFromHost();
        return;
    }
    // The next request may already wait in the buffer; take it up on a later turn, so a
    // handler that answers at once does not recurse through a long pipeline.
    QMetaObject::invokeMethod(this, &HttpConnection::processBuffer, Qt::QueuedConnection);
}

void HttpConnection::drop()
{
    m_awaitingAnswer = false;
    m_closing = true;
    m_socket->abort();
    deleteLater();
}

void HttpConnection::refuse(int status, const QByteArray& message)
{
    // The connection cannot be trusted to find the next request's start: answer and close.
    m_awaitingAnswer = true;
    m_closeAfterAnswer = true;
    HttpResponse response;
    response.status = status;
    response.body = R"({"message":")" + message + R"("})";
    respond(response);
}

HttpServer::HttpServer(Handler handler, QObject* parent)
    : QObject(parent), m_server(new QTcpServer(this)), m_handler(std::move(handler))
{
    connect(m_server, &QTcpServer::newConnection, this, &HttpServer::acceptConnections);
}

HttpServer::~HttpServer() = default;

bool HttpServer::listen(const QHostAddress& address, quint16 port)
{
    return m_server->listen(address, port);
}

QString HttpServer::errorString() const
{
    return m_server->errorString();
}

quint16 HttpServer::port() const
{
    return m_server->serverPort();
}

void HttpServer::acceptConnections()
{
    while (QTcpSocket* socket = m_server->nextPendingConnection()) {
        new HttpConnection(socket, m_handler, this);
    }
}

}  // namespace tandrel::demo

#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace tandrel::demo {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// HTTP's "tchar": what header names, methods and parameter names are made of.
bool isHttpTokenChar(char c);
// The first header of that name, compared without letter case; a null array when absent.
QByteArray headerValue(const HeaderList& headers, QByteArrayView name);

struct HttpRequest {
    QByteArray method;
    QByteArray target;  // as sent: path and query
    QByteArray version;
    HeaderList headers;  // names as sent
    QByteArray body;     // de-chunked when it came chunked
    QHostAddress peer;

    QByteArray header(const QByteArray& name) const;
};

struct HttpResponse {
    int status = 200;
    QByteArray contentType = "application/json";
    HeaderList headers;  // besides Content-Type, Content-Length and Connection
    QByteArray body;
};

// What the parser of one request found in the bytes received so far.
struct HttpParseResult {
    enum class State { incomplete, complete, invalid };
    State state = State::incomplete;
    HttpRequest request;           // when complete
    qsizetype consumed = 0;        // bytes of the buffer that the request took, when complete
    int errorStatus = 400;         // when invalid
    QByteArray errorMessage;       // when invalid
    bool expectsContinue = false;  // headers complete, body pending, "Expect: 100-continue"
};

// Parses one HTTP/1.x request from the start of buffer; never reads past its end.
HttpParseResult parseHttpRequest(QByteArrayView buffer);

class HttpConnection;

// The right to answer one request, later if need be. Answering twice, or after the
// client went away, does nothing.
class HttpExchange {
public:
    explicit HttpExchange(HttpConnection* connection = nullptr);
    void respond(const HttpResponse& response) const;
    void drop() const;  // close the connection without an answer
    bool isOpen() const;
    QObject* context() const;  // lives as long as the connection: a guard for timers

private:
    QPointer<HttpConnection> m_connection;
};

// One client connection: reads requests one at a time and writes their answers.
class HttpConnection : public QObject {
    Q_OBJECT
public:
    HttpConnection(QTcpSocket* socket, std::function<void(const HttpRequest&, const HttpExchange&)> handler,
                   QObject* parent);

    void respond(const HttpResponse& response);
    void drop();
    bool awaitsAnswer() const { return m_awaitingAnswer; }

private:
    void processBuffer();
    void refuse(int status, const QByteArray& message);

    QTcpSocket* m_socket;
    std::function<void(const HttpRequest&, const HttpExchange&)> m_handler;
    QByteArray m_buffer;
    bool m_awaitingAnswer = false;
    bool m_closeAfterAnswer = false;
    bool m_continueSent = false;
    bool m_closing = false;
};

// A small HTTP/1.1 server on the caller's event loop: keep-alive, Content-Length and
// chunked request bodies, one request in flight per connection (later requests on the
// same connection wait in its buffer), answers at any later time.
class HttpServer : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest&, const HttpExchange&)>;

    explicit HttpServer(Handler handler, QObject* parent = nullptr);
    ~HttpServer() override;

    bool listen(const QHostAddress& address, quint16 port);
    QString errorString() const;
    quint16 port() const;

private:
    void acceptConnections();

    QTcpServer* m_server;
    Handler m_handler;
};

}  // namespace tandrel::demo

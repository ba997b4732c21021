#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QPair>
#include <QTcpServer>
#include <QTcpSocket>

#include <functional>

namespace tandrel::testing {

// A bare HTTP/1.1 server on one loopback address: it records every request that reaches it
// and answers each with what `respond` gives (status line, headers, body), then closes the
// connection. Tests use it where the stand-in backend cannot go: another loopback address,
// a redirect with a Location of the test's choosing.
class LoopbackHttpServer : public QTcpServer {
public:
    struct Request {
        QByteArray method;
        QByteArray target;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;

        QByteArray header(const QByteArray& name) const
        {
            for (const auto& [key, value] : headers) {
                if (key.compare(name, Qt::CaseInsensitive) == 0) {
                    return value;
                }
            }
            return {};
        }
    };
    struct Answer {
        int status = 200;
        QByteArray reason = "OK";
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body = "{}";
        bool sendLength = true;  // false: the body simply ends when the connection closes
    };

    explicit LoopbackHttpServer(std::function<Answer(const Request&)> respond) : m_respond(std::move(respond))
    {
        connect(this, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* socket = nextPendingConnection()) {
                auto* buffer = new QByteArray;
                connect(socket, &QObject::destroyed, [buffer] { delete buffer; });
                connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
                connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
                    buffer->append(socket->readAll());
                    serve(socket, buffer);
                });
            }
        });
    }

    // "http://<address>:<port>"
    QByteArray origin() const
    {
        return "http://" + serverAddress().toString().toLatin1() + ':' + QByteArray::number(serverPort());
    }

    QList<Request> requests;

private:
    void serve(QTcpSocket* socket, QByteArray* buffer)
    {
        const qsizetype headEnd = buffer->indexOf("\r\n\r\n");
        if (headEnd < 0) {
            return;
        }
        Request request;
        const QList<QByteArray> lines = buffer->left(headEnd).split('\n');
        const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qsizetype length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon > 0) {
                const QByteArray name = lines[i].left(colon).trimmed();
                const QByteArray value = lines[i].mid(colon + 1).trimmed();
                request.headers.append({name, value});
                if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
                    length = value.toLongLong();
                }
            }
        }
        if (buffer->size() < headEnd + 4 + length) {
            return;
        }
        request.body = buffer->mid(headEnd + 4, length);
        buffer->clear();
        requests.append(request);

        const Answer answer = m_respond(request);
        QByteArray reply = "HTTP/1.1 " + QByteArray::number(answer.status) + ' ' + answer.reason + "\r\n";
        for (const auto& [name, value] : answer.headers) {
            reply += name + ": " + value + "\r\n";
        }
        reply += "Content-Type: application/json\r\n";
        if (answer.sendLength) {
            reply += "Content-Length: " + QByteArray::number(answer.body.size()) + "\r\n";
        }
        reply += "Connection: close\r\n\r\n" + answer.body;
        socket->write(reply);
        socket->disconnectFromHost();
    }

    std::function<Answer(const Request&)> m_respond;
};

}  // namespace tandrel::testing

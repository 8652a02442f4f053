#include "support/QNTestHTTPServer.h"

#include <QHostAddress>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

QNTestHTTPServer::QNTestHTTPServer() {
    connect(&_server, &QTcpServer::newConnection, this, &QNTestHTTPServer::accept);
    _server.listen(QHostAddress::LocalHost);
}

QUrl QNTestHTTPServer::baseURL() const {
    return QUrl(QStringLiteral("http://127.0.0.1:%1").arg(_server.serverPort()));
}

void QNTestHTTPServer::accept() {
    while (QTcpSocket* socket = _server.nextPendingConnection()) {
        socket->setParent(this);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        // Requests without a body: the head is complete at the first empty line.
        auto head = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
            if (head->endsWith("\r\n\r\n")) {
                socket->readAll();
                return;
            }
            head->append(socket->readAll());
            if (head->contains("\r\n\r\n")) {
                _requests.append(head->left(head->indexOf("\r\n\r\n") + 4));
                *head = _requests.last();
                answer(socket);
            }
        });
    }
}

void QNTestHTTPServer::answer(QTcpSocket* socket) {
    if (_response.silent) {
        return;
    }
    if (_response.trickleMilliseconds > 0) {
        trickle(socket);
        return;
    }
    const qint64 length = _response.declaredLength >= 0 ? _response.declaredLength : _response.body.size();
    // Clients go by the number; the reason phrase is only for people.
    socket->write("HTTP/1.1 " + QByteArray::number(_response.status) + (_response.status == 200 ? " OK" : " Status") +
                  "\r\nContent-Type: text/plain\r\nContent-Length: " + QByteArray::number(length) +
                  "\r\nConnection: close\r\n\r\n" + _response.body);
    socket->disconnectFromHost();
}

void QNTestHTTPServer::trickle(QTcpSocket* socket) {
    socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: 1000000000\r\n\r\n");
    auto* timer = new QTimer(socket);
    auto sent = std::make_shared<qsizetype>(0);
    connect(timer, &QTimer::timeout, socket, [this, socket, sent] {
        const qsizetype index = (*sent)++;
        socket->write(index < _response.body.size() ? _response.body.mid(index, 1) : QByteArray(" "));
    });
    timer->start(_response.trickleMilliseconds);
}

#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QTcpServer>
#include <QUrl>

class QTcpSocket;

// A scripted HTTP/1.1 server on 127.0.0.1 and a free port, on the thread that made it. Every request
// gets the same scripted answer on a connection of its own, which is then closed.
class QNTestHTTPServer : public QObject {
public:
    struct Response {
        int status = 200;
        QByteArray body = {};
        // Read the request and never answer.
        bool silent = false;
        // > 0: the head and then one byte of the body every so many milliseconds, spaces after it, never
        // ending (the head announces a long body).
        int trickleMilliseconds = 0;
        // Content-Length when it should differ from the body's: the connection closes after the body.
        qint64 declaredLength = -1;
    };

    QNTestHTTPServer();

    bool isListening() const { return _server.isListening(); }
    // http://127.0.0.1:<port>
    QUrl baseURL() const;
    void setResponse(const Response& response) { _response = response; }
    // Each request's head as received, in order.
    const QList<QByteArray>& requests() const { return _requests; }

private:
    void accept();
    void answer(QTcpSocket* socket);
    void trickle(QTcpSocket* socket);

    QTcpServer _server;
    Response _response;
    QList<QByteArray> _requests;
};

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>

#include <optional>

// Pieces of HTTP/1.x message heads as the engine meets them: a client's request head, a proxy's answer to
// CONNECT. Lines end in CRLF or a bare LF; the head ends at the first empty line.
class QNHTTPHead {
public:
    QNHTTPHead() = delete;

    enum class Parse { NeedMore, Invalid, Complete };

    // Offset just past the empty line that ends the head, or -1 when it is not within input yet.
    // *resumeAt carries the scan over between calls on a growing input (start it at 0).
    static qsizetype headEnd(QByteArrayView input, qsizetype* resumeAt);
    // The head's lines, each with its line ending.
    static QList<QByteArrayView> lines(QByteArrayView head);
    static QByteArrayView withoutEnding(QByteArrayView line);

    struct RequestLine {
        QByteArrayView method;
        QByteArrayView target;
        QByteArrayView version;
    };
    // Whether input can start with a request line "METHOD target HTTP/x.y": Invalid as soon as a byte
    // rules it out, Complete once the whole line has been seen (and then *line holds its parts).
    static Parse requestLine(QByteArrayView input, RequestLine* line = nullptr);
    // "HTTP/x.y 200 reason", the same way.
    static Parse statusLine(QByteArrayView input, int* status = nullptr, QByteArrayView* reason = nullptr);

    // For a header line "Name: value": whether its name is name (case-insensitive), and its value.
    static bool hasName(QByteArrayView line, QByteArrayView name);
    static QByteArrayView value(QByteArrayView line);
    // A line starting with a space or tab continues the header before it.
    static bool isContinuation(QByteArrayView line);

    // "Basic <base64 of user:password>".
    static QByteArray basicCredentials(const QString& user, const std::optional<QString>& password);

    // "CONNECT authority HTTP/1.1" with Host, and Proxy-Authorization when a user is given.
    static QByteArray connectRequest(QByteArrayView authority, const std::optional<QString>& user,
                                     const std::optional<QString>& password);
    // A proxy's answer to CONNECT: Complete once its head is in (*size long), with *failure empty for a
    // 2xx status and the reason otherwise; Invalid when it is not an HTTP answer, and then *failure says so.
    // Bounded: a head longer than kQNEngineHeaderSizeMaximum is Invalid.
    static Parse connectReply(QByteArrayView input, qsizetype* resumeAt, bool hasUser, qsizetype* size,
                              QString* failure, int* status = nullptr);
};

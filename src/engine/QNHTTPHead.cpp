#include "engine/QNHTTPHead.h"

#include "util/QNConstants.h"

namespace {

// Longest method name taken as one; real ones are a few letters.
constexpr qsizetype kMethodSizeMaximum = 32;

bool isTokenCharacter(char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
        return true;
    }
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Matches "HTTP/d.d" at input[at...]; NeedMore when input ends inside it. *end is just past it.
QNHTTPHead::Parse httpVersion(QByteArrayView input, qsizetype at, qsizetype* end) {
    static constexpr QByteArrayView kPrefix("HTTP/");
    for (qsizetype i = 0; i < 8; ++i) {
        if (at + i >= input.size()) {
            return QNHTTPHead::Parse::NeedMore;
        }
        const char c = input[at + i];
        const bool matches = i < 5 ? c == kPrefix[i] : (i == 6 ? c == '.' : isDigit(c));
        if (!matches) {
            return QNHTTPHead::Parse::Invalid;
        }
    }
    *end = at + 8;
    return QNHTTPHead::Parse::Complete;
}

// CRLF or LF at input[at...]; *end just past it.
QNHTTPHead::Parse lineEnding(QByteArrayView input, qsizetype at, qsizetype* end) {
    if (at < input.size() && input[at] == '\r') {
        ++at;
    }
    if (at >= input.size()) {
        return QNHTTPHead::Parse::NeedMore;
    }
    if (input[at] != '\n') {
        return QNHTTPHead::Parse::Invalid;
    }
    *end = at + 1;
    return QNHTTPHead::Parse::Complete;
}

} // namespace

qsizetype QNHTTPHead::headEnd(QByteArrayView input, qsizetype* resumeAt) {
    qsizetype lineStart = *resumeAt;
    while (true) {
        const qsizetype newline = input.indexOf('\n', lineStart);
        if (newline < 0) {
            *resumeAt = lineStart;
            return -1;
        }
        const QByteArrayView line = input.sliced(lineStart, newline - lineStart);
        if (lineStart > 0 && (line.isEmpty() || line == "\r")) {
            return newline + 1;
        }
        lineStart = newline + 1;
    }
}

QList<QByteArrayView> QNHTTPHead::lines(QByteArrayView head) {
    QList<QByteArrayView> result;
    qsizetype start = 0;
    while (start < head.size()) {
        qsizetype newline = head.indexOf('\n', start);
        const qsizetype end = newline < 0 ? head.size() : newline + 1;
        result.append(head.sliced(start, end - start));
        start = end;
    }
    return result;
}

QByteArrayView QNHTTPHead::withoutEnding(QByteArrayView line) {
    if (line.endsWith('\n')) {
        line.chop(1);
    }
    if (line.endsWith('\r')) {
        line.chop(1);
    }
    return line;
}

QNHTTPHead::Parse QNHTTPHead::requestLine(QByteArrayView input, RequestLine* line) {
    qsizetype at = 0;
    while (at < input.size() && isTokenCharacter(input[at])) {
        ++at;
    }
    if (at > kMethodSizeMaximum) {
        return Parse::Invalid;
    }
    if (at == input.size()) {
        return Parse::NeedMore;
    }
    if (at == 0 || input[at] != ' ') {
        return Parse::Invalid;
    }
    const qsizetype targetStart = at + 1;
    at = targetStart;
    while (at < input.size() && quint8(input[at]) > 0x20 && quint8(input[at]) != 0x7F) {
        ++at;
    }
    if (at == input.size()) {
        return Parse::NeedMore;
    }
    if (at == targetStart || input[at] != ' ') {
        return Parse::Invalid;
    }
    const qsizetype versionStart = at + 1;
    qsizetype versionEnd = 0;
    qsizetype end = 0;
    Parse parse = httpVersion(input, versionStart, &versionEnd);
    if (parse == Parse::Complete) {
        parse = lineEnding(input, versionEnd, &end);
    }
    if (parse == Parse::Complete && line) {
        line->method = input.first(targetStart - 1);
        line->target = input.sliced(targetStart, versionStart - 1 - targetStart);
        line->version = input.sliced(versionStart, versionEnd - versionStart);
    }
    return parse;
}

QNHTTPHead::Parse QNHTTPHead::statusLine(QByteArrayView input, int* status, QByteArrayView* reason) {
    qsizetype at = 0;
    Parse parse = httpVersion(input, 0, &at);
    if (parse != Parse::Complete) {
        return parse;
    }
    // " NNN"
    int code = 0;
    for (qsizetype i = 0; i < 4; ++i, ++at) {
        if (at >= input.size()) {
            return Parse::NeedMore;
        }
        const char c = input[at];
        if (i == 0 ? c != ' ' : !isDigit(c)) {
            return Parse::Invalid;
        }
        code = i == 0 ? 0 : code * 10 + (c - '0');
    }
    const qsizetype newline = input.indexOf('\n', at);
    if (newline < 0) {
        return Parse::NeedMore;
    }
    const QByteArrayView rest = withoutEnding(input.sliced(at, newline + 1 - at));
    if (!rest.isEmpty() && rest[0] != ' ') {
        return Parse::Invalid;
    }
    if (status) {
        *status = code;
    }
    if (reason) {
        *reason = rest.trimmed();
    }
    return Parse::Complete;
}

bool QNHTTPHead::hasName(QByteArrayView line, QByteArrayView name) {
    return line.size() > name.size() && line[name.size()] == ':' &&
           line.first(name.size()).compare(name, Qt::CaseInsensitive) == 0;
}

QByteArrayView QNHTTPHead::value(QByteArrayView line) {
    const qsizetype colon = line.indexOf(':');
    return colon < 0 ? QByteArrayView() : withoutEnding(line.sliced(colon + 1)).trimmed();
}

bool QNHTTPHead::isContinuation(QByteArrayView line) {
    return !line.isEmpty() && (line[0] == ' ' || line[0] == '\t');
}

QByteArray QNHTTPHead::basicCredentials(const QString& user, const std::optional<QString>& password) {
    const QByteArray pair = user.toUtf8() + ':' + password.value_or(QString()).toUtf8();
    return "Basic " + pair.toBase64();
}

QByteArray QNHTTPHead::connectRequest(QByteArrayView authority, const std::optional<QString>& user,
                                      const std::optional<QString>& password) {
    QByteArray request =
        "CONNECT " + authority.toByteArray() + " HTTP/1.1\r\nHost: " + authority.toByteArray() + "\r\n";
    if (user) {
        request += "Proxy-Authorization: " + basicCredentials(*user, password) + "\r\n";
    }
    request += "\r\n";
    return request;
}

QNHTTPHead::Parse QNHTTPHead::connectReply(QByteArrayView input, qsizetype* resumeAt, bool hasUser, qsizetype* size,
                                           QString* failure, int* statusCode) {
    int status = 0;
    QByteArrayView reason;
    const Parse line = statusLine(input, &status, &reason);
    if (line == Parse::Invalid) {
        *failure = QStringLiteral("bad reply to CONNECT (not HTTP)");
        return Parse::Invalid;
    }
    const qsizetype end = line == Parse::Complete ? headEnd(input, resumeAt) : -1;
    if (end < 0 || end > kQNEngineHeaderSizeMaximum) {
        if (input.size() > kQNEngineHeaderSizeMaximum) {
            *failure = QStringLiteral("bad reply to CONNECT (longer than %1 bytes)").arg(kQNEngineHeaderSizeMaximum);
            return Parse::Invalid;
        }
        return Parse::NeedMore;
    }
    *size = end;
    if (statusCode) {
        *statusCode = status;
    }
    if (status >= 200 && status <= 299) {
        failure->clear();
    } else if (status == 407 || status == 401) {
        // 407 is the proxy's own word for it; some proxies answer CONNECT with 401.
        *failure = hasUser ? QStringLiteral("authentication refused")
                           : QStringLiteral("the proxy requires authentication (HTTP %1)").arg(status);
    } else {
        QString text = QStringLiteral("CONNECT refused (HTTP %1").arg(status);
        // The proxy's words, printable ASCII only, shortened: they end up in a log line.
        QByteArray words = reason.first(qMin<qsizetype>(reason.size(), 80)).toByteArray();
        for (char& c : words) {
            if (quint8(c) < 0x20 || quint8(c) > 0x7E) {
                c = '?';
            }
        }
        if (!words.isEmpty()) {
            text += u' ' + QString::fromLatin1(words);
        }
        *failure = text + u')';
    }
    return Parse::Complete;
}

#include "engine/QNHTTPProxyStream.h"

#include "engine/QNHTTPHead.h"
#include "util/QNConstants.h"

namespace {

// A chunk-size line ("1a2b;ext") longer than this is not one.
constexpr qsizetype kChunkLineSizeMaximum = 1024;
// Hex digits of a chunk size: 15 keep it well inside 64 bits.
constexpr int kChunkSizeDigitsMaximum = 15;
// Digits of a Content-Length, for the same reason.
constexpr int kContentLengthDigitsMaximum = 18;

bool isAnonymizedHeader(QByteArrayView line) {
    for (const char* name : kQNEngineAnonymizedHeaders) {
        if (QNHTTPHead::hasName(line, QByteArrayView(name))) {
            return true;
        }
    }
    return false;
}

// Every comma-separated value of every Content-Length line must be the same number.
bool contentLength(const QList<QByteArrayView>& values, quint64* length) {
    std::optional<quint64> seen;
    for (QByteArrayView value : values) {
        for (const QByteArray& item : value.toByteArray().split(',')) {
            const QByteArrayView piece = QByteArrayView(item).trimmed();
            if (piece.isEmpty() || piece.size() > kContentLengthDigitsMaximum ||
                !std::all_of(piece.begin(), piece.end(), [](char c) { return c >= '0' && c <= '9'; })) {
                return false;
            }
            const quint64 number = piece.toULongLong();
            if (seen && number != *seen) {
                return false;
            }
            seen = number;
        }
    }
    *length = seen.value_or(0);
    return true;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

// The last transfer coding named by the Transfer-Encoding lines.
QByteArray lastTransferCoding(const QList<QByteArrayView>& values) {
    if (values.isEmpty()) {
        return {};
    }
    const QByteArrayView last = values.last();
    const qsizetype comma = last.lastIndexOf(',');
    return (comma < 0 ? last : last.sliced(comma + 1)).trimmed().toByteArray().toLower();
}

} // namespace

QNHTTPProxyStream::QNHTTPProxyStream(Settings settings)
    : _settings(std::move(settings)) {
    if (_settings.mode == Mode::Transparent && !_settings.anonymize) {
        _state = State::PassThrough;
    }
}

QString QNHTTPProxyStream::failureReason() const {
    return _failure;
}

bool QNHTTPProxyStream::isPassThrough() const {
    return _state == State::PassThrough;
}

QNHTTPProxyStream::Status QNHTTPProxyStream::fail(const QString& reason) {
    if (_state != State::Failed) {
        _state = State::Failed;
        _failure = QStringLiteral("%1: %2").arg(_settings.hopLabel, reason);
        _input.clear();
        _pending.clear();
    }
    return Status::Failed;
}

QNHTTPProxyStream::Status QNHTTPProxyStream::fromClient(QByteArrayView bytes, QByteArray* toProxy) {
    switch (_state) {
    case State::Failed:
        return Status::Failed;
    case State::PassThrough:
        toProxy->append(bytes);
        return Status::Continue;
    case State::AwaitConnect:
        if (_pending.size() + bytes.size() > kQNEnginePendingSizeMaximum) {
            return fail(QStringLiteral("the client sent more than %1 bytes before the proxy answered CONNECT")
                            .arg(kQNEnginePendingSizeMaximum));
        }
        _pending.append(bytes);
        return Status::Continue;
    default:
        break;
    }
    _input.append(bytes);
    while (step(toProxy)) {
    }
    return _state == State::Failed ? Status::Failed : Status::Continue;
}

QNHTTPProxyStream::Status QNHTTPProxyStream::fromProxy(QByteArrayView bytes, QByteArray* toClient,
                                                       QByteArray* toProxy) {
    if (_state == State::Failed) {
        return Status::Failed;
    }
    if (_state != State::AwaitConnect) {
        toClient->append(bytes);
        return Status::Continue;
    }
    _reply.append(bytes);
    qsizetype size = 0;
    QString failure;
    const QNHTTPHead::Parse parse =
        QNHTTPHead::connectReply(_reply, &_scanResume, _settings.user.has_value(), &size, &failure);
    if (parse == QNHTTPHead::Parse::NeedMore) {
        return Status::Continue;
    }
    if (parse == QNHTTPHead::Parse::Invalid || !failure.isEmpty()) {
        return fail(failure);
    }
    toClient->append(QByteArrayView(_reply).sliced(size));
    toProxy->append(_pending);
    _reply.clear();
    _pending.clear();
    _state = State::PassThrough;
    return Status::Continue;
}

bool QNHTTPProxyStream::step(QByteArray* toProxy) {
    switch (_state) {
    case State::First:
    case State::Head:
        return stepHead(toProxy);
    case State::Body:
        return stepBody(toProxy, State::Head);
    case State::ChunkSize:
    case State::Trailer:
        return stepChunkLine(toProxy);
    case State::ChunkData:
        return stepBody(toProxy, State::ChunkDataEnd);
    case State::ChunkDataEnd:
        return stepChunkDataEnd(toProxy);
    case State::PassThrough:
        toProxy->append(_input);
        _input.clear();
        return false;
    case State::AwaitConnect:
        _pending.append(_input);
        _input.clear();
        return false;
    case State::Failed:
        return false;
    }
    return false;
}

bool QNHTTPProxyStream::stepHead(QByteArray* toProxy) {
    // Empty lines between requests are dropped, as servers ignore them.
    if (_state == State::Head) {
        qsizetype skip = 0;
        while (skip < _input.size() && (_input[skip] == '\r' || _input[skip] == '\n')) {
            ++skip;
        }
        _input.remove(0, skip);
    }
    if (_input.isEmpty()) {
        return false;
    }
    if (QNHTTPHead::requestLine(_input) == QNHTTPHead::Parse::Invalid) {
        return notHTTP(toProxy);
    }
    const qsizetype end = QNHTTPHead::headEnd(_input, &_scanResume);
    if (end < 0 || end > kQNEngineHeaderSizeMaximum) {
        if (_input.size() > kQNEngineHeaderSizeMaximum) {
            fail(QStringLiteral("request header longer than %1 bytes").arg(kQNEngineHeaderSizeMaximum));
        }
        return false;
    }
    _scanResume = 0;
    const QByteArray head = _input.first(end);
    _input.remove(0, end);
    return rewriteHead(head, toProxy);
}

bool QNHTTPProxyStream::notHTTP(QByteArray* toProxy) {
    if (_state == State::Head) {
        fail(QStringLiteral("the client sent something other than an HTTP request"));
        return false;
    }
    if (_settings.mode == Mode::Transparent) {
        _state = State::PassThrough;
        return true;
    }
    toProxy->append(QNHTTPHead::connectRequest(_settings.target.authority(), _settings.user, _settings.password));
    _pending = std::move(_input);
    _input.clear();
    _scanResume = 0;
    _state = State::AwaitConnect;
    return false;
}

bool QNHTTPProxyStream::rewriteHead(QByteArrayView head, QByteArray* toProxy) {
    const QList<QByteArrayView> lines = QNHTTPHead::lines(head);
    QNHTTPHead::RequestLine requestLine;
    QNHTTPHead::requestLine(lines.first(), &requestLine);
    const bool nonTransparent = _settings.mode == Mode::NonTransparent;
    const bool addCredentials = nonTransparent && _settings.user.has_value();
    const QByteArrayView requestEnding = lines.first().sliced(QNHTTPHead::withoutEnding(lines.first()).size());

    QByteArray output;
    output.reserve(head.size() + 256);
    if (nonTransparent) {
        QByteArrayView host;
        for (qsizetype i = 1; i + 1 < lines.size() && host.isEmpty(); ++i) {
            if (QNHTTPHead::hasName(lines[i], "Host")) {
                host = QNHTTPHead::value(lines[i]);
            }
        }
        output += requestLine.method.toByteArray() + ' ' +
                  rewrittenTarget(requestLine.method, requestLine.target, host) + ' ' +
                  requestLine.version.toByteArray() + requestEnding.toByteArray();
    } else {
        output += lines.first().toByteArray();
    }

    QList<QByteArrayView> lengths;
    QList<QByteArrayView> codings;
    bool upgrade = false;
    bool dropping = false;
    for (qsizetype i = 1; i + 1 < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (QNHTTPHead::isContinuation(line)) {
            if (!dropping) {
                output += line.toByteArray();
            }
            continue;
        }
        if (!QNHTTPHead::withoutEnding(line).contains(':')) {
            fail(QStringLiteral("malformed request header line"));
            return false;
        }
        if (QNHTTPHead::hasName(line, "Content-Length")) {
            lengths.append(QNHTTPHead::value(line));
        } else if (QNHTTPHead::hasName(line, "Transfer-Encoding")) {
            codings.append(QNHTTPHead::value(line));
        } else if (QNHTTPHead::hasName(line, "Upgrade")) {
            upgrade = true;
        }
        dropping = (_settings.anonymize && isAnonymizedHeader(line)) ||
                   (addCredentials && QNHTTPHead::hasName(line, "Proxy-Authorization"));
        if (!dropping) {
            output += line.toByteArray();
        }
    }
    if (addCredentials) {
        output += "Proxy-Authorization: " + QNHTTPHead::basicCredentials(*_settings.user, _settings.password) +
                  requestEnding.toByteArray();
    }
    output += lines.last().toByteArray();

    // How the body is framed decides what comes next; a head whose framing is unclear goes nowhere.
    // A tunnel or a protocol switch leaves HTTP behind once this request is through.
    _passThroughAfterMessage = upgrade || requestLine.method == "CONNECT";
    State next = State::Head;
    if (!codings.isEmpty()) {
        // A body whose last coding is not chunked runs to the end of the connection.
        next = lastTransferCoding(codings) == "chunked" ? State::ChunkSize : State::PassThrough;
    } else if (!contentLength(lengths, &_remaining)) {
        fail(QStringLiteral("malformed Content-Length in a request"));
        return false;
    } else if (_remaining > 0) {
        next = State::Body;
    }
    toProxy->append(output);
    if (next == State::Head) {
        endOfMessage();
    } else {
        _state = next;
    }
    return true;
}

QByteArray QNHTTPProxyStream::authority(QByteArrayView host) const {
    const QNEngineTarget& target = _settings.target;
    if (target.hasUsableName() || host.isEmpty()) {
        return target.authority(true);
    }
    // The client's Host header names the site. Proxies rebuild Host from the request line, so with the
    // bare address there, name-based sites would be missed; the name is taken when the port agrees.
    QByteArrayView name = host;
    QByteArrayView port;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        name = close < 0 ? QByteArrayView() : host.sliced(1, close - 1);
        port = close < 0 ? QByteArrayView() : host.sliced(close + 1);
    } else if (const qsizetype colon = host.lastIndexOf(':'); colon >= 0) {
        name = host.first(colon);
        port = host.sliced(colon);
    }
    if (!port.isEmpty()) {
        if (!port.startsWith(':')) {
            return target.authority(true);
        }
        port = port.sliced(1);
    }
    const bool portAgrees =
        port.isEmpty() ? target.port == 80
                       : port.size() <= 5 && port.toUInt() == target.port &&
                             std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    const bool nameIsClean = !name.isEmpty() && std::all_of(name.begin(), name.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_' ||
               c == '.' || c == ':';
    });
    return portAgrees && nameIsClean ? host.toByteArray() : target.authority(true);
}

QByteArray QNHTTPProxyStream::rewrittenTarget(QByteArrayView method, QByteArrayView target, QByteArrayView host) const {
    if (method == "CONNECT") {
        return target.toByteArray();
    }
    const QByteArray origin = "http://" + authority(host);
    if (target.startsWith('/')) {
        return origin + target.toByteArray();
    }
    if (target == "*") {
        return origin;
    }
    // Already absolute, or a form a proxy has to judge for itself.
    return target.toByteArray();
}

void QNHTTPProxyStream::endOfMessage() {
    _state = _passThroughAfterMessage ? State::PassThrough : State::Head;
    _passThroughAfterMessage = false;
}

bool QNHTTPProxyStream::stepBody(QByteArray* toProxy, State next) {
    if (_remaining == 0) {
        if (next == State::Head) {
            endOfMessage();
        } else {
            _state = next;
        }
        return true;
    }
    if (_input.isEmpty()) {
        return false;
    }
    const qsizetype count = qsizetype(qMin<quint64>(_remaining, quint64(_input.size())));
    toProxy->append(QByteArrayView(_input).first(count));
    _input.remove(0, count);
    _remaining -= quint64(count);
    return true;
}

bool QNHTTPProxyStream::stepChunkLine(QByteArray* toProxy) {
    const qsizetype newline = _input.indexOf('\n');
    if (newline < 0) {
        if (_input.size() > kChunkLineSizeMaximum) {
            fail(QStringLiteral("malformed chunked request body"));
        }
        return false;
    }
    const QByteArrayView line = QNHTTPHead::withoutEnding(QByteArrayView(_input).first(newline + 1));
    if (line.size() > kChunkLineSizeMaximum) {
        fail(QStringLiteral("malformed chunked request body"));
        return false;
    }
    if (_state == State::Trailer) {
        const bool last = line.isEmpty();
        toProxy->append(QByteArrayView(_input).first(newline + 1));
        _input.remove(0, newline + 1);
        if (last) {
            endOfMessage();
        }
        return true;
    }
    qsizetype digits = 0;
    quint64 size = 0;
    while (digits < line.size() && digits <= kChunkSizeDigitsMaximum && hexValue(line[digits]) >= 0) {
        size = size * 16 + quint64(hexValue(line[digits]));
        ++digits;
    }
    const QByteArrayView rest = line.sliced(digits);
    if (digits == 0 || digits > kChunkSizeDigitsMaximum ||
        !(rest.isEmpty() || rest[0] == ';' || rest[0] == ' ' || rest[0] == '\t')) {
        fail(QStringLiteral("malformed chunked request body"));
        return false;
    }
    toProxy->append(QByteArrayView(_input).first(newline + 1));
    _input.remove(0, newline + 1);
    _remaining = size;
    _state = size == 0 ? State::Trailer : State::ChunkData;
    return true;
}

bool QNHTTPProxyStream::stepChunkDataEnd(QByteArray* toProxy) {
    if (_input.isEmpty() || (_input.size() == 1 && _input[0] == '\r')) {
        return false;
    }
    const qsizetype size = _input.startsWith("\r\n") ? 2 : (_input.startsWith('\n') ? 1 : 0);
    if (size == 0) {
        fail(QStringLiteral("malformed chunked request body"));
        return false;
    }
    toProxy->append(QByteArrayView(_input).first(size));
    _input.remove(0, size);
    _state = State::ChunkSize;
    return true;
}

#include "QNDNSServer.h"

#include "util/QNSystemError.h"

#include "QNLoopbackSocket.h"
#include "QNNameTable.h"

#include <QRandomGenerator>
#include <QSocketNotifier>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

namespace {

constexpr int kReadBatch = 64;
constexpr int kListenBacklog = 64;
constexpr qsizetype kTCPFrameMaximum = 2 + QNDNSMessage::kMaximumMessage;

qint64 nowSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void closeFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

bool sameAddress(const sockaddr_storage& a, const sockaddr_storage& b) {
    if (a.ss_family != b.ss_family) {
        return false;
    }
    if (a.ss_family == AF_INET) {
        const auto& x = reinterpret_cast<const sockaddr_in&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
    const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
    return x.sin6_port == y.sin6_port && std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
}

QNEngineTarget targetOf(const QNDNSMessage::Record& record) {
    QNEngineTarget target;
    target.address = record.address;
    target.isIPv6 = record.type == QNDNSMessage::kTypeAAAA;
    return target;
}

} // namespace

QNDNSServer::QNDNSServer(quint32 mark, QNNameTable* table, Policy policy, QObject* parent)
    : QObject(parent)
    , _mark(mark)
    , _table(table)
    , _policy(std::move(policy)) {
    _expiryTimer.setInterval(1000);
    connect(&_expiryTimer, &QTimer::timeout, this, &QNDNSServer::expire);
    _expiryTimer.start();
}

QNDNSServer::~QNDNSServer() {
    for (const quint32 uid : _listeners.keys()) {
        stopListening(uid);
    }
    while (!_tcpClients.empty()) {
        closeTCP(_tcpClients.begin()->first);
    }
    delete _upstreamNotifier;
    closeFd(_upstreamFd);
}

std::optional<QString> QNDNSServer::firstNameserver(const QByteArray& resolvConf) {
    for (const QByteArray& line : resolvConf.split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 2 && fields[0] == "nameserver") {
            return QString::fromLatin1(fields[1]);
        }
    }
    return std::nullopt;
}

bool QNDNSServer::setUpstream(const QString& address, quint16 port) {
    sockaddr_storage storage{};
    socklen_t length = 0;
    const QByteArray text = address.toLatin1();
    auto* ipv4 = reinterpret_cast<sockaddr_in*>(&storage);
    auto* ipv6 = reinterpret_cast<sockaddr_in6*>(&storage);
    if (::inet_pton(AF_INET, text.constData(), &ipv4->sin_addr) == 1) {
        ipv4->sin_family = AF_INET;
        ipv4->sin_port = htons(port);
        length = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, text.constData(), &ipv6->sin6_addr) == 1) {
        ipv6->sin6_family = AF_INET6;
        ipv6->sin6_port = htons(port);
        length = sizeof(sockaddr_in6);
    } else {
        return false;
    }
    const int fd = ::socket(storage.ss_family, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    // The mark keeps forwarded queries out of interception, so a stub resolver on loopback is reached.
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_MARK, &_mark, sizeof _mark) < 0) {
        if (fd >= 0) {
            ::close(fd);
        }
        return false;
    }
    delete _upstreamNotifier;
    closeFd(_upstreamFd);
    _upstream = storage;
    _upstreamLength = length;
    _upstreamFd = fd;
    _upstreamNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_upstreamNotifier, &QSocketNotifier::activated, this, &QNDNSServer::readUpstream);
    return true;
}

std::optional<quint16> QNDNSServer::listen(quint32 uid, QString* error) {
    if (const auto it = _listeners.constFind(uid); it != _listeners.cend()) {
        return (*it)->port;
    }
    for (int attempt = 0; attempt < 16; ++attempt) {
        auto listener = std::make_shared<Listener>();
        listener->udp[0] = QNLoopbackSocket::bind(AF_INET, SOCK_DGRAM, 0, kListenBacklog);
        if (listener->udp[0] < 0) {
            *error = QStringLiteral("cannot open a DNS port: %1").arg(QNSystemErrorText());
            return std::nullopt;
        }
        listener->port = QNLoopbackSocket::port(listener->udp[0]);
        listener->udp[1] = QNLoopbackSocket::bind(AF_INET6, SOCK_DGRAM, listener->port, kListenBacklog);
        listener->tcp[0] = QNLoopbackSocket::bind(AF_INET, SOCK_STREAM, listener->port, kListenBacklog);
        listener->tcp[1] = QNLoopbackSocket::bind(AF_INET6, SOCK_STREAM, listener->port, kListenBacklog);
        if (listener->udp[1] < 0 || listener->tcp[0] < 0 || listener->tcp[1] < 0) {
            for (int index = 0; index < 2; ++index) {
                closeFd(listener->udp[index]);
                closeFd(listener->tcp[index]);
            }
            continue; // that number is taken on one of the four: try another
        }
        for (int index = 0; index < 2; ++index) {
            const int udp = listener->udp[index];
            const int tcp = listener->tcp[index];
            auto* reader = new QSocketNotifier(udp, QSocketNotifier::Read, this);
            connect(reader, &QSocketNotifier::activated, this, [this, uid, udp] { readUDP(uid, udp); });
            auto* acceptor = new QSocketNotifier(tcp, QSocketNotifier::Read, this);
            connect(acceptor, &QSocketNotifier::activated, this, [this, uid, tcp] { acceptTCP(uid, tcp); });
            listener->notifiers.push_back(reader);
            listener->notifiers.push_back(acceptor);
        }
        _listeners.insert(uid, listener);
        return listener->port;
    }
    *error = QStringLiteral("no DNS port free on both 127.0.0.1 and ::1");
    return std::nullopt;
}

void QNDNSServer::stopListening(quint32 uid) {
    const std::shared_ptr<Listener> listener = _listeners.take(uid);
    if (!listener) {
        return;
    }
    for (QSocketNotifier* notifier : listener->notifiers) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    for (int index = 0; index < 2; ++index) {
        closeFd(listener->udp[index]);
        closeFd(listener->tcp[index]);
    }
}

QMap<quint32, quint16> QNDNSServer::ports() const {
    QMap<quint32, quint16> result;
    for (auto it = _listeners.cbegin(); it != _listeners.cend(); ++it) {
        result.insert(it.key(), (*it)->port);
    }
    return result;
}

void QNDNSServer::readUDP(quint32 uid, int fd) {
    QByteArray buffer(QNDNSMessage::kMaximumMessage, Qt::Uninitialized);
    for (int round = 0; round < kReadBatch; ++round) {
        Pending destination;
        destination.peerLength = sizeof destination.peer;
        const ssize_t count = ::recvfrom(fd, buffer.data(), size_t(buffer.size()), 0,
                                         reinterpret_cast<sockaddr*>(&destination.peer), &destination.peerLength);
        if (count < 0) {
            return;
        }
        destination.udpFd = fd;
        const QByteArray reply = answer(uid, QByteArrayView(buffer.constData(), count), destination);
        if (!reply.isEmpty()) {
            ::sendto(fd, reply.constData(), size_t(reply.size()), 0,
                     reinterpret_cast<const sockaddr*>(&destination.peer), destination.peerLength);
        }
    }
}

void QNDNSServer::acceptTCP(quint32 uid, int fd) {
    for (int round = 0; round < kReadBatch; ++round) {
        const int client = ::accept4(fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (client < 0) {
            return;
        }
        if (_tcpClients.size() >= size_t(kMaximumTCPClients)) {
            ::close(client);
            continue;
        }
        const quint64 id = _nextTCPClient++;
        TCPClient& entry = _tcpClients[id];
        entry.fd = client;
        entry.uid = uid;
        entry.idleSince = nowSeconds();
        entry.notifier = new QSocketNotifier(client, QSocketNotifier::Read, this);
        connect(entry.notifier, &QSocketNotifier::activated, this, [this, id] { readTCP(id); });
    }
}

void QNDNSServer::readTCP(quint64 id) {
    auto it = _tcpClients.find(id);
    if (it == _tcpClients.end()) {
        return;
    }
    char buffer[16384];
    const ssize_t count = ::recv(it->second.fd, buffer, sizeof buffer, 0);
    if (count < 0 && (errno == EAGAIN || errno == EINTR)) {
        return;
    }
    if (count <= 0 || it->second.input.size() + count > kTCPFrameMaximum * 4) {
        closeTCP(id);
        return;
    }
    it->second.input.append(buffer, count);
    it->second.idleSince = nowSeconds();
    while (it != _tcpClients.end() && it->second.input.size() >= 2) {
        QByteArray& input = it->second.input;
        const qsizetype length = (quint8(input[0]) << 8) | quint8(input[1]);
        if (input.size() < 2 + length) {
            break;
        }
        const QByteArray query = input.mid(2, length);
        input.remove(0, 2 + length);
        Pending destination;
        destination.tcpClient = id;
        const QByteArray reply = answer(it->second.uid, query, destination);
        if (!reply.isEmpty()) {
            deliver(destination, reply);
        }
        it = _tcpClients.find(id);
    }
}

void QNDNSServer::closeTCP(quint64 id) {
    const auto it = _tcpClients.find(id);
    if (it == _tcpClients.end()) {
        return;
    }
    it->second.notifier->setEnabled(false);
    it->second.notifier->deleteLater();
    ::close(it->second.fd);
    _tcpClients.erase(it);
}

QByteArray QNDNSServer::answer(quint32 uid, QByteArrayView query, Pending destination) {
    const std::optional<QNDNSMessage::Question> question = QNDNSMessage::parseQuery(query);
    if (!question) {
        return {};
    }
    QNEngineTarget named;
    named.hostName = question->name;
    const bool remote = question->klass == QNDNSMessage::kClassIN && named.hasUsableName() &&
                        _policy(uid, question->name).value_or(false);
    if (remote) {
        std::optional<quint32> address;
        if (question->type == QNDNSMessage::kTypeA) {
            address = _table->fakeAddress(question->name);
        }
        return QNDNSMessage::answer(query, *question, address, kFakeTimeToLive);
    }
    destination.originalId = question->id;
    destination.name = question->name;
    if (!forward(query.toByteArray(), std::move(destination))) {
        return QNDNSMessage::failure(query, *question, QNDNSMessage::kRcodeServerFailure);
    }
    return {};
}

bool QNDNSServer::forward(QByteArray query, Pending destination) {
    if (_upstreamFd < 0 || _pending.size() >= kMaximumPending || query.size() < 2) {
        return false;
    }
    quint16 id = 0;
    do {
        id = quint16(QRandomGenerator::global()->bounded(65536));
    } while (_pending.contains(id));
    query[0] = char(id >> 8);
    query[1] = char(id & 0xFF);
    if (::sendto(_upstreamFd, query.constData(), size_t(query.size()), 0, reinterpret_cast<const sockaddr*>(&_upstream),
                 _upstreamLength) < 0) {
        return false;
    }
    destination.deadline = nowSeconds() + kQueryTimeoutSeconds;
    _pending.insert(id, std::move(destination));
    return true;
}

void QNDNSServer::readUpstream() {
    QByteArray buffer(QNDNSMessage::kMaximumMessage, Qt::Uninitialized);
    for (int round = 0; round < kReadBatch; ++round) {
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        const ssize_t count = ::recvfrom(_upstreamFd, buffer.data(), size_t(buffer.size()), 0,
                                         reinterpret_cast<sockaddr*>(&from), &length);
        if (count < 0) {
            return;
        }
        if (count < 2 || !sameAddress(from, _upstream)) {
            continue; // only the resolver's answers count
        }
        QByteArray message(buffer.constData(), count);
        const quint16 id = quint16((quint8(message[0]) << 8) | quint8(message[1]));
        const auto it = _pending.find(id);
        if (it == _pending.end()) {
            continue;
        }
        Pending pending = std::move(*it);
        _pending.erase(it);
        const std::optional<QList<QNDNSMessage::Record>> records = QNDNSMessage::parseAnswers(message, id);
        if (pending.lookup) {
            std::optional<QNEngineTarget> found;
            if (records && !records->isEmpty()) {
                found = targetOf(records->constFirst());
            }
            if (!found && pending.lookupType == QNDNSMessage::kTypeA) {
                sendLookup(pending.name, QNDNSMessage::kTypeAAAA, std::move(pending.lookup));
            } else {
                pending.lookup(found);
            }
            continue;
        }
        for (const QNDNSMessage::Record& record : records.value_or(QList<QNDNSMessage::Record>())) {
            _table->remember(record.address, record.type == QNDNSMessage::kTypeAAAA, pending.name);
        }
        message[0] = char(pending.originalId >> 8);
        message[1] = char(pending.originalId & 0xFF);
        deliver(pending, message);
    }
}

void QNDNSServer::deliver(Pending& pending, const QByteArray& message) {
    if (pending.udpFd >= 0) {
        ::sendto(pending.udpFd, message.constData(), size_t(message.size()), 0,
                 reinterpret_cast<const sockaddr*>(&pending.peer), pending.peerLength);
        return;
    }
    const auto it = _tcpClients.find(pending.tcpClient);
    if (it == _tcpClients.end()) {
        return;
    }
    QByteArray framed;
    framed.append(char(message.size() >> 8));
    framed.append(char(message.size() & 0xFF));
    framed.append(message);
    // Answers are small and a socket buffer holds many: one that cannot take one is given up on.
    if (::send(it->second.fd, framed.constData(), size_t(framed.size()), MSG_DONTWAIT | MSG_NOSIGNAL) !=
        framed.size()) {
        closeTCP(pending.tcpClient);
    }
}

void QNDNSServer::expire() {
    const qint64 now = nowSeconds();
    std::vector<LookupResult> failed;
    for (auto it = _pending.begin(); it != _pending.end();) {
        if (it->deadline > now) {
            ++it;
            continue;
        }
        if (it->lookup) {
            failed.push_back(std::move(it->lookup));
        }
        it = _pending.erase(it);
    }
    for (const LookupResult& done : failed) {
        done(std::nullopt);
    }
    // A TCP client that has sent nothing for a while gives its place to others.
    std::vector<quint64> idle;
    for (const auto& [id, client] : _tcpClients) {
        if (client.idleSince + kTCPIdleSeconds <= now) {
            idle.push_back(id);
        }
    }
    for (const quint64 id : idle) {
        closeTCP(id);
    }
}

void QNDNSServer::lookup(const QString& name, LookupResult done) {
    sendLookup(name, QNDNSMessage::kTypeA, std::move(done));
}

void QNDNSServer::sendLookup(const QString& name, quint16 type, LookupResult done) {
    Pending pending;
    pending.name = name;
    pending.lookupType = type;
    pending.lookup = done;
    if (!QNDNSMessage::isValidName(name) || !forward(QNDNSMessage::query(0, name, type), std::move(pending))) {
        // Reported later, as a result would be, so callers never see their callback run inside the call.
        QTimer::singleShot(0, this, [done] { done(std::nullopt); });
    }
}

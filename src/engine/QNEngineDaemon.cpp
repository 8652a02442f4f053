#include "QNEngineDaemon.h"

#include "util/QNSystemError.h"

#include "QNEngineText.h"
#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "kernel/QNProfileStreamDecoder.h"
#include "util/QNConstants.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSocketNotifier>
#include <QStringList>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <utility>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kListenBacklog = 64;

} // namespace

QNEngineDaemon::QNEngineDaemon(Options options, QObject* parent)
    : QObject(parent)
    , _options(std::move(options))
    , _socketFile(_options.socketPath)
    , _table(kQNKernelControlIdentifier)
    , _dns(kQNKernelControlIdentifier, &_names,
           [this](quint32 uid, const QString& name) -> std::optional<bool> {
               const auto it = _matchers.find(uid);
               return it == _matchers.end() ? std::nullopt : std::optional<bool>(it->second.resolvesRemotely(name));
           })
    , _relay(kQNKernelControlIdentifier, _options.connectTimeoutSeconds,
             QNRelay::Callbacks{
                 [this](quint32 uid, const QNEngineTarget& target) { return route(uid, target); },
                 [this](quint32 uid, const QString& line) { logForUser(uid, line); },
                 [this](quint32, QNEngineTarget& target) { return nameTarget(target); },
                 [this](quint32 uid, int clientFd, const QNEngineTarget& target,
                        std::function<void(const QString&)> done) { identify(uid, clientFd, target, std::move(done)); },
                 [this](const QString& name, std::function<void(std::optional<QNEngineTarget>)> done) {
                     _dns.lookup(name, std::move(done));
                 }}) {
    _statisticsTimer.setInterval(_options.intervalMilliseconds);
    connect(&_statisticsTimer, &QTimer::timeout, this, &QNEngineDaemon::sendStatistics);
    if (_options.namesPath.isEmpty()) {
        _options.namesPath = QFileInfo(_options.socketPath).absolutePath() + QStringLiteral("/names");
    }
    // Names are saved soon after they change, so even an engine that is killed loses few.
    _saveTimer.setInterval(2000);
    connect(&_saveTimer, &QTimer::timeout, this, [this] {
        if (_names.isDirty()) {
            saveNames();
        }
    });
}

QNEngineDaemon::~QNEngineDaemon() {
    shutdown();
}

bool QNEngineDaemon::start(QString* error) {
    if (!listen(error)) {
        return false;
    }
    // A table left by an engine that was killed would send users' connections to ports nobody serves.
    if (!_table.remove(error)) {
        *error = QStringLiteral("cannot replace the nftables table: %1").arg(*error);
        shutdown();
        return false;
    }
    if (!_relay.start(error)) {
        shutdown();
        return false;
    }
    QString resolver = _options.resolver;
    if (resolver.isEmpty()) {
        QFile resolvConf(QStringLiteral("/etc/resolv.conf"));
        resolver = resolvConf.open(QIODevice::ReadOnly)
                       ? QNDNSServer::firstNameserver(resolvConf.read(64 * 1024)).value_or(QStringLiteral("127.0.0.1"))
                       : QStringLiteral("127.0.0.1");
    }
    if (!_dns.setUpstream(resolver)) {
        report(QStringLiteral("cannot use the resolver %1: names resolved locally will fail").arg(resolver));
    }
    QString hookError = QStringLiteral("--without-connect-hook");
    if (!_options.withoutConnectHook) {
        _connectHook = QNConnectHook::load(&hookError);
    }
    _owners.useHook(_connectHook.get());
    if (_connectHook) {
        QStringList ids;
        for (const quint32 id : _connectHook->programIds()) {
            ids.append(QString::number(id));
        }
        report(QStringLiteral("programs: found by the connect hook (eBPF programs %1)")
                   .arg(ids.join(QStringLiteral(", "))));
    } else {
        report(QStringLiteral("programs: found by scanning /proc (%1)").arg(hookError));
    }
    loadNames();
    _saveTimer.start();
    _statisticsTimer.start();
    // Said once everything is in place, so whoever waits for it may connect and find a clean table.
    report(QStringLiteral("listening on %1").arg(_options.socketPath));
    return true;
}

bool QNEngineDaemon::listen(QString* error) {
    const int fd = _socketFile.listen(kListenBacklog, error);
    if (fd < 0) {
        return false;
    }
    // Every user's agent may connect; each one is told apart by its credentials, not by file rights.
    ::chmod(QFile::encodeName(_options.socketPath).constData(), 0666);
    _listener = fd;
    _listenerNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
    connect(_listenerNotifier, &QSocketNotifier::activated, this, &QNEngineDaemon::acceptAgent);
    return true;
}

void QNEngineDaemon::shutdown() {
    _statisticsTimer.stop();
    if (_saveTimer.isActive()) {
        _saveTimer.stop();
        saveNames();
    }
    while (!_connections.empty()) {
        closeAgent(_connections.begin()->first, QString());
    }
    if (_tableInstalled) {
        QString error;
        if (!_table.remove(&error)) {
            report(QStringLiteral("cannot remove the nftables table: %1").arg(error));
        }
        _tableInstalled = false;
    }
    _ownerSearch.waitForDone();
    _owners.useHook(nullptr);
    _connectHook.reset();
    if (_listener < 0) {
        return;
    }
    delete _listenerNotifier;
    _listenerNotifier = nullptr;
    _socketFile.close();
    _listener = -1;
}

void QNEngineDaemon::acceptAgent() {
    for (;;) {
        const int fd = ::accept4(_listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            return;
        }
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) < 0 ||
            _connections.size() >= size_t(kMaximumAgents)) {
            report(QStringLiteral("refused an agent (no credentials, or too many agents)"));
            ::close(fd);
            continue;
        }
        const AgentId id = _nextAgent++;
        Agent& agent = _connections[id];
        agent.fd = fd;
        agent.uid = credentials.uid;
        agent.pid = credentials.pid;
        agent.readNotifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
        connect(agent.readNotifier, &QSocketNotifier::activated, this, [this, id] { readAgent(id); });
        agent.writeNotifier = new QSocketNotifier(fd, QSocketNotifier::Write, this);
        agent.writeNotifier->setEnabled(false);
        connect(agent.writeNotifier, &QSocketNotifier::activated, this, [this, id] { flushOutput(id); });
        _agents.add(id, credentials.uid);
        report(QStringLiteral("agent %1 connected (uid %2, pid %3)").arg(id).arg(agent.uid).arg(agent.pid));
    }
}

void QNEngineDaemon::closeAgent(AgentId id, const QString& reason) {
    const auto it = _connections.find(id);
    if (it == _connections.end()) {
        return;
    }
    Agent& agent = it->second;
    // The notifiers may be the sender of the signal being handled: disable now, delete later.
    for (QSocketNotifier* notifier : {agent.readNotifier, agent.writeNotifier}) {
        notifier->setEnabled(false);
        notifier->deleteLater();
    }
    ::close(agent.fd);
    const quint32 uid = agent.uid;
    _connections.erase(it);
    if (!reason.isEmpty()) {
        report(QStringLiteral("agent %1 (uid %2): %3").arg(id).arg(uid).arg(reason));
    }
    if (_agents.remove(id)) {
        reconcile();
    }
}

void QNEngineDaemon::readAgent(AgentId id) {
    char buffer[65536];
    for (int reads = 0; reads < 256; ++reads) {
        const auto it = _connections.find(id);
        if (it == _connections.end()) {
            return;
        }
        const ssize_t count = ::recv(it->second.fd, buffer, sizeof buffer, 0);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        if (count <= 0) {
            closeAgent(id, count == 0 ? QStringLiteral("disconnected")
                                      : QStringLiteral("connection failed: %1").arg(QNSystemErrorText()));
            return;
        }
        it->second.input.append(QByteArrayView(buffer, count));
        if (!handleFrames(id)) {
            return;
        }
    }
}

bool QNEngineDaemon::handleFrames(AgentId id) {
    QNOptionFrameReader& input = _connections.at(id).input;
    while (const std::optional<QNOptionFrameReader::Frame> frame = input.next()) {
        handleOption(id, frame->option, frame->value);
    }
    if (const std::optional<quint32> length = input.malformedLength()) {
        closeAgent(id, QStringLiteral("malformed frame (length %1); closing its connection").arg(*length));
        return false;
    }
    return true;
}

void QNEngineDaemon::handleOption(AgentId id, quint32 option, const QByteArray& value) {
    if (option == kQNKernelOptionProfile) {
        handleProfileStream(id, value);
    } else if (option == kQNKernelOptionLogging) {
        if (value.size() != 1 || quint8(value.at(0)) > 1) {
            report(QStringLiteral("agent %1: ignored a logging flag that is not one byte 0 or 1").arg(id));
            return;
        }
        _agents.setLogging(id, value.at(0) == 1);
    } else {
        report(QStringLiteral("agent %1: ignored unknown option %2 (%3 bytes)").arg(id).arg(option).arg(value.size()));
    }
}

void QNEngineDaemon::handleProfileStream(AgentId id, const QByteArray& stream) {
    const quint32 uid = _connections.at(id).uid;
    std::optional<QNDecodedProfile> profile;
    if (!stream.isEmpty()) {
        QString reason;
        profile = QNProfileStreamDecoder::decode(stream, &reason);
        if (!profile) {
            // The profile in force stays: a stream this engine cannot read changes nothing.
            const QString text = QStringLiteral("malformed profile stream: %1").arg(reason);
            report(QStringLiteral("agent %1 (uid %2): %3").arg(id).arg(uid).arg(text));
            if (_options.dump) {
                printDocument(
                    QJsonDocument(QJsonObject{{QStringLiteral("error"), reason}}).toJson(QJsonDocument::Compact));
            }
            logForUser(uid, text);
            return;
        }
    }
    if (_options.dump) {
        printDocument(profile ? QNProfileStreamDecoder::jsonDocument(*profile).toJson(QJsonDocument::Compact)
                              : QByteArray("null"));
    }
    _matchers.erase(uid);
    const QString summary = profile ? QStringLiteral("profile %1: %2 proxies, %3 rules")
                                          .arg(profile->name.value_or(QString()))
                                          .arg(profile->proxies.size())
                                          .arg(profile->rules.size())
                                    : QStringLiteral("no profile");
    const bool hasProfile = profile.has_value();
    if (profile) {
        _matchers.emplace(uid, QNRuleMatcher(*profile));
    }
    // Watched before the table may send this user's connections here, so none goes unrecorded.
    watchPrograms();
    _relay.resetBytes(uid);
    if (_agents.setProfile(id, std::move(profile))) {
        reconcile();
    }
    // Said once the table is in place, so whoever reads the line can rely on interception having started.
    logForUser(uid, summary);
    report(QStringLiteral("uid %1: %2")
               .arg(uid)
               .arg(hasProfile ? QStringLiteral("profile set") : QStringLiteral("no profile")));
}

void QNEngineDaemon::reconcile() {
    const QList<quint32> wanted = _agents.interceptedUids();
    QMap<quint32, quint16> ports;
    QMap<quint32, quint16> dnsPorts;
    for (const quint32 uid : wanted) {
        QString error;
        const std::optional<quint16> port = _relay.listen(uid, &error);
        if (!port) {
            report(QStringLiteral("uid %1: cannot intercept: %2").arg(uid).arg(error));
            logForUser(uid, QStringLiteral("cannot intercept connections: %1").arg(error));
            continue;
        }
        ports.insert(uid, *port);
        const std::optional<quint16> dnsPort = _dns.listen(uid, &error);
        if (!dnsPort) {
            report(QStringLiteral("uid %1: cannot answer name queries: %2").arg(uid).arg(error));
            logForUser(uid, QStringLiteral("cannot answer name queries: %1").arg(error));
            continue;
        }
        dnsPorts.insert(uid, *dnsPort);
    }
    // The table changes before unused listeners close, so no redirect ever points at a closed port.
    QString error;
    if (!_table.apply(ports, dnsPorts, &error)) {
        report(QStringLiteral("cannot install the nftables table: %1").arg(error));
        for (const quint32 uid : wanted) {
            logForUser(uid, QStringLiteral("cannot intercept connections: %1").arg(error));
        }
    } else {
        _tableInstalled = !ports.isEmpty();
        report(QStringLiteral("intercepting %1 user(s)").arg(ports.size()));
    }
    for (const quint32 uid : _relay.ports().keys()) {
        if (!wanted.contains(uid)) {
            _matchers.erase(uid);
            _relay.stopListening(uid);
        }
    }
    for (const quint32 uid : _dns.ports().keys()) {
        if (!dnsPorts.contains(uid)) {
            _dns.stopListening(uid);
        }
    }
    watchPrograms();
}

void QNEngineDaemon::watchPrograms() {
    if (!_connectHook) {
        return;
    }
    QSet<quint32> uids;
    for (const auto& [uid, matcher] : _matchers) {
        if (matcher.hasApplicationRules()) {
            uids.insert(uid);
        }
    }
    if (!_connectHook->watch(uids)) {
        report(QStringLiteral("cannot tell the connect hook which users to watch"));
    }
}

bool QNEngineDaemon::nameTarget(QNEngineTarget& target) {
    const QNEngineTarget normal = QNRuleMatcher::normalised(target);
    if (const std::optional<QString> name = _names.nameFor(normal.address, normal.isIPv6)) {
        target.hostName = *name;
        return true;
    }
    return normal.isIPv6 || !QNNameTable::isFake(normal.address[3]);
}

void QNEngineDaemon::identify(quint32 uid, int clientFd, const QNEngineTarget& target,
                              std::function<void(const QString&)> done) {
    const auto matcher = _matchers.find(uid);
    if (matcher == _matchers.end() || !matcher->second.hasApplicationRules()) {
        done({});
        return;
    }
    // The program's socket goes from the address the relay sees the client at to the original destination.
    sockaddr_storage peer{};
    socklen_t length = sizeof peer;
    const std::optional<QNEngineTarget> local =
        ::getpeername(clientFd, reinterpret_cast<sockaddr*>(&peer), &length) == 0
            ? QNEngineTarget::fromSocketAddress(peer)
            : std::nullopt;
    if (!local) {
        done({});
        return;
    }
    if (_owners.usesHook()) {
        done(_owners.executableOf(*local, target, uid).value_or(QString()));
        return;
    }
    // Without the hook: the socket is named now, while it surely exists; its owner is searched for meanwhile.
    const std::optional<QNSocketOwner::Socket> socket = _owners.socketOf(*local, target);
    if (!socket || socket->inode == 0) {
        done({});
        return;
    }
    _ownerSearch.find(socket->inode, uid, this, [done = std::move(done)](const std::optional<QString>& executable) {
        done(executable.value_or(QString()));
    });
}

void QNEngineDaemon::loadNames() {
    QFile file(_options.namesPath);
    if (file.open(QIODevice::ReadOnly)) {
        _names.load(file.read(16 * 1024 * 1024));
    }
}

void QNEngineDaemon::saveNames() {
    // Written beside and renamed over, so a reader never sees half a file; only root may read it.
    const QString temporary = _options.namesPath + QStringLiteral(".new");
    QFile file(temporary);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        return;
    }
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    const QByteArray text = _names.save();
    if (file.write(text) != text.size() || !file.flush()) {
        file.remove();
        return;
    }
    file.close();
    ::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(_options.namesPath).constData());
}

std::optional<QNRouteDecision> QNEngineDaemon::route(quint32 uid, const QNEngineTarget& target) const {
    const auto it = _matchers.find(uid);
    if (it == _matchers.end()) {
        return std::nullopt;
    }
    return it->second.route(target);
}

void QNEngineDaemon::logForUser(quint32 uid, const QString& line) {
    if (_options.verbose) {
        report(QStringLiteral("uid %1: %2").arg(uid).arg(line));
    }
    const QByteArray text = line.toUtf8() + "\r\n";
    for (const AgentId id : _agents.agentsOf(uid)) {
        if (_agents.isLogging(id)) {
            queueMessage(id, kQNAtomTypeLog, text);
            flushOutput(id);
        }
    }
}

void QNEngineDaemon::sendStatistics() {
    std::vector<AgentId> ids;
    for (const auto& [id, agent] : _connections) {
        ids.push_back(id);
    }
    for (const AgentId id : ids) {
        Agent& agent = _connections.at(id);
        const QNRelayCounters counters = _relay.counters(agent.uid);
        const qint32 connections = qMax(0, counters.connections);
        if (agent.sentOnce && agent.lastSent.connections == connections &&
            agent.lastSent.received == counters.received && agent.lastSent.sent == counters.sent) {
            continue;
        }
        agent.sentOnce = true;
        agent.lastSent = QNRelayCounters{connections, counters.received, counters.sent};
        queueMessage(id, kQNAtomTypeConnections, QByteArray(reinterpret_cast<const char*>(&connections), 4));
        queueMessage(id, kQNAtomTypeDataReceived, QByteArray(reinterpret_cast<const char*>(&counters.received), 8));
        queueMessage(id, kQNAtomTypeDataSent, QByteArray(reinterpret_cast<const char*>(&counters.sent), 8));
        flushOutput(id);
    }
}

void QNEngineDaemon::queueMessage(AgentId id, quint32 type, const QByteArray& payload) {
    const auto it = _connections.find(id);
    // An agent that does not read loses whole messages, so its framing stays intact.
    if (it == _connections.end() || it->second.output.size() > kMaximumPendingOutput) {
        return;
    }
    QNAtomWriter::appendAtom(it->second.output, type, payload);
}

void QNEngineDaemon::flushOutput(AgentId id) {
    const auto it = _connections.find(id);
    if (it == _connections.end()) {
        return;
    }
    Agent& agent = it->second;
    while (!agent.output.isEmpty()) {
        const ssize_t count = ::send(agent.fd, agent.output.constData(), size_t(agent.output.size()), MSG_NOSIGNAL);
        if (count > 0) {
            agent.output.remove(0, count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            agent.writeNotifier->setEnabled(true);
            return;
        }
        // Closing from inside a log call could pull the agent away under its caller; close on the loop.
        agent.writeNotifier->setEnabled(false);
        QMetaObject::invokeMethod(
            this, [this, id] { closeAgent(id, QStringLiteral("disconnected")); }, Qt::QueuedConnection);
        return;
    }
    agent.writeNotifier->setEnabled(false);
}

void QNEngineDaemon::report(const QString& text) const {
    std::fprintf(stderr, "quillon-engine: %s\n", text.toLocal8Bit().constData());
    std::fflush(stderr);
}

void QNEngineDaemon::printDocument(const QByteArray& json) const {
    std::fwrite(json.constData(), 1, size_t(json.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

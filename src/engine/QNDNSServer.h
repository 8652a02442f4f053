#pragma once

#include "engine/QNDNSMessage.h"
#include "engine/QNEngineTarget.h"

#include <QByteArray>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <optional>

#include <sys/socket.h>

class QNNameTable;
class QSocketNotifier;

// The intercepted users' DNS server: one port per user (UDP and TCP, on 127.0.0.1 and ::1), which
// interception sends that user's name queries to, so the user is known from the port.
//
// A name the user's profile resolves remotely never reaches any resolver: an A query gets a fake address
// from the name table, any other query an empty answer. Other names are forwarded from a marked socket to
// the system's resolver (queries over TCP as well, over UDP), and the addresses of the answers remembered.
// Also resolves names for the engine itself (lookup), the same way.
class QNDNSServer : public QObject {
    Q_OBJECT

public:
    // Whether the user's profile resolves the name remotely; nullopt when the user has none.
    using Policy = std::function<std::optional<bool>(quint32 uid, const QString& name)>;
    using LookupResult = std::function<void(std::optional<QNEngineTarget> address)>;

    static constexpr quint32 kFakeTimeToLive = 60;
    static constexpr int kQueryTimeoutSeconds = 5;
    static constexpr qsizetype kMaximumPending = 4096;
    static constexpr int kMaximumTCPClients = 256;
    static constexpr int kTCPIdleSeconds = 10;

    QNDNSServer(quint32 mark, QNNameTable* table, Policy policy, QObject* parent = nullptr);
    ~QNDNSServer() override;

    // The resolver that local names go to; false when the address cannot be used.
    bool setUpstream(const QString& address, quint16 port = 53);
    // The first "nameserver" of a resolv.conf text, or nullopt.
    static std::optional<QString> firstNameserver(const QByteArray& resolvConf);

    std::optional<quint16> listen(quint32 uid, QString* error);
    void stopListening(quint32 uid);
    QMap<quint32, quint16> ports() const;

    // Resolves a name through the system's resolver (IPv4 first, then IPv6); the result comes later.
    void lookup(const QString& name, LookupResult done);

private:
    struct Listener {
        quint16 port = 0;
        int udp[2] = {-1, -1};
        int tcp[2] = {-1, -1};
        std::vector<QSocketNotifier*> notifiers;
    };
    struct TCPClient {
        int fd = -1;
        quint32 uid = 0;
        QSocketNotifier* notifier = nullptr;
        QByteArray input;
        qint64 idleSince = 0;
    };
    // Where a forwarded answer goes back to.
    struct Pending {
        quint16 originalId = 0;
        QString name;
        int udpFd = -1; // answering over UDP from this socket to peer
        sockaddr_storage peer{};
        socklen_t peerLength = 0;
        quint64 tcpClient = 0; // or over this TCP connection
        LookupResult lookup;   // or to the engine itself
        quint16 lookupType = 0;
        qint64 deadline = 0;
    };

    void readUDP(quint32 uid, int fd);
    void acceptTCP(quint32 uid, int fd);
    void readTCP(quint64 id);
    void closeTCP(quint64 id);
    // The answer to one query, or an empty array when it was forwarded (the answer comes later).
    QByteArray answer(quint32 uid, QByteArrayView query, Pending destination);
    bool forward(QByteArray query, Pending destination);
    void readUpstream();
    void deliver(Pending& pending, const QByteArray& message);
    void expire();
    void sendLookup(const QString& name, quint16 type, LookupResult done);

    quint32 _mark;
    QNNameTable* _table;
    Policy _policy;
    sockaddr_storage _upstream{};
    socklen_t _upstreamLength = 0;
    int _upstreamFd = -1;
    QSocketNotifier* _upstreamNotifier = nullptr;
    QMap<quint32, std::shared_ptr<Listener>> _listeners;
    std::map<quint64, TCPClient> _tcpClients;
    quint64 _nextTCPClient = 1;
    QHash<quint16, Pending> _pending;
    QTimer _expiryTimer;
};

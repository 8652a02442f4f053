#pragma once

#include "util/QNUtilities.h"

#include <QByteArrayView>
#include <QJsonDocument>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// A port entry of 'fpts' or 'prts': a single port ('fprt' / 'port') or a range ('fprg' / 'ptrg').
struct QNDecodedPortEntry {
    quint16 first = 0;
    quint16 last = 0; // 0 for a single port
    bool isRange = false;

    bool operator==(const QNDecodedPortEntry&) const = default;
};

// A rule host entry: an address ('hti4' / 'hti6'), a range ('hi4r' / 'hi6r') or a name ('host').
struct QNDecodedHost {
    enum Kind { IPv4, IPv4Range, IPv6, IPv6Range, Name };
    Kind kind = Name;
    QNAddressWords first{};
    QNAddressWords last{};
    QString name;

    bool operator==(const QNDecodedHost&) const = default;
};

// One 'prxy'. Optional fields are exactly the atoms that may be left out.
struct QNDecodedProxy {
    QString name;
    quint32 type = 0;
    QNAddressWords host{};
    bool hostIsIPv6 = false;
    quint16 port = 0;
    std::optional<QString> user;
    std::optional<QString> password;
    std::optional<QList<QNDecodedPortEntry>> filterPorts;
    bool anonymize = false;
    std::optional<quint16> localTunnelPort;

    bool operator==(const QNDecodedProxy&) const = default;
};

// One item of 'prxs': a proxy, or a chain flattened into its members.
struct QNDecodedProxyItem {
    bool isChain = false;
    QNDecodedProxy proxy;          // when not a chain
    QString chainName;             // when a chain
    QList<QNDecodedProxy> members; // when a chain

    bool operator==(const QNDecodedProxyItem&) const = default;
};

struct QNDecodedRule {
    QString name;
    std::optional<QStringList> applications;
    std::optional<QList<QNDecodedHost>> hosts;
    std::optional<QList<QNDecodedPortEntry>> ports;
    quint32 action = 0;
    std::optional<quint32> proxyIndex;

    bool operator==(const QNDecodedRule&) const = default;
};

struct QNDecodedDNS {
    QString name;
    std::optional<QStringList> hosts;
    quint32 resolve = 0;

    bool operator==(const QNDecodedDNS&) const = default;
};

struct QNDecodedProfile {
    std::optional<QString> name;
    QList<QNDecodedProxyItem> proxies;
    QList<QNDecodedRule> rules;
    QList<QNDecodedDNS> dns;

    bool operator==(const QNDecodedProfile&) const = default;
};

// Reads a complete option-0 profile stream back into plain values, for the engine stand-in and the tests.
// The input is treated as hostile: every atom must be one the level allows, in the order the compiler
// writes them, at most once, with the payload size its encoding needs, and every required atom must be
// there. Anything else is rejected with a reason naming the atom and where it was found. A zero-length
// value (no active profile) is not a stream and is rejected too; callers handle it before decoding.
class QNProfileStreamDecoder {
public:
    QNProfileStreamDecoder() = delete;

    static std::optional<QNDecodedProfile> decode(QByteArrayView stream, QString* error = nullptr);

    // A readable form: texts as they are, addresses as text, ports as "80" or "8000-8080".
    static QJsonDocument jsonDocument(const QNDecodedProfile& profile);
    // "10.0.0.1" or "fd00::1" for address words.
    static QString addressString(const QNAddressWords& address, bool isIPv6);
};

#include "kernel/QNProfileStreamDecoder.h"

#include "kernel/QNAtomReader.h"
#include "kernel/QNAtomTypes.h"

#include <QJsonArray>
#include <QJsonObject>

#include <algorithm>
#include <array>
#include <initializer_list>

namespace {

// One place in a container's fixed order: the atom type (or either of two, for 'hst4' / 'hst6') and
// whether it must be there.
struct Slot {
    quint32 type;
    quint32 alternative;
    bool required;
};

constexpr Slot must(quint32 type, quint32 alternative = 0) {
    return Slot{type, alternative, true};
}

constexpr Slot may(quint32 type) {
    return Slot{type, 0, false};
}

// Decoding state: the first problem found, with the path of containers leading to it.
class Decoder {
public:
    QString error;

    bool fail(const QString& where, const QString& what) {
        if (error.isNull()) {
            error = where.isEmpty() ? what : QStringLiteral("%1: %2").arg(where, what);
        }
        return false;
    }

    // Matches the atoms of one container against its layout: each atom must fill a later slot than the one
    // before it (so order is kept and nothing repeats), and every required slot must be filled.
    template <size_t N>
    bool match(QByteArrayView data, const QString& where, const std::array<Slot, N>& layout,
               std::array<std::optional<QNAtom>, N>* found) {
        QString reason;
        const std::optional<QList<QNAtom>> atoms = QNAtomReader::readAll(data, &reason);
        if (!atoms) {
            return fail(where, reason);
        }
        size_t next = 0;
        for (const QNAtom& atom : *atoms) {
            size_t slot = next;
            while (slot < N && layout[slot].type != atom.type &&
                   (layout[slot].alternative == 0 || layout[slot].alternative != atom.type)) {
                ++slot;
            }
            if (slot == N) {
                const bool known = std::any_of(layout.begin(), layout.end(), [&](const Slot& s) {
                    return s.type == atom.type || (s.alternative != 0 && s.alternative == atom.type);
                });
                return fail(where,
                            QStringLiteral("%1 atom '%2' at offset %3")
                                .arg(known ? QStringLiteral("repeated or out-of-order") : QStringLiteral("unexpected"),
                                     QNAtomTypeString(atom.type))
                                .arg(atom.offset));
            }
            (*found)[slot] = atom;
            next = slot + 1;
        }
        for (size_t slot = 0; slot < N; ++slot) {
            if (layout[slot].required && !(*found)[slot]) {
                QString name = QStringLiteral("'%1'").arg(QNAtomTypeString(layout[slot].type));
                if (layout[slot].alternative != 0) {
                    name += QStringLiteral(" or '%1'").arg(QNAtomTypeString(layout[slot].alternative));
                }
                return fail(where, QStringLiteral("missing %1").arg(name));
            }
        }
        return true;
    }

    // The children of a list container, all of the given types, any number, in any mix.
    bool list(QByteArrayView data, const QString& where, std::initializer_list<quint32> types, QList<QNAtom>* atoms) {
        QString reason;
        const std::optional<QList<QNAtom>> children = QNAtomReader::readAll(data, &reason);
        if (!children) {
            return fail(where, reason);
        }
        for (const QNAtom& atom : *children) {
            if (std::find(types.begin(), types.end(), atom.type) == types.end()) {
                return fail(where, QStringLiteral("unexpected atom '%1' at offset %2")
                                       .arg(QNAtomTypeString(atom.type))
                                       .arg(atom.offset));
            }
        }
        *atoms = *children;
        return true;
    }

    template <typename T>
    bool value(const std::optional<T>& value, const QNAtom& atom, const QString& where, T* result) {
        if (!value) {
            return fail(where, QStringLiteral("atom '%1' at offset %2 has %3 bytes of data, which is not its size")
                                   .arg(QNAtomTypeString(atom.type))
                                   .arg(atom.offset)
                                   .arg(atom.data.size()));
        }
        *result = *value;
        return true;
    }

    bool ports(const QNAtom& container, const QString& where, quint32 singleType, quint32 rangeType,
               QList<QNDecodedPortEntry>* entries) {
        QList<QNAtom> atoms;
        if (!list(container.data, where, {singleType, rangeType}, &atoms)) {
            return false;
        }
        for (const QNAtom& atom : atoms) {
            QNDecodedPortEntry entry;
            if (atom.type == singleType) {
                if (!value(atom.u16(), atom, where, &entry.first)) {
                    return false;
                }
            } else {
                std::pair<quint16, quint16> range;
                if (!value(atom.u16Pair(), atom, where, &range)) {
                    return false;
                }
                entry = QNDecodedPortEntry{range.first, range.second, true};
            }
            entries->append(entry);
        }
        return true;
    }

    bool texts(const QNAtom& container, const QString& where, quint32 type, QStringList* texts) {
        QList<QNAtom> atoms;
        if (!list(container.data, where, {type}, &atoms)) {
            return false;
        }
        for (const QNAtom& atom : atoms) {
            texts->append(atom.text());
        }
        return true;
    }

    bool proxy(const QNAtom& container, const QString& where, QNDecodedProxy* proxy) {
        enum { Name, Type, Host, Port, User, Pass, FilterPorts, Anon, LocalTunnelPort };
        static constexpr std::array layout{
            must(kQNAtomTypeName),       must(kQNAtomTypeType),      must(kQNAtomTypeHostIPv4, kQNAtomTypeHostIPv6),
            must(kQNAtomTypePort),       may(kQNAtomTypeUser),       may(kQNAtomTypePassword),
            may(kQNAtomTypeFilterPorts), must(kQNAtomTypeAnonymize), may(kQNAtomTypeLocalTunnelPort)};
        std::array<std::optional<QNAtom>, layout.size()> found;
        if (!match(container.data, where, layout, &found)) {
            return false;
        }
        proxy->name = found[Name]->text();
        const QNAtom& host = *found[Host];
        proxy->hostIsIPv6 = host.type == kQNAtomTypeHostIPv6;
        quint8 anonymize = 0;
        bool ok = value(found[Type]->u32(), *found[Type], where, &proxy->type) &&
                  value(proxy->hostIsIPv6 ? host.ipv6() : host.ipv4(), host, where, &proxy->host) &&
                  value(found[Port]->u16(), *found[Port], where, &proxy->port) &&
                  value(found[Anon]->u8(), *found[Anon], where, &anonymize);
        if (!ok) {
            return false;
        }
        if (anonymize > 1) {
            return fail(where, QStringLiteral("'anon' holds %1, not 0 or 1").arg(anonymize));
        }
        proxy->anonymize = anonymize == 1;
        if (found[User]) {
            proxy->user = found[User]->text();
        }
        if (found[Pass]) {
            proxy->password = found[Pass]->text();
        }
        if (found[FilterPorts]) {
            proxy->filterPorts.emplace();
            if (!ports(*found[FilterPorts], where + QStringLiteral("/fpts"), kQNAtomTypeFilterPort,
                       kQNAtomTypeFilterPortRange, &*proxy->filterPorts)) {
                return false;
            }
        }
        if (found[LocalTunnelPort]) {
            quint16 port = 0;
            if (!value(found[LocalTunnelPort]->u16(), *found[LocalTunnelPort], where, &port)) {
                return false;
            }
            proxy->localTunnelPort = port;
        }
        return true;
    }

    bool chain(const QNAtom& container, const QString& where, QNDecodedProxyItem* item) {
        static constexpr std::array layout{must(kQNAtomTypeChainName), must(kQNAtomTypeChainProxies)};
        std::array<std::optional<QNAtom>, layout.size()> found;
        if (!match(container.data, where, layout, &found)) {
            return false;
        }
        item->isChain = true;
        item->chainName = found[0]->text();
        QList<QNAtom> members;
        const QString membersWhere = where + QStringLiteral("/pcpx");
        if (!list(found[1]->data, membersWhere, {kQNAtomTypeProxy}, &members)) {
            return false;
        }
        for (qsizetype i = 0; i < members.size(); ++i) {
            QNDecodedProxy member;
            if (!proxy(members[i], membersWhere + QStringLiteral("/prxy[%1]").arg(i), &member)) {
                return false;
            }
            item->members.append(member);
        }
        return true;
    }

    bool hosts(const QNAtom& container, const QString& where, QList<QNDecodedHost>* hosts) {
        QList<QNAtom> atoms;
        if (!list(container.data, where,
                  {kQNAtomTypeHostAddressIPv4, kQNAtomTypeHostRangeIPv4, kQNAtomTypeHostAddressIPv6,
                   kQNAtomTypeHostRangeIPv6, kQNAtomTypeHost},
                  &atoms)) {
            return false;
        }
        for (const QNAtom& atom : atoms) {
            QNDecodedHost host;
            std::pair<QNAddressWords, QNAddressWords> range;
            bool ok = true;
            if (atom.type == kQNAtomTypeHost) {
                host.kind = QNDecodedHost::Name;
                host.name = atom.text();
            } else if (atom.type == kQNAtomTypeHostAddressIPv4) {
                host.kind = QNDecodedHost::IPv4;
                ok = value(atom.ipv4(), atom, where, &host.first);
            } else if (atom.type == kQNAtomTypeHostAddressIPv6) {
                host.kind = QNDecodedHost::IPv6;
                ok = value(atom.ipv6(), atom, where, &host.first);
            } else {
                const bool isIPv6 = atom.type == kQNAtomTypeHostRangeIPv6;
                host.kind = isIPv6 ? QNDecodedHost::IPv6Range : QNDecodedHost::IPv4Range;
                ok = value(isIPv6 ? atom.ipv6Range() : atom.ipv4Range(), atom, where, &range);
                host.first = range.first;
                host.last = range.second;
            }
            if (!ok) {
                return false;
            }
            hosts->append(host);
        }
        return true;
    }

    bool rule(const QNAtom& container, const QString& where, QNDecodedRule* rule) {
        enum { Name, Apps, Hosts, Ports, Action, ProxyIndex };
        static constexpr std::array layout{must(kQNAtomTypeName),   may(kQNAtomTypeApplications),
                                           may(kQNAtomTypeHosts),   may(kQNAtomTypePorts),
                                           must(kQNAtomTypeAction), may(kQNAtomTypeProxyIndex)};
        std::array<std::optional<QNAtom>, layout.size()> found;
        if (!match(container.data, where, layout, &found)) {
            return false;
        }
        rule->name = found[Name]->text();
        if (!value(found[Action]->u32(), *found[Action], where, &rule->action)) {
            return false;
        }
        if (found[Apps]) {
            rule->applications.emplace();
            if (!texts(*found[Apps], where + QStringLiteral("/apps"), kQNAtomTypeApplication, &*rule->applications)) {
                return false;
            }
        }
        if (found[Hosts]) {
            rule->hosts.emplace();
            if (!hosts(*found[Hosts], where + QStringLiteral("/hsts"), &*rule->hosts)) {
                return false;
            }
        }
        if (found[Ports]) {
            rule->ports.emplace();
            if (!ports(*found[Ports], where + QStringLiteral("/prts"), kQNAtomTypePort, kQNAtomTypePortRange,
                       &*rule->ports)) {
                return false;
            }
        }
        // The proxy position belongs to proxy rules and to them only.
        const bool isProxyRule = rule->action == 1;
        if (isProxyRule != found[ProxyIndex].has_value()) {
            return fail(where, isProxyRule ? QStringLiteral("missing 'prxi' in a rule with action 1")
                                           : QStringLiteral("'prxi' in a rule with action %1").arg(rule->action));
        }
        if (found[ProxyIndex]) {
            quint32 index = 0;
            if (!value(found[ProxyIndex]->u32(), *found[ProxyIndex], where, &index)) {
                return false;
            }
            rule->proxyIndex = index;
        }
        return true;
    }

    bool dns(const QNAtom& container, const QString& where, QNDecodedDNS* dns) {
        static constexpr std::array layout{must(kQNAtomTypeName), may(kQNAtomTypeHosts), must(kQNAtomTypeResolve)};
        std::array<std::optional<QNAtom>, layout.size()> found;
        if (!match(container.data, where, layout, &found)) {
            return false;
        }
        dns->name = found[0]->text();
        if (found[1]) {
            dns->hosts.emplace();
            if (!texts(*found[1], where + QStringLiteral("/hsts"), kQNAtomTypeHost, &*dns->hosts)) {
                return false;
            }
        }
        return value(found[2]->u32(), *found[2], where, &dns->resolve);
    }

    bool profile(QByteArrayView stream, QNDecodedProfile* profile) {
        static constexpr std::array layout{may(kQNAtomTypeProfileName), must(kQNAtomTypeProxies),
                                           must(kQNAtomTypeRules), must(kQNAtomTypeDNSEntries)};
        std::array<std::optional<QNAtom>, layout.size()> found;
        if (!match(stream, QString(), layout, &found)) {
            return false;
        }
        if (found[0]) {
            profile->name = found[0]->text();
        }

        QList<QNAtom> items;
        if (!list(found[1]->data, QStringLiteral("prxs"), {kQNAtomTypeProxy, kQNAtomTypeProxyChain}, &items)) {
            return false;
        }
        for (qsizetype i = 0; i < items.size(); ++i) {
            QNDecodedProxyItem item;
            const bool ok = items[i].type == kQNAtomTypeProxy
                                ? proxy(items[i], QStringLiteral("prxs/prxy[%1]").arg(i), &item.proxy)
                                : chain(items[i], QStringLiteral("prxs/pxch[%1]").arg(i), &item);
            if (!ok) {
                return false;
            }
            profile->proxies.append(item);
        }

        QList<QNAtom> rules;
        if (!list(found[2]->data, QStringLiteral("rles"), {kQNAtomTypeRule}, &rules)) {
            return false;
        }
        for (qsizetype i = 0; i < rules.size(); ++i) {
            QNDecodedRule decoded;
            if (!rule(rules[i], QStringLiteral("rles/rule[%1]").arg(i), &decoded)) {
                return false;
            }
            profile->rules.append(decoded);
        }

        QList<QNAtom> entries;
        if (!list(found[3]->data, QStringLiteral("dnss"), {kQNAtomTypeDNS}, &entries)) {
            return false;
        }
        for (qsizetype i = 0; i < entries.size(); ++i) {
            QNDecodedDNS decoded;
            if (!dns(entries[i], QStringLiteral("dnss/dns[%1]").arg(i), &decoded)) {
                return false;
            }
            profile->dns.append(decoded);
        }
        return true;
    }
};

QString portString(const QNDecodedPortEntry& entry) {
    return entry.isRange ? QStringLiteral("%1-%2").arg(entry.first).arg(entry.last) : QString::number(entry.first);
}

QJsonArray portsArray(const QList<QNDecodedPortEntry>& entries) {
    QJsonArray array;
    for (const QNDecodedPortEntry& entry : entries) {
        array.append(portString(entry));
    }
    return array;
}

QJsonObject proxyObject(const QNDecodedProxy& proxy) {
    QJsonObject object{
        {QStringLiteral("kind"), QStringLiteral("proxy")},
        {QStringLiteral("name"), proxy.name},
        {QStringLiteral("type"), qint64(proxy.type)},
        {QStringLiteral("host"), QNProfileStreamDecoder::addressString(proxy.host, proxy.hostIsIPv6)},
        {QStringLiteral("port"), proxy.port},
        {QStringLiteral("anonymize"), proxy.anonymize},
    };
    if (proxy.user) {
        object.insert(QStringLiteral("user"), *proxy.user);
    }
    if (proxy.password) {
        object.insert(QStringLiteral("password"), *proxy.password);
    }
    if (proxy.filterPorts) {
        object.insert(QStringLiteral("filterPorts"), portsArray(*proxy.filterPorts));
    }
    if (proxy.localTunnelPort) {
        object.insert(QStringLiteral("localTunnelPort"), *proxy.localTunnelPort);
    }
    return object;
}

QJsonObject hostObject(const QNDecodedHost& host) {
    switch (host.kind) {
    case QNDecodedHost::IPv4:
    case QNDecodedHost::IPv6: {
        const bool isIPv6 = host.kind == QNDecodedHost::IPv6;
        return {{QStringLiteral("kind"), isIPv6 ? QStringLiteral("ipv6") : QStringLiteral("ipv4")},
                {QStringLiteral("value"), QNProfileStreamDecoder::addressString(host.first, isIPv6)}};
    }
    case QNDecodedHost::IPv4Range:
    case QNDecodedHost::IPv6Range: {
        const bool isIPv6 = host.kind == QNDecodedHost::IPv6Range;
        return {{QStringLiteral("kind"), isIPv6 ? QStringLiteral("ipv6Range") : QStringLiteral("ipv4Range")},
                {QStringLiteral("value"),
                 QStringLiteral("%1-%2").arg(QNProfileStreamDecoder::addressString(host.first, isIPv6),
                                             QNProfileStreamDecoder::addressString(host.last, isIPv6))}};
    }
    case QNDecodedHost::Name:
        break;
    }
    return {{QStringLiteral("kind"), QStringLiteral("name")}, {QStringLiteral("value"), host.name}};
}

} // namespace

std::optional<QNDecodedProfile> QNProfileStreamDecoder::decode(QByteArrayView stream, QString* error) {
    Decoder decoder;
    QNDecodedProfile profile;
    if (!decoder.profile(stream, &profile)) {
        if (error) {
            *error = decoder.error;
        }
        return std::nullopt;
    }
    return profile;
}

QJsonDocument QNProfileStreamDecoder::jsonDocument(const QNDecodedProfile& profile) {
    QJsonObject root;
    root.insert(QStringLiteral("name"), profile.name ? QJsonValue(*profile.name) : QJsonValue());

    QJsonArray proxies;
    for (const QNDecodedProxyItem& item : profile.proxies) {
        if (!item.isChain) {
            proxies.append(proxyObject(item.proxy));
            continue;
        }
        QJsonArray members;
        for (const QNDecodedProxy& member : item.members) {
            members.append(proxyObject(member));
        }
        proxies.append(QJsonObject{{QStringLiteral("kind"), QStringLiteral("chain")},
                                   {QStringLiteral("name"), item.chainName},
                                   {QStringLiteral("proxies"), members}});
    }
    root.insert(QStringLiteral("proxies"), proxies);

    QJsonArray rules;
    for (const QNDecodedRule& rule : profile.rules) {
        QJsonObject object{{QStringLiteral("name"), rule.name}, {QStringLiteral("action"), qint64(rule.action)}};
        if (rule.applications) {
            object.insert(QStringLiteral("applications"), QJsonArray::fromStringList(*rule.applications));
        }
        if (rule.hosts) {
            QJsonArray hosts;
            for (const QNDecodedHost& host : *rule.hosts) {
                hosts.append(hostObject(host));
            }
            object.insert(QStringLiteral("hosts"), hosts);
        }
        if (rule.ports) {
            object.insert(QStringLiteral("ports"), portsArray(*rule.ports));
        }
        if (rule.proxyIndex) {
            object.insert(QStringLiteral("proxyIndex"), qint64(*rule.proxyIndex));
        }
        rules.append(object);
    }
    root.insert(QStringLiteral("rules"), rules);

    QJsonArray entries;
    for (const QNDecodedDNS& dns : profile.dns) {
        QJsonObject object{{QStringLiteral("name"), dns.name}, {QStringLiteral("resolve"), qint64(dns.resolve)}};
        if (dns.hosts) {
            object.insert(QStringLiteral("hosts"), QJsonArray::fromStringList(*dns.hosts));
        }
        entries.append(object);
    }
    root.insert(QStringLiteral("dns"), entries);
    return QJsonDocument(root);
}

// Dotted decimal for IPv4; for IPv6 lower-case groups with the longest run of two or more zero groups
// written as "::" (the usual canonical text form).
QString QNProfileStreamDecoder::addressString(const QNAddressWords& address, bool isIPv6) {
    if (!isIPv6) {
        const quint32 word = address[3];
        return QStringLiteral("%1.%2.%3.%4")
            .arg(word >> 24)
            .arg((word >> 16) & 0xFF)
            .arg((word >> 8) & 0xFF)
            .arg(word & 0xFF);
    }
    std::array<quint16, 8> groups;
    for (int i = 0; i < 4; ++i) {
        groups[2 * i] = quint16(address[i] >> 16);
        groups[2 * i + 1] = quint16(address[i] & 0xFFFF);
    }
    int bestStart = -1;
    int bestLength = 1;
    for (int i = 0; i < 8;) {
        if (groups[i] != 0) {
            ++i;
            continue;
        }
        int end = i;
        while (end < 8 && groups[end] == 0) {
            ++end;
        }
        if (end - i > bestLength) {
            bestStart = i;
            bestLength = end - i;
        }
        i = end;
    }
    QString text;
    for (int i = 0; i < 8; ++i) {
        if (i == bestStart) {
            text += QStringLiteral("::");
            i += bestLength - 1;
            continue;
        }
        if (!text.isEmpty() && !text.endsWith(QLatin1Char(':'))) {
            text += QLatin1Char(':');
        }
        text += QString::number(groups[i], 16);
    }
    return text;
}

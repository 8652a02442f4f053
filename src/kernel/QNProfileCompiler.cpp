#include "kernel/QNProfileCompiler.h"

#include "kernel/QNAtomTypes.h"
#include "kernel/QNAtomWriter.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNAlertPresenter.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

#include <QHash>

#include <limits>

namespace {

constexpr quint32 kProxyIndexAbsent = std::numeric_limits<quint32>::max();

// Initial capacities: enough for a typical item without regrowing; nothing else is tuned.
constexpr qsizetype kContainerCapacity = 500;
constexpr qsizetype kListCapacity = 250;
constexpr qsizetype kPortListCapacity = 100;

QByteArray bufferWithCapacity(qsizetype capacity) {
    QByteArray buffer;
    buffer.reserve(capacity);
    return buffer;
}

// Every element of a list may carry several entries separated by ","; pieces are used as they are.
QStringList entries(const QStringList& list) {
    QStringList pieces;
    for (const QString& element : list) {
        pieces.append(element.split(QLatin1Char(',')));
    }
    return pieces;
}

void appendAddress(QByteArray& buffer, const QNAddressWords& address, bool isIPv6) {
    if (isIPv6) {
        buffer.append(reinterpret_cast<const char*>(address.data()), sizeof(quint32) * 4);
    } else {
        buffer.append(reinterpret_cast<const char*>(&address[3]), sizeof(quint32));
    }
}

// Items the stream carries: proxies and chains whose class matches their kind. Anything else is skipped.
const QNProxy* asProxy(const QNProxyItem& item) {
    return item.kind() == QNProxyItemKindProxy ? dynamic_cast<const QNProxy*>(&item) : nullptr;
}

const QNProxyChain* asChain(const QNProxyItem& item) {
    return item.kind() == QNProxyItemKindChain ? dynamic_cast<const QNProxyChain*>(&item) : nullptr;
}

bool isZero(const QNAddressWords& address) {
    return address == QNAddressWords{};
}

// Writes the atoms of a port list ('fpts' or 'prts' data); a start of 0 writes nothing. The entry that
// fails to parse is returned through badEntry.
bool appendPortEntries(QByteArray& buffer, const QStringList& list, quint32 singleType, quint32 rangeType,
                       QString* badEntry) {
    for (const QString& entry : entries(list)) {
        quint16 first = 0;
        quint16 last = 0;
        if (!QNUtilities::parsePortRangeString(entry, &first, &last)) {
            *badEntry = entry;
            return false;
        }
        if (first == 0) {
            continue;
        }
        if (last != 0) {
            QNAtomWriter::appendUInt16PairAtom(buffer, rangeType, first, last);
        } else {
            QNAtomWriter::appendUInt16Atom(buffer, singleType, first);
        }
    }
    return true;
}

bool appendHostEntry(QByteArray& buffer, const QString& entry) {
    QNAddressWords first{};
    QNAddressWords last{};
    bool isIPv6 = false;
    if (!QNUtilities::parseIPRangeString(entry, &first, &last, &isIPv6)) {
        return QNAtomWriter::appendTextAtom(buffer, kQNAtomTypeHost, entry);
    }
    const bool isRange = !isZero(last);
    QByteArray data;
    appendAddress(data, first, isIPv6);
    if (isRange) {
        appendAddress(data, last, isIPv6);
    }
    const quint32 type = isIPv6 ? (isRange ? kQNAtomTypeHostRangeIPv6 : kQNAtomTypeHostAddressIPv6)
                                : (isRange ? kQNAtomTypeHostRangeIPv4 : kQNAtomTypeHostAddressIPv4);
    return QNAtomWriter::appendAtom(buffer, type, data);
}

} // namespace

QNProfileCompiler::QNProfileCompiler(QNAlertPresenter& alertPresenter, const QNStrings& resourceBundle)
    : _alertPresenter(alertPresenter)
    , _resourceBundle(resourceBundle) {}

std::optional<QByteArray> QNProfileCompiler::profileData(const QNProfile* profile) {
    if (!profile) {
        return std::nullopt;
    }
    const std::optional<QByteArray> proxies = profileProxiesData(*profile);
    if (!proxies) {
        return std::nullopt;
    }
    const std::optional<QByteArray> rules = profileRulesData(*profile);
    if (!rules) {
        return std::nullopt;
    }
    const std::optional<QByteArray> dns = profileDNSData(*profile);
    if (!dns) {
        return std::nullopt;
    }

    QByteArray stream = bufferWithCapacity(kContainerCapacity);
    bool written = true;
    if (!profile->name().isNull()) {
        written = QNAtomWriter::appendTextAtom(stream, kQNAtomTypeProfileName, profile->name());
    }
    written = written && QNAtomWriter::appendAtom(stream, kQNAtomTypeProxies, *proxies) &&
              QNAtomWriter::appendAtom(stream, kQNAtomTypeRules, *rules) &&
              QNAtomWriter::appendAtom(stream, kQNAtomTypeDNSEntries, *dns);
    if (!written) {
        return std::nullopt;
    }
    return stream;
}

std::optional<QByteArray> QNProfileCompiler::profileProxiesData(const QNProfile& profile) {
    QByteArray data = bufferWithCapacity(kContainerCapacity);
    for (const std::shared_ptr<QNProxyItem>& item : profile.proxies()) {
        if (!item) {
            continue;
        }
        if (const QNProxy* proxy = asProxy(*item)) {
            const std::optional<QByteArray> proxyData = profileProxyData(*proxy);
            if (!proxyData || !QNAtomWriter::appendAtom(data, kQNAtomTypeProxy, *proxyData)) {
                return std::nullopt;
            }
        } else if (const QNProxyChain* chain = asChain(*item)) {
            const std::optional<QByteArray> chainData = proxyChainData(*chain);
            if (!chainData || !QNAtomWriter::appendAtom(data, kQNAtomTypeProxyChain, *chainData)) {
                return std::nullopt;
            }
        }
    }
    return data;
}

std::optional<QByteArray> QNProfileCompiler::proxyChainData(const QNProxyChain& chain) {
    if (!chain.validateChain()) {
        showAlert(QStringLiteral("invalidChain"), chain.name());
        return std::nullopt;
    }
    QByteArray members = bufferWithCapacity(kContainerCapacity);
    for (const std::shared_ptr<QNProxy>& member : chain.proxies()) {
        if (!member) {
            continue;
        }
        const std::optional<QByteArray> memberData = profileProxyData(*member);
        if (!memberData || !QNAtomWriter::appendAtom(members, kQNAtomTypeProxy, *memberData)) {
            return std::nullopt;
        }
    }
    QByteArray data = bufferWithCapacity(kContainerCapacity);
    if (!QNAtomWriter::appendTextAtom(data, kQNAtomTypeChainName, chain.name()) ||
        !QNAtomWriter::appendAtom(data, kQNAtomTypeChainProxies, members)) {
        return std::nullopt;
    }
    return data;
}

std::optional<QByteArray> QNProfileCompiler::profileProxyData(const QNProxy& proxy) {
    QNAddressWords address{};
    bool isIPv6 = false;
    if (!QNUtilities::resolveHost(proxy.host(), &address, &isIPv6)) {
        showAlert(QStringLiteral("invalidProxyHost"), proxy.host());
        return std::nullopt;
    }

    QByteArray data = bufferWithCapacity(kContainerCapacity);
    bool written = QNAtomWriter::appendTextAtom(data, kQNAtomTypeName, proxy.name());
    QNAtomWriter::appendUInt32Atom(data, kQNAtomTypeType, proxy.type());
    QByteArray host;
    appendAddress(host, address, isIPv6);
    QNAtomWriter::appendAtom(data, isIPv6 ? kQNAtomTypeHostIPv6 : kQNAtomTypeHostIPv4, host);
    QNAtomWriter::appendUInt16Atom(data, kQNAtomTypePort, proxy.port());
    if (!proxy.username().isEmpty()) {
        written = written && QNAtomWriter::appendTextAtom(data, kQNAtomTypeUser, proxy.username());
    }
    if (!proxy.password().isEmpty()) {
        written = written && QNAtomWriter::appendTextAtom(data, kQNAtomTypePassword, proxy.password());
    }
    if (!proxy.filterPorts().isEmpty()) {
        QByteArray filterPorts = bufferWithCapacity(kPortListCapacity);
        QString badEntry;
        if (!appendPortEntries(filterPorts, proxy.filterPorts(), kQNAtomTypeFilterPort, kQNAtomTypeFilterPortRange,
                               &badEntry)) {
            showAlert(QStringLiteral("invalidFilterPort"), badEntry);
            return std::nullopt;
        }
        written = written && QNAtomWriter::appendAtom(data, kQNAtomTypeFilterPorts, filterPorts);
    }
    QNAtomWriter::appendUInt8Atom(data, kQNAtomTypeAnonymize, proxy.anonymizeRequests() ? 1 : 0);
    if (proxy.localTunnelPort() != 0) {
        QNAtomWriter::appendUInt16Atom(data, kQNAtomTypeLocalTunnelPort, proxy.localTunnelPort());
    }
    if (!written) {
        return std::nullopt;
    }
    return data;
}

// A rule's 'prxi' is the position of its item's atom inside 'prxs', found by identity. Counting only the
// items profileProxiesData writes keeps it pointing at the right atom even when some list entry is skipped.
std::optional<QByteArray> QNProfileCompiler::profileRulesData(const QNProfile& profile) {
    QHash<const QNProxyItem*, quint32> positions;
    for (const std::shared_ptr<QNProxyItem>& item : profile.proxies()) {
        if (item && (asProxy(*item) || asChain(*item))) {
            positions.insert(item.get(), quint32(positions.size()));
        }
    }
    QByteArray data = bufferWithCapacity(kContainerCapacity);
    for (const std::shared_ptr<QNRule>& rule : profile.rules()) {
        if (!rule || !rule->enabled()) {
            continue;
        }
        const std::optional<QByteArray> ruleAtoms = ruleData(*rule, positions);
        if (!ruleAtoms || !QNAtomWriter::appendAtom(data, kQNAtomTypeRule, *ruleAtoms)) {
            return std::nullopt;
        }
    }
    return data;
}

std::optional<QByteArray> QNProfileCompiler::ruleData(const QNRule& rule,
                                                      const QHash<const QNProxyItem*, quint32>& positions) {
    QByteArray data = bufferWithCapacity(kContainerCapacity);
    bool written = QNAtomWriter::appendTextAtom(data, kQNAtomTypeName, rule.name());

    if (!rule.applications().isEmpty()) {
        QByteArray applications = bufferWithCapacity(kListCapacity);
        for (const QString& entry : entries(rule.applications())) {
            written = written && QNAtomWriter::appendTextAtom(applications, kQNAtomTypeApplication, entry);
        }
        written = written && QNAtomWriter::appendAtom(data, kQNAtomTypeApplications, applications);
    }
    if (!rule.hosts().isEmpty()) {
        QByteArray hosts = bufferWithCapacity(kListCapacity);
        for (const QString& entry : entries(rule.hosts())) {
            written = written && appendHostEntry(hosts, entry);
        }
        written = written && QNAtomWriter::appendAtom(data, kQNAtomTypeHosts, hosts);
    }
    if (!rule.ports().isEmpty()) {
        QByteArray ports = bufferWithCapacity(kPortListCapacity);
        QString badEntry;
        if (!appendPortEntries(ports, rule.ports(), kQNAtomTypePort, kQNAtomTypePortRange, &badEntry)) {
            showAlert(QStringLiteral("invalidPort"), badEntry);
            return std::nullopt;
        }
        written = written && QNAtomWriter::appendAtom(data, kQNAtomTypePorts, ports);
    }

    QNAtomWriter::appendUInt32Atom(data, kQNAtomTypeAction, rule.action());
    if (rule.action() == QNRuleActionProxy) {
        const QNProxyItem* target = rule.proxy().get();
        QNAtomWriter::appendUInt32Atom(data, kQNAtomTypeProxyIndex, positions.value(target, kProxyIndexAbsent));
    }
    if (!written) {
        return std::nullopt;
    }
    return data;
}

// Nothing in a DNS entry is checked; it fails only when the texts are too large for a 32-bit atom length.
std::optional<QByteArray> QNProfileCompiler::profileDNSData(const QNProfile& profile) {
    QByteArray data = bufferWithCapacity(kContainerCapacity);
    for (const std::shared_ptr<QNDNS>& dns : profile.dns()) {
        if (!dns || !dns->enabled()) {
            continue;
        }
        QByteArray entry = bufferWithCapacity(kContainerCapacity);
        bool written = QNAtomWriter::appendTextAtom(entry, kQNAtomTypeName, dns->name());
        if (!dns->hosts().isEmpty()) {
            QByteArray hosts = bufferWithCapacity(kListCapacity);
            for (const QString& host : entries(dns->hosts())) {
                written = written && QNAtomWriter::appendTextAtom(hosts, kQNAtomTypeHost, host);
            }
            written = written && QNAtomWriter::appendAtom(entry, kQNAtomTypeHosts, hosts);
        }
        QNAtomWriter::appendUInt32Atom(entry, kQNAtomTypeResolve, dns->resolve());
        if (!written || !QNAtomWriter::appendAtom(data, kQNAtomTypeDNS, entry)) {
            return std::nullopt;
        }
    }
    return data;
}

void QNProfileCompiler::showAlert(const QString& key, const QString& item) {
    QNAlert alert;
    // Both placeholders are filled in one pass, so a "%1" inside the item stays as it is.
    alert.messageText = QStringLiteral("%1: %2").arg(_resourceBundle.localizedString(key), item);
    alert.defaultButton = _resourceBundle.localizedString(QStringLiteral("ok"));
    _alertPresenter.runModal(alert);
}

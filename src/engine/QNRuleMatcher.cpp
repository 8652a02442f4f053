#include "QNRuleMatcher.h"

#include <algorithm>
#include <utility>

namespace {

constexpr quint32 kActionProxy = 1;
constexpr quint32 kActionDirect = 2;
constexpr quint32 kActionBlock = 3;
constexpr quint32 kProxyTypeSSHTunnel = 7;

bool sameEndpoint(const QNDecodedProxy& proxy, const QNEngineTarget& target) {
    const QNEngineTarget server =
        QNRuleMatcher::normalised(QNEngineTarget{proxy.host, proxy.hostIsIPv6, proxy.port, {}});
    return server.isIPv6 == target.isIPv6 && server.address == target.address && server.port == target.port;
}

} // namespace

QNRuleMatcher::QNRuleMatcher(QNDecodedProfile profile)
    : _profile(std::move(profile)) {}

QNEngineTarget QNRuleMatcher::normalised(const QNEngineTarget& target) {
    QNEngineTarget result = target;
    const QNAddressWords& words = target.address;
    if (target.isIPv6 && words[0] == 0 && words[1] == 0 && words[2] == 0xFFFF) {
        result.isIPv6 = false;
        result.address = {0, 0, 0, words[3]};
    }
    return result;
}

bool QNRuleMatcher::hostMatches(const QNDecodedHost& entry, const QNEngineTarget& target) {
    switch (entry.kind) {
    case QNDecodedHost::IPv4:
        return !target.isIPv6 && target.address[3] == entry.first[3];
    case QNDecodedHost::IPv4Range:
        return !target.isIPv6 && entry.first[3] <= target.address[3] && target.address[3] <= entry.last[3];
    case QNDecodedHost::IPv6:
        return target.isIPv6 && target.address == entry.first;
    case QNDecodedHost::IPv6Range:
        // Words run most significant first, so the array order is the address order.
        return target.isIPv6 && entry.first <= target.address && target.address <= entry.last;
    case QNDecodedHost::Name:
        return !target.hostName.isEmpty() && nameMatches(entry.name, target.hostName);
    }
    return false;
}

bool QNRuleMatcher::nameMatches(QStringView pattern, QStringView name) {
    const QStringView trimmed = name.endsWith(u'.') ? name.chopped(1) : name;
    if (pattern == u"*") {
        return !trimmed.isEmpty();
    }
    if (pattern.startsWith(u"*.")) {
        const QStringView suffix = pattern.mid(1); // ".example.org"
        return trimmed.size() > suffix.size() && trimmed.endsWith(suffix, Qt::CaseInsensitive);
    }
    return trimmed.compare(pattern, Qt::CaseInsensitive) == 0;
}

bool QNRuleMatcher::applicationMatches(QStringView entry, QStringView executable) {
    if (entry.isEmpty() || executable.isEmpty()) {
        return false;
    }
    if (entry.contains(u'/')) {
        return entry == executable;
    }
    return executable.mid(executable.lastIndexOf(u'/') + 1) == entry;
}

bool QNRuleMatcher::hasApplicationRules() const {
    return std::any_of(_profile.rules.cbegin(), _profile.rules.cend(),
                       [](const QNDecodedRule& rule) { return rule.applications && !rule.applications->isEmpty(); });
}

bool QNRuleMatcher::resolvesRemotely(const QString& name) const {
    if (!name.contains(u'.') || name == u"local" || nameMatches(u"*.local", name)) {
        return false;
    }
    for (const QNDecodedDNS& entry : _profile.dns) {
        bool matches = !entry.hosts || entry.hosts->isEmpty();
        for (const QString& pattern : entry.hosts.value_or(QStringList())) {
            matches = matches || nameMatches(pattern, name);
        }
        if (matches) {
            return entry.resolve == 1;
        }
    }
    return false;
}

bool QNRuleMatcher::portMatches(const QList<QNDecodedPortEntry>& entries, quint16 port) {
    for (const QNDecodedPortEntry& entry : entries) {
        if (entry.isRange ? (entry.first <= port && port <= entry.last) : port == entry.first) {
            return true;
        }
    }
    return false;
}

bool QNRuleMatcher::admits(const QNDecodedProxy& proxy, quint16 port) {
    return !proxy.filterPorts || proxy.filterPorts->isEmpty() || portMatches(*proxy.filterPorts, port);
}

bool QNRuleMatcher::isTunnelServer(const QNEngineTarget& target) const {
    for (const QNDecodedProxyItem& item : _profile.proxies) {
        const QList<QNDecodedProxy> members = item.isChain ? item.members : QList<QNDecodedProxy>{item.proxy};
        for (const QNDecodedProxy& proxy : members) {
            if (proxy.type == kProxyTypeSSHTunnel && sameEndpoint(proxy, target)) {
                return true;
            }
        }
    }
    return false;
}

bool QNRuleMatcher::ruleMatches(const QNDecodedRule& rule, const QNEngineTarget& target) const {
    if (rule.applications && !rule.applications->isEmpty()) {
        bool any = false;
        for (const QString& entry : *rule.applications) {
            any = any || applicationMatches(entry, target.application);
        }
        if (!any) {
            return false;
        }
    }
    if (rule.hosts && !rule.hosts->isEmpty()) {
        bool any = false;
        for (const QNDecodedHost& entry : *rule.hosts) {
            any = any || hostMatches(entry, target);
        }
        if (!any) {
            return false;
        }
    }
    return !rule.ports || rule.ports->isEmpty() || portMatches(*rule.ports, target.port);
}

QNRouteDecision QNRuleMatcher::route(const QNEngineTarget& original) const {
    const QNEngineTarget target = normalised(original);
    QNRouteDecision decision;
    if (isTunnelServer(target)) {
        decision.tunnelServer = true;
        return decision;
    }
    for (const QNDecodedRule& rule : _profile.rules) {
        if (!ruleMatches(rule, target)) {
            continue;
        }
        if (rule.action == kActionDirect || rule.action == kActionBlock) {
            decision.action =
                rule.action == kActionDirect ? QNRouteDecision::Action::Direct : QNRouteDecision::Action::Block;
            decision.ruleName = rule.name;
            return decision;
        }
        if (rule.action != kActionProxy) {
            continue; // an action this engine does not know decides nothing
        }
        const quint32 index = rule.proxyIndex.value_or(0xFFFFFFFF);
        if (index >= quint32(_profile.proxies.size())) {
            decision.action = QNRouteDecision::Action::Block;
            decision.ruleName = rule.name;
            decision.badProxyIndex = true;
            return decision;
        }
        const QNDecodedProxyItem& item = _profile.proxies.at(qsizetype(index));
        const QList<QNDecodedProxy> hops = item.isChain ? item.members : QList<QNDecodedProxy>{item.proxy};
        bool admitted = !hops.isEmpty();
        for (const QNDecodedProxy& hop : hops) {
            admitted = admitted && admits(hop, target.port);
        }
        if (!admitted) {
            continue;
        }
        decision.action = QNRouteDecision::Action::Proxy;
        decision.ruleName = rule.name;
        decision.hops = hops;
        decision.isChain = item.isChain;
        decision.itemName = item.isChain ? item.chainName : item.proxy.name;
        return decision;
    }
    return decision;
}

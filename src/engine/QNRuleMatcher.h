#pragma once

#include "engine/QNProxyHandshake.h"
#include "kernel/QNProfileStreamDecoder.h"

#include <QList>
#include <QString>

// What the engine does with one intercepted connection.
struct QNRouteDecision {
    enum class Action { Direct, Block, Proxy };
    Action action = Action::Direct;
    // The rule that decided; empty when none matched or the destination is an SSH tunnel's server.
    QString ruleName;
    // For Proxy: the hops in order (one for a proxy, the members for a chain) and the item's name.
    QList<QNDecodedProxy> hops;
    QString itemName;
    bool isChain = false;
    // Direct because the destination is the server of one of the profile's SSH tunnels.
    bool tunnelServer = false;
    // Block because the rule points at no usable proxy item.
    bool badProxyIndex = false;
};

// Decides a connection's route from the active profile and the connection's destination. Pure.
//
// Rules are tried in order and the first match wins; no match means direct. A rule matches when each
// list it carries matches: a host list on any entry (an address or range against the destination's
// address, a name against the name behind it when one is known), a port list on any entry, an application
// list on any entry naming the program that opened the connection (never when that is unknown). A proxy item whose
// filter ports do not admit the destination port makes its rule not match, and matching goes on. Destinations that are
// the server of one of the profile's SSH tunnels always go direct, so a tunnel never carries itself.
class QNRuleMatcher {
public:
    explicit QNRuleMatcher(QNDecodedProfile profile);

    QNRouteDecision route(const QNEngineTarget& target) const;

    // An IPv4-mapped IPv6 address (::ffff:a.b.c.d) as the IPv4 address it stands for.
    static QNEngineTarget normalised(const QNEngineTarget& target);
    static bool hostMatches(const QNDecodedHost& entry, const QNEngineTarget& target);
    // A host-name pattern against a name, without regard to case: "*" is any name, "*.example.org" any
    // name under example.org (not example.org itself), anything else that name exactly.
    static bool nameMatches(QStringView pattern, QStringView name);
    // Whether an application entry names this executable: by its full path when the entry holds a '/',
    // else by its file name.
    static bool applicationMatches(QStringView entry, QStringView executable);
    // Whether any rule names applications, so connections need their program looked up.
    bool hasApplicationRules() const;
    // Whether the profile's DNS entries send this name to be resolved remotely: the first entry whose
    // hosts match (an entry without hosts matches every name) decides; no entry means locally. Names
    // without a dot and names under "local" are always resolved locally.
    bool resolvesRemotely(const QString& name) const;
    static bool portMatches(const QList<QNDecodedPortEntry>& entries, quint16 port);

private:
    bool isTunnelServer(const QNEngineTarget& target) const;
    bool ruleMatches(const QNDecodedRule& rule, const QNEngineTarget& target) const;
    static bool admits(const QNDecodedProxy& proxy, quint16 port);

    QNDecodedProfile _profile;
};

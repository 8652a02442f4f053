#pragma once

#include "kernel/QNProfileStreamDecoder.h"

#include <QList>
#include <QMap>
#include <QtGlobal>

#include <optional>

// Who is connected to the engine and which users' connections it intercepts. Pure bookkeeping: no
// sockets, so the rules below are checked without root.
//
// Each agent belongs to the user it runs as. A user has at most one profile in force: the newest one
// any of that user's agents sent. An empty profile from any of them, or the last of them leaving, ends
// interception for that user. Users never see each other's profiles.
class QNEngineAgents {
public:
    using AgentId = quint64;

    void add(AgentId agent, quint32 uid);
    // True when the set of intercepted users changed.
    bool remove(AgentId agent);
    // nullopt: no profile (the empty stream). True when the set of intercepted users changed.
    bool setProfile(AgentId agent, std::optional<QNDecodedProfile> profile);
    void setLogging(AgentId agent, bool on);

    bool contains(AgentId agent) const { return _agents.contains(agent); }
    std::optional<quint32> uidOf(AgentId agent) const;
    bool isLogging(AgentId agent) const;
    QList<AgentId> agentsOf(quint32 uid) const;
    QList<quint32> interceptedUids() const { return _profiles.keys(); }
    // The profile in force for this user, or null.
    const QNDecodedProfile* profile(quint32 uid) const;

private:
    struct Agent {
        quint32 uid = 0;
        bool logging = false;
    };
    QMap<AgentId, Agent> _agents;
    QMap<quint32, QNDecodedProfile> _profiles;
};

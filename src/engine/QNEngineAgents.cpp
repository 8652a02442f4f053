#include "QNEngineAgents.h"

#include <utility>

void QNEngineAgents::add(AgentId agent, quint32 uid) {
    _agents.insert(agent, Agent{uid, false});
}

bool QNEngineAgents::remove(AgentId agent) {
    const auto it = _agents.constFind(agent);
    if (it == _agents.cend()) {
        return false;
    }
    const quint32 uid = it->uid;
    _agents.erase(it);
    if (!agentsOf(uid).isEmpty()) {
        return false;
    }
    return _profiles.remove(uid) > 0;
}

bool QNEngineAgents::setProfile(AgentId agent, std::optional<QNDecodedProfile> profile) {
    const auto it = _agents.constFind(agent);
    if (it == _agents.cend()) {
        return false;
    }
    const quint32 uid = it->uid;
    const bool wasIntercepted = _profiles.contains(uid);
    if (profile) {
        _profiles.insert(uid, std::move(*profile));
    } else {
        _profiles.remove(uid);
    }
    return wasIntercepted != _profiles.contains(uid);
}

void QNEngineAgents::setLogging(AgentId agent, bool on) {
    const auto it = _agents.find(agent);
    if (it != _agents.end()) {
        it->logging = on;
    }
}

std::optional<quint32> QNEngineAgents::uidOf(AgentId agent) const {
    const auto it = _agents.constFind(agent);
    return it == _agents.cend() ? std::nullopt : std::optional<quint32>(it->uid);
}

bool QNEngineAgents::isLogging(AgentId agent) const {
    const auto it = _agents.constFind(agent);
    return it != _agents.cend() && it->logging;
}

QList<QNEngineAgents::AgentId> QNEngineAgents::agentsOf(quint32 uid) const {
    QList<AgentId> result;
    for (auto it = _agents.cbegin(); it != _agents.cend(); ++it) {
        if (it->uid == uid) {
            result.append(it.key());
        }
    }
    return result;
}

const QNDecodedProfile* QNEngineAgents::profile(quint32 uid) const {
    const auto it = _profiles.constFind(uid);
    return it == _profiles.cend() ? nullptr : &*it;
}

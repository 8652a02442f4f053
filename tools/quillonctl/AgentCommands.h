#pragma once

#include "CommandSupport.h"

#include <optional>

// What quillonctl learns from the running agent's state interface on the session bus.

namespace ctl {

struct AgentState {
    qint64 activeProfileIdentifier = -1;
    QString activeProfileName;
    bool engineConnected = false;
    QString lastAlert;
    uint alerts = 0;
    uint activations = 0;
};

// The running agent's state; none when no agent runs in this session (or it cannot be asked), with the reason.
std::optional<AgentState> agentState(QString* reason);

// After a change of the active profile was posted: waits (bounded) until the agent has switched, then reports
// the outcome. chosen is the identifier stored (-1 for none), before the agent's state before the post.
int awaitActivation(const QString& command, qint64 chosen, const QString& chosenText, const AgentState& before);

} // namespace ctl

int runStatusCommand(const QStringList& arguments);

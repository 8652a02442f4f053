#pragma once

#include <QString>
#include <QtGlobal>

// What the agent tells others about itself on the bus besides its statistics.
struct QNAgentState {
    qint64 activeProfileIdentifier = -1;
    QString activeProfileName;
    bool engineConnected = false;
    QString lastAlert;
    quint32 alerts = 0;
    quint32 activations = 0;

    bool operator==(const QNAgentState&) const = default;
};

#pragma once

#include <QtGlobal>

// What the statistics service asks its provider (the controller) for on every remote call.
class QNStatisticsProtocol {
public:
    virtual ~QNStatisticsProtocol() = default;

    // Copies the engine's last reported figures into the pointers that are not null.
    virtual bool statisticsWithConnections(qint32* connections, quint64* dataSent, quint64* dataReceived) = 0;
};

#pragma once

#include <QDBusConnection>
#include <QObject>

// Asks the agent's statistics service for its figures without waiting: the answer, or that no agent
// answered, arrives as a signal.
class QNStatisticsReader : public QObject {
    Q_OBJECT

public:
    explicit QNStatisticsReader(const QDBusConnection& bus, QObject* parent = nullptr);

    void fetch();

signals:
    void statisticsArrived(qint32 connections, quint64 dataSent, quint64 dataReceived);
    void unavailable();

private:
    QDBusConnection _bus;
    bool _waiting = false;
};

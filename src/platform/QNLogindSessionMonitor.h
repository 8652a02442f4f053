#pragma once

#include "platform/QNSessionMonitor.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

// The session monitor over systemd-logind: the Active property of the caller's own session on the
// system bus, followed through PropertiesChanged. Without a system bus or logind there are simply no events.
class QNLogindSessionMonitor : public QObject, public QNSessionMonitor {
    Q_OBJECT

public:
    explicit QNLogindSessionMonitor(QObject* parent = nullptr);
    // Tests hand in another connection that carries a stand-in for logind.
    explicit QNLogindSessionMonitor(const QDBusConnection& bus, QObject* parent = nullptr);
    ~QNLogindSessionMonitor() override;

    void startObserving(Handler sessionDidBecomeActive, Handler sessionDidResignActive) override;
    void stopObserving() override;

    // The object path that is watched, once observing; empty before or without logind.
    QString sessionPath() const { return _sessionPath; }

private slots:
    void propertiesChanged(const QString& interfaceName, const QVariantMap& changed, const QStringList& invalidated);

private:
    QString resolveSessionPath() const;
    bool readActive(bool* active) const;
    void setActive(bool active);

    QDBusConnection _bus;
    QString _sessionPath;
    bool _observing = false;
    bool _active = true;
    Handler _didBecomeActive;
    Handler _didResignActive;
};

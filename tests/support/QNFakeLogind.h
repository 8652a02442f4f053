#pragma once

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QString>
#include <QThread>

#include <atomic>
#include <memory>

// A stand-in for systemd-logind on a test bus: GetSession("auto") and the session's Active property,
// answered from a thread of its own so that a blocking call from the main thread gets its answer.
class QNFakeLogind {
public:
    static constexpr const char* kSessionPath = "/org/freedesktop/login1/session/_7";

    // withManager false: no Manager object, so the caller must fall back to the "auto" path.
    QNFakeLogind(const QString& connectionName, bool withManager);
    ~QNFakeLogind();

    bool isValid() const { return _valid; }
    void setActive(bool active) { _active = active; }
    // The path the session object answers on.
    QString sessionPath() const;
    // Announces the current state: with the value, or only as invalidated.
    void announce(bool withValue);

private:
    class Object;

    QString _connectionName;
    QThread _thread;
    std::unique_ptr<Object> _object;
    std::atomic<bool> _active{true};
    bool _withManager;
    bool _valid = false;
};

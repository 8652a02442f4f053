#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <libssh/server.h>

#include <mutex>
#include <thread>

// An SSH server on libssh's server API that plays a scripted authentication, for the paths sshd cannot be
// made to take without PAM and real accounts: particular keyboard-interactive prompts, partial success,
// denial, a server that lets anyone in. Runs on its own thread on 127.0.0.1; serves one client at a time.
class QNScriptedSSHServer {
public:
    enum class Ending { Success, Partial, Deny };

    struct Script {
        int methods = 0;                 // SSH_AUTH_METHOD_* named in every failure
        bool acceptNone = false;         // the method none succeeds
        QList<QStringList> rounds = {};  // keyboard-interactive prompts, round by round
        Ending ending = Ending::Success; // after the last round
        QString password = {};           // the password method accepts this one (null: none)
    };

    explicit QNScriptedSSHServer(const Script& script);
    ~QNScriptedSSHServer();
    QNScriptedSSHServer(const QNScriptedSSHServer&) = delete;
    QNScriptedSSHServer& operator=(const QNScriptedSSHServer&) = delete;

    quint16 port() const { return _port; }
    // What the client did: the methods in the order it used them, and its answers, round by round.
    QStringList methodsTried() const;
    QList<QStringList> answers() const;

private:
    void run();
    void serve(ssh_session session);
    void handleAuthentication(ssh_session session, ssh_message message, int* round);
    void refuse(ssh_message message);

    Script _script;
    QTemporaryDir _directory;
    ssh_bind _bind = nullptr;
    int _wake = -1;
    quint16 _port = 0;
    std::thread _thread;
    mutable std::mutex _mutex;
    QStringList _methodsTried;
    QList<QStringList> _answers;
};

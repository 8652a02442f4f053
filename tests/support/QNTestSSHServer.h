#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

// An OpenSSH sshd of its own for tests: a temporary folder with host keys (RSA, Ed25519, ECDSA) made by
// ssh-keygen, its own sshd_config and authorized keys, listening on 127.0.0.1 and a free port, running as
// the current user (root included). Public-key authentication only: password methods would need PAM and a
// real account password, which tests must not touch. Everything is killed and removed on destruction.
class QNTestSSHServer {
public:
    QNTestSSHServer();
    ~QNTestSSHServer();
    QNTestSSHServer(const QNTestSSHServer&) = delete;
    QNTestSSHServer& operator=(const QNTestSSHServer&) = delete;

    // False when the fixture could not be made (no ssh-keygen or sshd).
    bool isValid() const { return _valid; }

    // A client key pair in the folder; its public part is authorised unless told otherwise. Returns the
    // private key file's bytes. pem: the PEM format (RSA), else OpenSSH's own format. type: "rsa",
    // "ed25519" or "ecdsa".
    QByteArray makeClientKey(const QString& type, const QString& passphrase = QString(), bool pem = false,
                             bool authorize = true);
    // The public line of one of the server's host keys ("rsa", "ed25519", "ecdsa").
    QByteArray hostKeyLine(const QString& type) const;

    // Starts sshd with extra sshd_config lines (e.g. "Ciphers aes128-ctr", "LogLevel DEBUG1") and waits
    // until it listens. False when it did not come up.
    bool start(const QStringList& extraConfig = {});
    // Kills sshd and every connection process it started, at once.
    void kill();
    // Kills the processes serving connections and leaves sshd listening: every client loses its connection.
    void killConnections();
    bool isRunning() const { return _process.state() != QProcess::NotRunning; }

    quint16 port() const { return _port; }
    QString user() const { return _user; }
    QString directory() const { return _directory.path(); }

    // sshd's own log (standard error), line by line; waits are event-driven with a generous time-out.
    bool logContains(const QString& text) const;
    int logCount(const QString& text) const;
    bool waitForLog(const QString& text, int timeoutMilliseconds = 20000);

private:
    bool startOnce(const QStringList& extraConfig);
    QString writeConfig(const QStringList& extraConfig) const;

    QTemporaryDir _directory;
    QProcess _process;
    QByteArray _partial;
    QStringList _log;
    quint16 _port = 0;
    QString _user;
    bool _valid = false;
    int _keyCount = 0;
};

// A free TCP port on 127.0.0.1 at the time of asking.
quint16 qnFreeLocalPort();

#include "support/QNTestSSHServer.h"

#include "support/QNTestProcess.h"
#include "support/QNTestWait.h"

#include <QFile>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kSSHD = QStringLiteral("/usr/sbin/sshd");
const QStringList kHostKeyTypes = {QStringLiteral("rsa"), QStringLiteral("ed25519"), QStringLiteral("ecdsa")};

bool keygen(const QStringList& arguments) {
    return qnRunProcess(QStringLiteral("ssh-keygen"), arguments).exitCode == 0;
}

QStringList keyTypeArguments(const QString& type) {
    QStringList arguments{QStringLiteral("-t"), type};
    if (type == QLatin1String("rsa")) {
        arguments << QStringLiteral("-b") << QStringLiteral("2048");
    }
    return arguments;
}

} // namespace

quint16 qnFreeLocalPort() {
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    quint16 port = 0;
    if (bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0 &&
        getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(probe);
    return port;
}

QNTestSSHServer::QNTestSSHServer() {
    if (const passwd* entry = getpwuid(geteuid())) {
        _user = QString::fromLocal8Bit(entry->pw_name);
    }
    QObject::connect(&_process, &QProcess::readyReadStandardError, [this] {
        _partial.append(_process.readAllStandardError());
        qsizetype end = 0;
        while ((end = _partial.indexOf('\n')) >= 0) {
            _log << QString::fromUtf8(_partial.first(end));
            _partial.remove(0, end + 1);
        }
    });
    _process.setProgram(kSSHD);
    if (!_directory.isValid() || !QFile::exists(kSSHD) || !qnHaveProgram(QStringLiteral("ssh-keygen"))) {
        return;
    }
    _valid = true;
    for (const QString& type : kHostKeyTypes) {
        _valid = _valid && keygen(QStringList{QStringLiteral("-q")} + keyTypeArguments(type) +
                                  QStringList{QStringLiteral("-N"), QString(), QStringLiteral("-f"),
                                              _directory.filePath(QStringLiteral("ssh_host_%1_key").arg(type))});
    }
    QFile authorized(_directory.filePath(QStringLiteral("authorized_keys")));
    _valid = _valid && authorized.open(QIODevice::WriteOnly);
}

QNTestSSHServer::~QNTestSSHServer() {
    kill();
}

QByteArray QNTestSSHServer::makeClientKey(const QString& type, const QString& passphrase, bool pem, bool authorize) {
    const QString path = _directory.filePath(QStringLiteral("client_key_%1").arg(++_keyCount));
    QStringList arguments = QStringList{QStringLiteral("-q")} + keyTypeArguments(type);
    if (pem) {
        arguments << QStringLiteral("-m") << QStringLiteral("PEM");
    }
    arguments << QStringLiteral("-N") << (passphrase.isNull() ? QString() : passphrase) << QStringLiteral("-f") << path;
    if (!keygen(arguments)) {
        return {};
    }
    if (authorize) {
        QFile publicKey(path + QStringLiteral(".pub"));
        QFile authorized(_directory.filePath(QStringLiteral("authorized_keys")));
        if (!publicKey.open(QIODevice::ReadOnly) || !authorized.open(QIODevice::Append)) {
            return {};
        }
        authorized.write(publicKey.readAll());
    }
    QFile privateKey(path);
    return privateKey.open(QIODevice::ReadOnly) ? privateKey.readAll() : QByteArray();
}

QByteArray QNTestSSHServer::hostKeyLine(const QString& type) const {
    QFile file(_directory.filePath(QStringLiteral("ssh_host_%1_key.pub").arg(type)));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString QNTestSSHServer::writeConfig(const QStringList& extraConfig) const {
    QStringList lines{
        QStringLiteral("Port %1").arg(_port),
        QStringLiteral("ListenAddress 127.0.0.1"),
        QStringLiteral("PidFile %1").arg(_directory.filePath(QStringLiteral("sshd.pid"))),
        QStringLiteral("AuthorizedKeysFile %1").arg(_directory.filePath(QStringLiteral("authorized_keys"))),
        QStringLiteral("StrictModes no"),
        QStringLiteral("UsePAM no"),
        QStringLiteral("PermitRootLogin yes"),
        QStringLiteral("PasswordAuthentication no"),
        QStringLiteral("KbdInteractiveAuthentication no"),
        QStringLiteral("PubkeyAuthentication yes"),
        QStringLiteral("AllowTcpForwarding yes"),
        QStringLiteral("MaxStartups 100"),
    };
    for (const QString& type : kHostKeyTypes) {
        lines << QStringLiteral("HostKey %1").arg(_directory.filePath(QStringLiteral("ssh_host_%1_key").arg(type)));
    }
    // Extra lines come first: for most keywords sshd keeps the first value it reads.
    lines = extraConfig + lines;
    const QString path = _directory.filePath(QStringLiteral("sshd_config"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly)) {
        return {};
    }
    file.write(lines.join(QLatin1Char('\n')).toUtf8() + '\n');
    return path;
}

bool QNTestSSHServer::start(const QStringList& extraConfig) {
    if (!_valid) {
        return false;
    }
    // Run as root, sshd insists on its privilege separation folder, as its own service creates it.
    if (geteuid() == 0) {
        mkdir("/run/sshd", 0755);
    }
    // The free port may be taken between asking and binding; another one then.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (startOnce(extraConfig)) {
            return true;
        }
    }
    return false;
}

bool QNTestSSHServer::startOnce(const QStringList& extraConfig) {
    kill();
    _log.clear();
    _partial.clear();
    _port = qnFreeLocalPort();
    const QString config = writeConfig(extraConfig);
    _process.setArguments({QStringLiteral("-D"), QStringLiteral("-e"), QStringLiteral("-f"), config});
    _process.start();
    if (!_process.waitForStarted()) {
        return false;
    }
    const QString listening = QStringLiteral("Server listening on 127.0.0.1 port %1").arg(_port);
    qnWaitUntil([&] { return logContains(listening) || !isRunning(); }, 20000);
    return logContains(listening) && isRunning();
}

namespace {

// The process and all its descendants: sshd's connection processes start sessions of their own, out of
// reach of a signal to sshd's process group.
QList<pid_t> processTree(pid_t root) {
    QList<pid_t> tree{root};
    for (qsizetype index = 0; index < tree.size(); ++index) {
        QFile children(QStringLiteral("/proc/%1/task/%1/children").arg(tree[index]));
        if (children.open(QIODevice::ReadOnly)) {
            for (const QByteArray& child : children.readAll().split(' ')) {
                if (!child.trimmed().isEmpty()) {
                    tree << pid_t(child.toInt());
                }
            }
        }
    }
    return tree;
}

} // namespace

void QNTestSSHServer::kill() {
    if (isRunning()) {
        for (const pid_t pid : processTree(pid_t(_process.processId()))) {
            ::kill(pid, SIGKILL);
        }
        _process.waitForFinished();
    }
}

void QNTestSSHServer::killConnections() {
    if (isRunning()) {
        for (const pid_t pid : processTree(pid_t(_process.processId())).mid(1)) {
            ::kill(pid, SIGKILL);
        }
    }
}

bool QNTestSSHServer::logContains(const QString& text) const {
    return logCount(text) > 0;
}

int QNTestSSHServer::logCount(const QString& text) const {
    return int(_log.filter(text).size());
}

bool QNTestSSHServer::waitForLog(const QString& text, int timeoutMilliseconds) {
    return qnWaitUntil([&] { return logContains(text); }, timeoutMilliseconds);
}

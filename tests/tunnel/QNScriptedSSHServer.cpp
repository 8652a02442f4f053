#include "QNScriptedSSHServer.h"

#include "support/QNTestProcess.h"
#include "support/QNTestSSHServer.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

QNScriptedSSHServer::QNScriptedSSHServer(const Script& script)
    : _script(script) {
    const QString hostKey = _directory.filePath(QStringLiteral("host_ed25519"));
    qnRunProcess(QStringLiteral("ssh-keygen"), {QStringLiteral("-q"), QStringLiteral("-t"), QStringLiteral("ed25519"),
                                                QStringLiteral("-N"), QString(), QStringLiteral("-f"), hostKey});
    _bind = ssh_bind_new();
    _wake = eventfd(0, EFD_CLOEXEC);
    for (int attempt = 0; attempt < 5 && _port == 0; ++attempt) {
        const unsigned int port = qnFreeLocalPort();
        ssh_bind_options_set(_bind, SSH_BIND_OPTIONS_BINDADDR, "127.0.0.1");
        ssh_bind_options_set(_bind, SSH_BIND_OPTIONS_BINDPORT, &port);
        ssh_bind_options_set(_bind, SSH_BIND_OPTIONS_HOSTKEY, hostKey.toUtf8().constData());
        if (ssh_bind_listen(_bind) == SSH_OK) {
            _port = quint16(port);
        }
    }
    if (_port != 0) {
        _thread = std::thread([this] { run(); });
    }
}

QNScriptedSSHServer::~QNScriptedSSHServer() {
    eventfd_write(_wake, 1);
    if (_thread.joinable()) {
        _thread.join();
    }
    ssh_bind_free(_bind);
    close(_wake);
}

QStringList QNScriptedSSHServer::methodsTried() const {
    std::lock_guard lock(_mutex);
    return _methodsTried;
}

QList<QStringList> QNScriptedSSHServer::answers() const {
    std::lock_guard lock(_mutex);
    return _answers;
}

void QNScriptedSSHServer::run() {
    while (true) {
        pollfd descriptors[] = {{_wake, POLLIN, 0}, {ssh_bind_get_fd(_bind), POLLIN, 0}};
        if (poll(descriptors, 2, -1) < 0 || descriptors[0].revents) {
            return;
        }
        ssh_session session = ssh_new();
        if (ssh_bind_accept(_bind, session) == SSH_OK && ssh_handle_key_exchange(session) == SSH_OK) {
            serve(session);
        }
        ssh_disconnect(session);
        ssh_free(session);
    }
}

void QNScriptedSSHServer::serve(ssh_session session) {
    int round = 0;
    // Until the client leaves: authentication as scripted, everything else refused.
    while (ssh_message message = ssh_message_get(session)) {
        if (ssh_message_type(message) == SSH_REQUEST_AUTH) {
            handleAuthentication(session, message, &round);
        } else {
            ssh_message_reply_default(message);
        }
        ssh_message_free(message);
    }
}

void QNScriptedSSHServer::refuse(ssh_message message) {
    ssh_message_auth_set_methods(message, _script.methods);
    ssh_message_reply_default(message);
}

void QNScriptedSSHServer::handleAuthentication(ssh_session session, ssh_message message, int* round) {
    std::unique_lock lock(_mutex);
    switch (ssh_message_subtype(message)) {
    case SSH_AUTH_METHOD_NONE:
        _methodsTried << QStringLiteral("none");
        _script.acceptNone ? void(ssh_message_auth_reply_success(message, 0)) : refuse(message);
        return;
    case SSH_AUTH_METHOD_PASSWORD: {
        _methodsTried << QStringLiteral("password");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        const QString given = QString::fromUtf8(ssh_message_auth_password(message));
#pragma GCC diagnostic pop
        !_script.password.isNull() && given == _script.password ? void(ssh_message_auth_reply_success(message, 0))
                                                                : refuse(message);
        return;
    }
    case SSH_AUTH_METHOD_INTERACTIVE:
        if (ssh_message_auth_kbdint_is_response(message)) {
            QStringList answers;
            for (int index = 0; index < ssh_userauth_kbdint_getnanswers(session); ++index) {
                answers << QString::fromUtf8(ssh_userauth_kbdint_getanswer(session, unsigned(index)));
            }
            _answers << answers;
            ++*round;
        } else {
            _methodsTried << QStringLiteral("keyboard-interactive");
            *round = 0;
        }
        break;
    default:
        _methodsTried << QStringLiteral("other");
        refuse(message);
        return;
    }

    if (*round < _script.rounds.size()) {
        const QStringList& prompts = _script.rounds[*round];
        std::vector<QByteArray> texts;
        std::vector<const char*> pointers;
        std::vector<char> echoes(size_t(prompts.size()) + 1, 0);
        for (const QString& prompt : prompts) {
            // A moved byte array keeps its bytes where they are.
            texts.push_back(prompt.toUtf8());
            pointers.push_back(texts.back().constData());
        }
        ssh_message_auth_interactive_request(message, "scripted", "", unsigned(prompts.size()), pointers.data(),
                                             echoes.data());
        return;
    }
    switch (_script.ending) {
    case Ending::Success:
        ssh_message_auth_reply_success(message, 0);
        break;
    case Ending::Partial:
        ssh_message_auth_set_methods(message, _script.methods);
        ssh_message_auth_reply_success(message, 1);
        break;
    case Ending::Deny:
        refuse(message);
        break;
    }
}

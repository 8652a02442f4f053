#pragma once

#include <QString>

#include <libssh/libssh.h>

class QNProxy;

// Authenticates a connected SSH session as the proxy's user: keyboard-interactive with the password, then
// password, then public key, then the method none, whichever the server allows first. Blocking; runs on
// the session thread before the tunnel serves anyone.
class QNSSHTunnelAuthenticator {
public:
    struct Result {
        bool authenticated = false;
        // The error for the user; null when the failure has no message of its own.
        QString error;
    };

    enum class Step { KeyboardInteractive, Password, PublicKey, None, NoMethod };

    // The first step, from the given one on, that the server's method set (SSH_AUTH_METHOD_* bits) and
    // the proxy's credentials allow.
    static Step firstStep(int methods, bool hasPassword, bool hasClientKey, Step from);

    // The answer to one keyboard-interactive prompt, or the localisation key of the error it leads to.
    struct PromptAnswer {
        QString answer;
        QString errorKey;
    };
    static PromptAnswer answerForPrompt(const QString& prompt, const QString& password);

    QNSSHTunnelAuthenticator(ssh_session session, const QNProxy& proxy);

    Result authenticate();

private:
    Result keyboardInteractive(int methods);
    Result password();
    Result publicKey();
    Result none();
    Result fromStep(Step from, int methods);
    Result libraryError() const;
    static Result failure(const QString& key);

    ssh_session _session;
    const QNProxy& _proxy;
};

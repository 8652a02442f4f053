#include "tunnel/QNSSHTunnelAuthenticator.h"

#include "model/QNProxy.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <memory>

namespace {

struct KeyFree {
    void operator()(ssh_key key) const { ssh_key_free(key); }
};
using Key = std::unique_ptr<ssh_key_struct, KeyFree>;

// libcrypto asks for a passphrase on the terminal when it finds an encrypted key and has neither a
// passphrase nor a callback; this callback supplies none.
int refusePassphrase(const char*, char*, size_t, int, int, void*) {
    return -1;
}

} // namespace

QNSSHTunnelAuthenticator::QNSSHTunnelAuthenticator(ssh_session session, const QNProxy& proxy)
    : _session(session)
    , _proxy(proxy) {}

QNSSHTunnelAuthenticator::Step QNSSHTunnelAuthenticator::firstStep(int methods, bool hasPassword, bool hasClientKey,
                                                                   Step from) {
    if (from <= Step::KeyboardInteractive && (methods & SSH_AUTH_METHOD_INTERACTIVE) && hasPassword) {
        return Step::KeyboardInteractive;
    }
    if (from <= Step::Password && (methods & SSH_AUTH_METHOD_PASSWORD) && hasPassword) {
        return Step::Password;
    }
    if (from <= Step::PublicKey && (methods & SSH_AUTH_METHOD_PUBLICKEY) && hasClientKey) {
        return Step::PublicKey;
    }
    if (from <= Step::None && (methods == 0 || (methods & SSH_AUTH_METHOD_NONE))) {
        return Step::None;
    }
    return Step::NoMethod;
}

QNSSHTunnelAuthenticator::PromptAnswer QNSSHTunnelAuthenticator::answerForPrompt(const QString& prompt,
                                                                                 const QString& password) {
    if (prompt.contains(kQNSSHTunnelSessionInteractivePassword)) {
        if (password.isNull()) {
            return {{}, QStringLiteral("authenticationFailedParameter")};
        }
        return {password, {}};
    }
    if (prompt.contains(kQNSSHTunnelSessionInteractiveYesNo)) {
        return {kQNSSHTunnelSessionInteractiveYes, {}};
    }
    if (prompt.contains(kQNSSHTunnelSessionInteractiveNoRouteToHost)) {
        return {{}, QStringLiteral("authenticationFailedNoRouteToHost")};
    }
    if (prompt.contains(kQNSSHTunnelSessionInteractiveHostIsDown)) {
        return {{}, QStringLiteral("authenticationFailedHostIsDown")};
    }
    if (prompt.contains(kQNSSHTunnelSessionInteractiveOperationTimedOut)) {
        return {{}, QStringLiteral("authenticationFailedTimedOut")};
    }
    return {QStringLiteral(""), {}};
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::authenticate() {
    // A server that lets us in without credentials has done so here; asking again would go unanswered.
    if (ssh_userauth_none(_session, nullptr) == SSH_AUTH_SUCCESS) {
        return {true, {}};
    }
    return fromStep(Step::KeyboardInteractive, ssh_userauth_list(_session, nullptr));
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::fromStep(Step from, int methods) {
    switch (firstStep(methods, !_proxy.password().isNull(), !_proxy.clientKey().isNull(), from)) {
    case Step::KeyboardInteractive:
        return keyboardInteractive(methods);
    case Step::Password:
        return password();
    case Step::PublicKey:
        return publicKey();
    case Step::None:
        return none();
    case Step::NoMethod:
        break;
    }
    return failure(QStringLiteral("authenticationFailed"));
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::keyboardInteractive(int methods) {
    // A server that keeps asking is bounded like any other outside input.
    for (int round = 0; round < kQNSSHTunnelSessionInteractiveRoundsMaximum; ++round) {
        const int result = ssh_userauth_kbdint(_session, nullptr, nullptr);
        switch (result) {
        case SSH_AUTH_SUCCESS:
            return {true, {}};
        case SSH_AUTH_DENIED:
            return failure(QStringLiteral("authenticationFailedDenied"));
        case SSH_AUTH_PARTIAL:
            return fromStep(Step::Password, methods);
        case SSH_AUTH_INFO:
            break;
        case SSH_AUTH_ERROR:
        case SSH_AUTH_AGAIN:
            return failure(QStringLiteral("authenticationFailedError"));
        default:
            return {};
        }
        const int prompts = ssh_userauth_kbdint_getnprompts(_session);
        for (int index = 0; index < prompts; ++index) {
            const char* prompt = ssh_userauth_kbdint_getprompt(_session, unsigned(index), nullptr);
            const PromptAnswer answer = answerForPrompt(QString::fromUtf8(prompt), _proxy.password());
            if (!answer.errorKey.isNull()) {
                return failure(answer.errorKey);
            }
            if (ssh_userauth_kbdint_setanswer(_session, unsigned(index), answer.answer.toUtf8().constData()) < 0) {
                return failure(QStringLiteral("authenticationFailedParameter"));
            }
        }
    }
    return failure(QStringLiteral("authenticationFailedError"));
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::password() {
    if (ssh_userauth_password(_session, nullptr, _proxy.password().toUtf8().constData()) == SSH_AUTH_SUCCESS) {
        return {true, {}};
    }
    return libraryError();
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::publicKey() {
    const QByteArray keyText = _proxy.clientKey();
    const QByteArray passphrase = _proxy.clientKeyPassphrase().toUtf8();
    const bool hasPassphrase = !_proxy.clientKeyPassphrase().isNull();
    ssh_key privateKey = nullptr;
    ssh_key publicKey = nullptr;
    const int imported =
        ssh_pki_import_privkey_base64(keyText.constData(), hasPassphrase ? passphrase.constData() : nullptr,
                                      hasPassphrase ? nullptr : refusePassphrase, nullptr, &privateKey);
    Key privateHolder(imported == SSH_OK ? privateKey : nullptr);
    if (!privateHolder || ssh_pki_export_privkey_to_pubkey(privateKey, &publicKey) != SSH_OK) {
        return failure(QStringLiteral("authenticationFailedInvalidClientKey"));
    }
    Key publicHolder(publicKey);
    if (ssh_userauth_try_publickey(_session, nullptr, publicKey) == SSH_AUTH_SUCCESS &&
        ssh_userauth_publickey(_session, nullptr, privateKey) == SSH_AUTH_SUCCESS) {
        return {true, {}};
    }
    return failure(QStringLiteral("authenticationFailedInvalidClientKey"));
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::none() {
    if (ssh_userauth_none(_session, nullptr) == SSH_AUTH_SUCCESS) {
        return {true, {}};
    }
    return libraryError();
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::libraryError() const {
    return {false, QString::fromUtf8(ssh_get_error(_session))};
}

QNSSHTunnelAuthenticator::Result QNSSHTunnelAuthenticator::failure(const QString& key) {
    return {false, QNLocalizedString(key)};
}

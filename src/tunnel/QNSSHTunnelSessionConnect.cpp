// Building, connecting, authenticating and tearing down a tunnel's SSH connection (session thread).
#include "fingerprint/QNFingerprint.h"
#include "model/QNProxy.h"
#include "tunnel/QNSSHTunnelAuthenticator.h"
#include "tunnel/QNSSHTunnelConnection.h"
#include "tunnel/QNSSHTunnelSession.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

#include <unistd.h>

namespace {

// The SSH cipher name for the proxy's cipher value; null for the library's own choice.
QString cipherName(quint32 cipher) {
    switch (cipher) {
    case 1:
        return kQNSSHTunnelSessionCipherAES128CBC;
    case 2:
        return kQNSSHTunnelSessionCipherAES192CBC;
    case 3:
        return kQNSSHTunnelSessionCipherAES256CBC;
    case 4:
        return kQNSSHTunnelSessionCipherAES128CTR;
    case 5:
        return kQNSSHTunnelSessionCipherAES192CTR;
    case 6:
        return kQNSSHTunnelSessionCipherAES256CTR;
    case 7:
        return kQNSSHTunnelSessionCipher3DESCBC;
    case 8:
        return kQNSSHTunnelSessionCipher3DESCBCSSH1;
    case 9:
        return kQNSSHTunnelSessionCipherBlowfishCBC;
    default:
        return {};
    }
}

// The host-key algorithms that can present a key of the given fingerprint type. A server holding several
// host keys presents the one both sides like best, which need not be the stored one, so the choice is
// narrowed to the stored key's kind. Empty: no narrowing.
QByteArray hostKeyAlgorithms(quint32 type) {
    switch (type) {
    case QNFingerprintTypeRSA:
    case QNFingerprintTypeRSACertificateV0:
    case QNFingerprintTypeRSACertificateV1:
        return "rsa-sha2-512,rsa-sha2-256,ssh-rsa";
    case QNFingerprintTypeDSA:
    case QNFingerprintTypeDSSCertificateV0:
    case QNFingerprintTypeDSSCertificateV1:
        return "ssh-dss";
    case QNFingerprintTypeEd25519:
    case QNFingerprintTypeEd25519CertificateV1:
        return "ssh-ed25519";
    case QNFingerprintTypeECDSA256:
    case QNFingerprintTypeECDSA256CertificateV1:
        return "ecdsa-sha2-nistp256";
    case QNFingerprintTypeECDSA384:
    case QNFingerprintTypeECDSA384CertificateV1:
        return "ecdsa-sha2-nistp384";
    case QNFingerprintTypeECDSA521:
    case QNFingerprintTypeECDSA521CertificateV1:
        return "ecdsa-sha2-nistp521";
    default:
        return {};
    }
}

} // namespace

bool QNSSHTunnelSession::connect() {
    log(QNLocalizedString(QStringLiteral("starting")));
    _session = ssh_new();
    if (!_session) {
        error(QNLocalizedString(QStringLiteral("failedToCreateSSHSession")));
        disconnect();
        return false;
    }
    loadServerKey();
    if (!setOptions()) {
        disconnect();
        return false;
    }
    if (ssh_connect(_session) != SSH_OK) {
        error(QString::fromUtf8(ssh_get_error(_session)));
        disconnect();
        return false;
    }
    if (!checkServerKey()) {
        disconnect();
        return false;
    }
    const QNSSHTunnelAuthenticator::Result authentication = QNSSHTunnelAuthenticator(_session, *_proxy).authenticate();
    if (!authentication.authenticated) {
        if (!authentication.error.isNull()) {
            error(authentication.error);
        }
        disconnect();
        return false;
    }

    // From here on no libssh call may wait: a channel that takes its time to open must not hold up the
    // other connections. The event object lets the loop process packets without naming a channel.
    ssh_set_blocking(_session, 0);
    _event = ssh_event_new();
    if (!_event || ssh_event_add_session(_event, _session) != SSH_OK) {
        error(QNLocalizedString(QStringLiteral("failedToCreateSSHSession")));
        disconnect();
        return false;
    }
    _accepting = true;
    _keepAlive = ssh_get_version(_session) == kQNSSHTunnelSessionVersion2 && _proxy->serverAliveInterval() > 0;
    updateAlive();
    log(QNLocalizedString(QStringLiteral("running")));
    _connected = true;
    post([](QNSSHTunnelSession& session) { session.sessionConnect(); });
    return true;
}

void QNSSHTunnelSession::loadServerKey() {
    if (_proxy->serverKey().isNull()) {
        return;
    }
    QNFingerprint fingerprint(_proxy->serverKey(), _proxy->serverKeyPassphrase());
    if (const std::optional<QByteArray> digest = fingerprint.fingerprintData(false, nullptr)) {
        _serverKeyDigest = *digest;
        _serverKeyType = fingerprint.type();
    }
}

bool QNSSHTunnelSession::setOptions() {
    // A user's ssh_config must not change the proxy's host, port or ciphers, so it is never read.
    const bool processConfig = false;
    const int verbosity = int(_verbosity);
    const long timeout = kQNSSHTunnelSessionTimeout;
    const int noDelay = 1;
    const QByteArray host = _proxy->host().toUtf8();
    const unsigned int port = _proxy->port();
    const QByteArray user = _proxy->username().toUtf8();
    const QByteArray cipher = cipherName(_proxy->cipher()).toUtf8();
    const QByteArray hostKeys = _serverKeyDigest.isEmpty() ? QByteArray() : hostKeyAlgorithms(_serverKeyType);

    bool ok = ssh_options_set(_session, SSH_OPTIONS_PROCESS_CONFIG, &processConfig) == SSH_OK &&
              ssh_options_set(_session, SSH_OPTIONS_LOG_VERBOSITY, &verbosity) == SSH_OK &&
              ssh_options_set(_session, SSH_OPTIONS_TIMEOUT, &timeout) == SSH_OK &&
              ssh_options_set(_session, SSH_OPTIONS_NODELAY, &noDelay) == SSH_OK &&
              ssh_options_set(_session, SSH_OPTIONS_HOST, host.constData()) == SSH_OK &&
              ssh_options_set(_session, SSH_OPTIONS_PORT, &port) == SSH_OK;
    if (ok && !_proxy->username().isNull()) {
        ok = ssh_options_set(_session, SSH_OPTIONS_USER, user.constData()) == SSH_OK;
    }
    if (ok && !cipher.isEmpty()) {
        ok = ssh_options_set(_session, SSH_OPTIONS_CIPHERS_C_S, cipher.constData()) == SSH_OK &&
             ssh_options_set(_session, SSH_OPTIONS_CIPHERS_S_C, cipher.constData()) == SSH_OK;
    }
    if (ok && !hostKeys.isEmpty()) {
        ok = ssh_options_set(_session, SSH_OPTIONS_HOSTKEYS, hostKeys.constData()) == SSH_OK;
    }
    if (!ok) {
        error(QString::fromUtf8(ssh_get_error(_session)));
    }
    return ok;
}

bool QNSSHTunnelSession::checkServerKey() {
    if (_proxy->serverKey().isNull()) {
        return true;
    }
    ssh_key key = nullptr;
    unsigned char* hash = nullptr;
    size_t length = 0;
    const bool digested = ssh_get_server_publickey(_session, &key) == SSH_OK &&
                          ssh_get_publickey_hash(key, SSH_PUBLICKEY_HASH_MD5, &hash, &length) == 0;
    ssh_key_free(key);
    if (!digested) {
        error(QString::fromUtf8(ssh_get_error(_session)));
        return false;
    }
    const QByteArray serverDigest(reinterpret_cast<const char*>(hash), qsizetype(length));
    ssh_clean_pubkey_hash(&hash);
    if (_serverKeyDigest.isEmpty() || serverDigest != _serverKeyDigest) {
        error(QNLocalizedString(QStringLiteral("serverKeyFingerprintDoesNotMatch")));
        return false;
    }
    return true;
}

void QNSSHTunnelSession::disconnect() {
    log(QNLocalizedString(QStringLiteral("stopping")));
    _accepting = false;
    if (_serverSocket >= 0) {
        close(_serverSocket);
        _serverSocket = -1;
    }
    for (const auto& connection : _connections) {
        connection->stop();
    }
    _connections.clear();
    if (_event) {
        ssh_event_remove_session(_event, _session);
        ssh_event_free(_event);
        _event = nullptr;
    }
    if (_session) {
        ssh_disconnect(_session);
        ssh_free(_session);
        _session = nullptr;
    }
    _keepAlive = false;
    log(QNLocalizedString(QStringLiteral("stopped")));
    _connected = false;
}

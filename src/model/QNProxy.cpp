#include "model/QNProxy.h"

#include "model/QNSettingsReading.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

QNProxy::QNProxy()
    : _type(QNProxyTypeHTTPTransparent)
    , _port(80)
    , _filterPorts(defaultFilterPorts()) {}

QNProxy::QNProxy(const QString& name, quint32 type, const QString& host, quint16 port, const QString& username,
                 const QString& password, const QStringList& filterPorts, bool anonymizeRequests, quint32 cipher,
                 const QByteArray& clientKey, const QString& clientKeyPassphrase, const QByteArray& serverKey,
                 const QString& serverKeyPassphrase, qint64 serverAliveInterval)
    : _name(name)
    , _type(type)
    , _host(host)
    , _port(port)
    , _username(username)
    , _password(password)
    , _filterPorts(filterPorts)
    , _anonymizeRequests(anonymizeRequests)
    , _cipher(cipher)
    , _clientKey(clientKey)
    , _clientKeyPassphrase(clientKeyPassphrase)
    , _serverKey(serverKey)
    , _serverKeyPassphrase(serverKeyPassphrase)
    , _serverAliveInterval(serverAliveInterval) {}

QNProxy::QNProxy(const QVariantMap& settings) {
    setSettings(settings);
}

std::shared_ptr<QNProxy> QNProxy::proxy() {
    return std::make_shared<QNProxy>();
}

std::shared_ptr<QNProxy> QNProxy::proxyWithName(const QString& name, quint32 type, const QString& host, quint16 port,
                                                const QString& username, const QString& password,
                                                const QStringList& filterPorts, bool anonymizeRequests, quint32 cipher,
                                                const QByteArray& clientKey, const QString& clientKeyPassphrase,
                                                const QByteArray& serverKey, const QString& serverKeyPassphrase,
                                                qint64 serverAliveInterval) {
    return std::make_shared<QNProxy>(name, type, host, port, username, password, filterPorts, anonymizeRequests, cipher,
                                     clientKey, clientKeyPassphrase, serverKey, serverKeyPassphrase,
                                     serverAliveInterval);
}

std::shared_ptr<QNProxy> QNProxy::proxyWithSettings(const QVariantMap& settings) {
    return std::make_shared<QNProxy>(settings);
}

QStringList QNProxy::defaultFilterPorts() {
    return {kQNProxyHTTPPortDefault, kQNProxyHTTPPortSecure, kQNProxyHTTPPortAlternate};
}

QString QNProxy::proxyTypeName(quint32 type, const QNStrings& resourceBundle) {
    switch (type) {
    case QNProxyTypeSOCKS4:
        return resourceBundle.localizedString(QStringLiteral("SOCKS4"));
    case QNProxyTypeSOCKS4A:
        return resourceBundle.localizedString(QStringLiteral("SOCKS4a"));
    case QNProxyTypeSOCKS5:
        return resourceBundle.localizedString(QStringLiteral("SOCKS5"));
    case QNProxyTypeHTTPTransparent:
        return resourceBundle.localizedString(QStringLiteral("HTTPTransparent"));
    case QNProxyTypeHTTPNonTransparent:
        return resourceBundle.localizedString(QStringLiteral("HTTPNonTransparent"));
    case QNProxyTypeHTTPConnect:
        return resourceBundle.localizedString(QStringLiteral("HTTPConnect"));
    case QNProxyTypeSSHTunnel:
        return resourceBundle.localizedString(QStringLiteral("sshTunnel"));
    default:
        return QString();
    }
}

QVariantMap QNProxy::settings() const {
    using QNSettings::number;
    QVariantMap settings;
    if (!_name.isNull()) {
        settings.insert(kQNSettingsKeyName, _name);
    }
    settings.insert(kQNSettingsKeyType, number(_type));
    if (!_host.isNull()) {
        settings.insert(kQNSettingsKeyHost, _host);
    }
    settings.insert(kQNSettingsKeyPort, number(_port));
    if (!_username.isNull()) {
        settings.insert(kQNSettingsKeyUsername, _username);
    }
    if (!_password.isNull()) {
        settings.insert(kQNSettingsKeyPassword, _password);
    }
    if (!_filterPorts.isEmpty()) {
        settings.insert(kQNSettingsKeyFilterPorts, _filterPorts);
    }
    settings.insert(kQNSettingsKeyAnonymizeRequests, number(_anonymizeRequests ? 1 : 0));
    settings.insert(kQNSettingsKeyCipher, number(_cipher));
    // A passphrase is only worth keeping together with the key it unlocks.
    if (!_clientKey.isNull()) {
        settings.insert(kQNSettingsKeyClientKey, _clientKey);
        if (!_clientKeyPassphrase.isNull()) {
            settings.insert(kQNSettingsKeyClientKeyPassphrase, _clientKeyPassphrase);
        }
    }
    if (!_serverKey.isNull()) {
        settings.insert(kQNSettingsKeyServerKey, _serverKey);
        if (!_serverKeyPassphrase.isNull()) {
            settings.insert(kQNSettingsKeyServerKeyPassphrase, _serverKeyPassphrase);
        }
    }
    if (_serverAliveInterval != 0) {
        settings.insert(kQNSettingsKeyServerAliveInterval, number(_serverAliveInterval));
    }
    settings.insert(kQNSettingsKeyKind, kQNSettingsValueProxy);
    return settings;
}

void QNProxy::setSettings(const QVariantMap& settings) {
    using namespace QNSettings;
    // Every persistent field is replaced: an absent key means null or 0, never the init defaults.
    // Numbers are narrowed to their field's width without range checks.
    _name = text(settings, kQNSettingsKeyName);
    _type = static_cast<quint32>(integer(settings, kQNSettingsKeyType));
    _host = text(settings, kQNSettingsKeyHost);
    _port = static_cast<quint16>(integer(settings, kQNSettingsKeyPort));
    _username = text(settings, kQNSettingsKeyUsername);
    _password = text(settings, kQNSettingsKeyPassword);
    _filterPorts = textList(settings, kQNSettingsKeyFilterPorts);
    _anonymizeRequests = static_cast<quint8>(integer(settings, kQNSettingsKeyAnonymizeRequests)) != 0;
    _cipher = static_cast<quint32>(integer(settings, kQNSettingsKeyCipher));
    _clientKey = data(settings, kQNSettingsKeyClientKey);
    _clientKeyPassphrase = text(settings, kQNSettingsKeyClientKeyPassphrase);
    _serverKey = data(settings, kQNSettingsKeyServerKey);
    _serverKeyPassphrase = text(settings, kQNSettingsKeyServerKeyPassphrase);
    _serverAliveInterval = integer(settings, kQNSettingsKeyServerAliveInterval);
}

QString QNProxy::summaryWithResourceBundle(const QNStrings& resourceBundle) const {
    QString summary;
    if (!_name.isNull()) {
        summary += _name + QStringLiteral(" - ");
    }
    summary += proxyTypeName(_type, resourceBundle) + QStringLiteral(" - ") + _host + QLatin1Char(':') +
               QString::number(_port);
    if (_localTunnelPort != 0) {
        summary += QStringLiteral(" (") + resourceBundle.localizedString(QStringLiteral("localhost")) +
                   QLatin1Char(':') + QString::number(_localTunnelPort) + QLatin1Char(')');
    }
    return summary;
}

std::shared_ptr<QNProxy> QNProxy::copy() const {
    auto copy =
        proxyWithName(_name, _type, _host, _port, _username, _password, _filterPorts, _anonymizeRequests, _cipher,
                      _clientKey, _clientKeyPassphrase, _serverKey, _serverKeyPassphrase, _serverAliveInterval);
    // Tunnel sessions work on copies and need to know their listener's port.
    copy->setLocalTunnelPort(_localTunnelPort);
    return copy;
}

#pragma once

#include "model/QNProxyItem.h"

#include <QByteArray>
#include <QStringList>
#include <QVariantMap>

#include <memory>

class QNStrings;
class QNXMLElement;

enum QNProxyType : quint32 {
    QNProxyTypeSOCKS4 = 1,
    QNProxyTypeSOCKS4A = 2,
    QNProxyTypeSOCKS5 = 3,
    QNProxyTypeHTTPTransparent = 4,
    QNProxyTypeHTTPNonTransparent = 5,
    QNProxyTypeHTTPConnect = 6,
    QNProxyTypeSSHTunnel = 7,
};

enum QNProxyCipher : quint32 {
    QNProxyCipherDefault = 0,
    QNProxyCipherAES128CBC = 1,
    QNProxyCipherAES192CBC = 2,
    QNProxyCipherAES256CBC = 3,
    QNProxyCipherAES128CTR = 4,
    QNProxyCipherAES192CTR = 5,
    QNProxyCipherAES256CTR = 6,
    QNProxyCipher3DESCBC = 7,
    QNProxyCipher3DESCBCSSH1 = 8,
    QNProxyCipherBlowfishCBC = 9,
};

// One proxy server. Numeric fields hold whatever they were given (no enumeration check); texts, lists and
// data may be null. localTunnelPort is run-time state and serverKeyFingerprint is display-only: neither is saved.
class QNProxy : public QNProxyItem {
public:
    // init: type HTTP transparent, port 80, the default filter ports.
    QNProxy();
    // The designated initialiser: stores every argument as given (an empty filter-port list stays empty).
    QNProxy(const QString& name, quint32 type, const QString& host, quint16 port, const QString& username,
            const QString& password, const QStringList& filterPorts, bool anonymizeRequests, quint32 cipher,
            const QByteArray& clientKey, const QString& clientKeyPassphrase, const QByteArray& serverKey,
            const QString& serverKeyPassphrase, qint64 serverAliveInterval);
    // initWithSettings: starts from an empty object, not from init's defaults.
    explicit QNProxy(const QVariantMap& settings);

    static std::shared_ptr<QNProxy> proxy();
    static std::shared_ptr<QNProxy> proxyWithName(const QString& name, quint32 type, const QString& host, quint16 port,
                                                  const QString& username, const QString& password,
                                                  const QStringList& filterPorts, bool anonymizeRequests,
                                                  quint32 cipher, const QByteArray& clientKey,
                                                  const QString& clientKeyPassphrase, const QByteArray& serverKey,
                                                  const QString& serverKeyPassphrase, qint64 serverAliveInterval);
    static std::shared_ptr<QNProxy> proxyWithSettings(const QVariantMap& settings);
    static QStringList defaultFilterPorts();
    // Localised name of types 1 to 7; null for any other type.
    static QString proxyTypeName(quint32 type, const QNStrings& resourceBundle);

    QVariantMap settings() const;
    void setSettings(const QVariantMap& settings);
    QString summaryWithResourceBundle(const QNStrings& resourceBundle) const;
    quint32 kind() const override { return QNProxyItemKindProxy; }
    // Same configuration and local tunnel port; shares texts, lists and data; no fingerprint.
    std::shared_ptr<QNProxy> copy() const;

    // XML form.
    std::shared_ptr<QNXMLElement> xmlElement() const;
    // Null when the element has no usable type.
    static std::shared_ptr<QNProxy> proxyWithXML(const QNXMLElement& element);

    QString name() const override { return _name; }
    void setName(const QString& name) override { _name = name; }
    quint32 type() const { return _type; }
    void setType(quint32 type) { _type = type; }
    QString host() const { return _host; }
    void setHost(const QString& host) { _host = host; }
    quint16 port() const { return _port; }
    void setPort(quint16 port) { _port = port; }
    QString username() const { return _username; }
    void setUsername(const QString& username) { _username = username; }
    QString password() const { return _password; }
    void setPassword(const QString& password) { _password = password; }
    QStringList filterPorts() const { return _filterPorts; }
    void setFilterPorts(const QStringList& filterPorts) { _filterPorts = filterPorts; }
    bool anonymizeRequests() const { return _anonymizeRequests; }
    void setAnonymizeRequests(bool anonymizeRequests) { _anonymizeRequests = anonymizeRequests; }
    quint32 cipher() const { return _cipher; }
    void setCipher(quint32 cipher) { _cipher = cipher; }
    QByteArray clientKey() const { return _clientKey; }
    void setClientKey(const QByteArray& clientKey) { _clientKey = clientKey; }
    QString clientKeyPassphrase() const { return _clientKeyPassphrase; }
    void setClientKeyPassphrase(const QString& passphrase) { _clientKeyPassphrase = passphrase; }
    QByteArray serverKey() const { return _serverKey; }
    void setServerKey(const QByteArray& serverKey) { _serverKey = serverKey; }
    QString serverKeyPassphrase() const { return _serverKeyPassphrase; }
    void setServerKeyPassphrase(const QString& passphrase) { _serverKeyPassphrase = passphrase; }
    qint64 serverAliveInterval() const { return _serverAliveInterval; }
    void setServerAliveInterval(qint64 interval) { _serverAliveInterval = interval; }
    quint16 localTunnelPort() const { return _localTunnelPort; }
    void setLocalTunnelPort(quint16 port) { _localTunnelPort = port; }
    QString serverKeyFingerprint() const { return _serverKeyFingerprint; }
    void setServerKeyFingerprint(const QString& fingerprint) { _serverKeyFingerprint = fingerprint; }

private:
    QString _name;
    quint32 _type = 0;
    QString _host;
    quint16 _port = 0;
    QString _username;
    QString _password;
    QStringList _filterPorts;
    bool _anonymizeRequests = false;
    quint32 _cipher = 0;
    QByteArray _clientKey;
    QString _clientKeyPassphrase;
    QByteArray _serverKey;
    QString _serverKeyPassphrase;
    qint64 _serverAliveInterval = 0;
    quint16 _localTunnelPort = 0;
    QString _serverKeyFingerprint;
};

#pragma once

#include <QStringList>
#include <QVariantMap>

#include <memory>

class QNXMLElement;

enum QNDNSResolve : quint32 {
    QNDNSResolveLocal = 0,
    QNDNSResolveRemote = 1,
};

// Whether the names it lists are resolved locally or remotely. No hosts means no host condition.
class QNDNS {
public:
    // init: enabled, resolve local.
    QNDNS();
    QNDNS(const QString& name, const QStringList& hosts, quint32 resolve, bool enabled);
    // initWithSettings: starts from an empty object (disabled) and applies the dictionary.
    explicit QNDNS(const QVariantMap& settings);

    static std::shared_ptr<QNDNS> dns();
    static std::shared_ptr<QNDNS> dnsWithName(const QString& name, const QStringList& hosts, quint32 resolve,
                                              bool enabled);
    static std::shared_ptr<QNDNS> dnsWithSettings(const QVariantMap& settings);

    QVariantMap settings() const;
    void setSettings(const QVariantMap& settings);
    std::shared_ptr<QNDNS> copy() const;

    // XML form.
    std::shared_ptr<QNXMLElement> xmlElement() const;
    static std::shared_ptr<QNDNS> dnsWithXML(const QNXMLElement& element);

    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    QStringList hosts() const { return _hosts; }
    void setHosts(const QStringList& hosts) { _hosts = hosts; }
    quint32 resolve() const { return _resolve; }
    void setResolve(quint32 resolve) { _resolve = resolve; }
    bool enabled() const { return _enabled; }
    void setEnabled(bool enabled) { _enabled = enabled; }

private:
    QString _name;
    QStringList _hosts;
    quint32 _resolve = 0;
    bool _enabled = false;
};

#pragma once

#include <QStringList>
#include <QVariantMap>

#include <memory>

class QNProxyItem;
class QNXMLElement;

enum QNRuleAction : quint32 {
    QNRuleActionProxy = 1,
    QNRuleActionDirect = 2,
    QNRuleActionBlock = 3,
};

// What happens to connections matching the rule's applications, hosts and ports. Each list entry may hold
// several conditions separated by ",". The proxy is an item of the same profile, shared, never copied.
class QNRule {
public:
    // init: enabled, action 0.
    QNRule();
    QNRule(const QString& name, const QStringList& applications, const QStringList& hosts, const QStringList& ports,
           quint32 action, const std::shared_ptr<QNProxyItem>& proxy, bool enabled);
    // initWithSettings: starts from an empty object (disabled) and applies the dictionary; no proxy.
    explicit QNRule(const QVariantMap& settings);

    static std::shared_ptr<QNRule> rule();
    static std::shared_ptr<QNRule> ruleWithName(const QString& name, const QStringList& applications,
                                                const QStringList& hosts, const QStringList& ports, quint32 action,
                                                const std::shared_ptr<QNProxyItem>& proxy, bool enabled);
    static std::shared_ptr<QNRule> ruleWithSettings(const QVariantMap& settings);

    // The rule's own dictionary; the profile adds "proxyIndex".
    QVariantMap settings() const;
    // Leaves the proxy as it is.
    void setSettings(const QVariantMap& settings);
    // Shares name, lists and the very same proxy item.
    std::shared_ptr<QNRule> copy() const;

    // XML form. A rule read on its own has no proxy.
    std::shared_ptr<QNXMLElement> xmlElement() const;
    static std::shared_ptr<QNRule> ruleWithXML(const QNXMLElement& element);

    QString name() const { return _name; }
    void setName(const QString& name) { _name = name; }
    QStringList applications() const { return _applications; }
    void setApplications(const QStringList& applications) { _applications = applications; }
    QStringList hosts() const { return _hosts; }
    void setHosts(const QStringList& hosts) { _hosts = hosts; }
    QStringList ports() const { return _ports; }
    void setPorts(const QStringList& ports) { _ports = ports; }
    quint32 action() const { return _action; }
    void setAction(quint32 action) { _action = action; }
    std::shared_ptr<QNProxyItem> proxy() const { return _proxy; }
    void setProxy(const std::shared_ptr<QNProxyItem>& proxy) { _proxy = proxy; }
    bool enabled() const { return _enabled; }
    void setEnabled(bool enabled) { _enabled = enabled; }

private:
    QString _name;
    QStringList _applications;
    QStringList _hosts;
    QStringList _ports;
    quint32 _action = 0;
    std::shared_ptr<QNProxyItem> _proxy;
    bool _enabled = false;
};

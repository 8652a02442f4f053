#pragma once

#include <QList>
#include <QString>

#include <functional>

class QNProfile;
class QNProxy;
class QNRule;
class QNStrings;
class QNXMLElement;

// One thing a profile holds that storing or compiling it would change without telling the user.
struct QNProfileWarning {
    QString profile;
    // What the warning is about, ready to show ("rule "Web"").
    QString item;
    QString message;

    // "Profile "P", rule "Web": message".
    QString text() const;
    bool operator==(const QNProfileWarning&) const = default;
};

// Looks at a profile, or at a profile document before it is read, for what the stored or compiled form would
// silently turn into something else: ports beyond 16 bits (which are narrowed), port texts the compiler
// refuses, rules whose proxy is missing (which block), proxies of an unknown type (which are dropped), chains
// that do not validate, proxy hosts that do not resolve. Nothing here changes the profile.
class QNProfileCheck {
public:
    // Whether the host resolves now; given so that tests need no name service.
    using HostResolver = std::function<bool(const QString& host)>;

    // Resolves with the same lookup the compiler uses.
    QNProfileCheck();
    QNProfileCheck(HostResolver resolver, const QNStrings& resourceBundle);

    QList<QNProfileWarning> warningsForProfile(const QNProfile& profile) const;
    // A profile element: what reading it drops or changes, then the checks of the profile it reads as.
    QList<QNProfileWarning> warningsForProfileElement(const QNXMLElement& element) const;
    // Every profile element of a profiles document, in "order" order.
    QList<QNProfileWarning> warningsForDocument(const QNXMLElement& root) const;

private:
    void checkProxy(const QString& profile, const QNProxy& proxy, QList<QNProfileWarning>& warnings) const;
    void checkRule(const QNProfile& profile, const QNRule& rule, QList<QNProfileWarning>& warnings) const;
    void checkPortList(const QString& profile, const QString& item, const QStringList& list,
                       QList<QNProfileWarning>& warnings) const;
    void checkProxyElement(const QString& profile, const QNXMLElement& element,
                           QList<QNProfileWarning>& warnings) const;
    QString itemText(const QString& key, const QString& name) const;
    QNProfileWarning warning(const QString& profile, const QString& item, const QString& key,
                             const QString& argument = QString()) const;

    HostResolver _resolver;
    const QNStrings& _resourceBundle;
};

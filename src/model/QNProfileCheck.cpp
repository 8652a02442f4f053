#include "model/QNProfileCheck.h"

#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "model/QNXMLElement.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"
#include "util/QNUtilities.h"

#include <QSet>

namespace {

bool hasName(const std::shared_ptr<QNXMLElement>& element, const QString& name) {
    return element && element->name().compare(name, Qt::CaseInsensitive) == 0;
}

QNXMLElement::Elements sortedChildElements(const QNXMLElement& element) {
    return QNUtilities::sortedXMLElements(element.elements().value_or(QNXMLElement::Elements()));
}

bool isASCIIDigits(const QString& text) {
    if (text.isEmpty()) {
        return false;
    }
    for (const QChar c : text) {
        if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
            return false;
        }
    }
    return true;
}

// A decimal text whose value does not fit 16 bits; texts of other digits are left to the parser.
bool isBeyondPortRange(const QString& digits) {
    if (!isASCIIDigits(digits)) {
        return false;
    }
    qsizetype first = 0;
    while (first < digits.size() - 1 && digits.at(first) == QLatin1Char('0')) {
        ++first;
    }
    const QString significant = digits.mid(first);
    return significant.size() > 5 || significant.toUInt() > 0xFFFF;
}

// The narrowed value the reader would store for a proxy's port attribute, or nothing when it is stored as written.
std::optional<quint16> narrowedPortAttribute(const QNXMLElement& element) {
    if (!element.hasAttribute(kQNXMLAttributeNamePort)) {
        return std::nullopt;
    }
    const QString text = element.attribute(kQNXMLAttributeNamePort).trimmed();
    if (isASCIIDigits(text) && !isBeyondPortRange(text)) {
        return std::nullopt;
    }
    return quint16(QNUtilities::integerValue(text) & 0xFFFF);
}

bool isKnownAction(const QString& text) {
    for (const QString& known : {kQNXMLAttributeValueDirect, kQNXMLAttributeValueProxy, kQNXMLAttributeValueBlock}) {
        if (text.compare(known, Qt::CaseInsensitive) == 0) {
            return true;
        }
    }
    return false;
}

} // namespace

QString QNProfileWarning::text() const {
    return QNLocalizedString(QStringLiteral("checkWarning")).arg(profile, item, message);
}

QNProfileCheck::QNProfileCheck()
    : QNProfileCheck([](const QString& host) { return QNUtilities::resolveHost(host, nullptr, nullptr); },
                     QNStrings::mainBundle()) {}

QNProfileCheck::QNProfileCheck(HostResolver resolver, const QNStrings& resourceBundle)
    : _resolver(std::move(resolver))
    , _resourceBundle(resourceBundle) {}

QList<QNProfileWarning> QNProfileCheck::warningsForProfile(const QNProfile& profile) const {
    QList<QNProfileWarning> warnings;
    for (const auto& item : profile.proxies()) {
        if (!item) {
            continue;
        }
        if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
            checkProxy(profile.name(), *proxy, warnings);
        } else if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
            if (!chain->validateChain()) {
                warnings.append(warning(profile.name(), itemText(QStringLiteral("checkItemChain"), chain->name()),
                                        QStringLiteral("invalidChain")));
            }
            for (const auto& member : chain->proxies()) {
                if (member) {
                    checkProxy(profile.name(), *member, warnings);
                }
            }
        }
    }
    for (const auto& rule : profile.rules()) {
        if (rule) {
            checkRule(profile, *rule, warnings);
        }
    }
    return warnings;
}

QList<QNProfileWarning> QNProfileCheck::warningsForProfileElement(const QNXMLElement& element) const {
    QList<QNProfileWarning> warnings;
    const QString profile = element.attribute(kQNXMLAttributeNameName);
    // Identifiers known so far: a rule sees only the items standing before it in the document, as the reader does.
    QSet<QString> identifiers;
    for (const auto& section : element.elements().value_or(QNXMLElement::Elements())) {
        if (hasName(section, kQNXMLElementNameProxies)) {
            for (const auto& child : sortedChildElements(*section)) {
                const bool isProxy = hasName(child, kQNXMLElementNameProxy);
                if (!isProxy && !hasName(child, kQNXMLElementNameProxyChain)) {
                    continue;
                }
                if (isProxy) {
                    checkProxyElement(profile, *child, warnings);
                    if (!QNProxy::proxyWithXML(*child)) {
                        continue;
                    }
                } else {
                    for (const auto& member : sortedChildElements(*child)) {
                        if (hasName(member, kQNXMLElementNameProxy)) {
                            checkProxyElement(profile, *member, warnings);
                        }
                    }
                }
                if (child->hasAttribute(kQNXMLAttributeNameIdentifier)) {
                    identifiers.insert(child->attribute(kQNXMLAttributeNameIdentifier));
                }
            }
        } else if (hasName(section, kQNXMLElementNameRules)) {
            for (const auto& child : sortedChildElements(*section)) {
                if (!hasName(child, kQNXMLElementNameRule) || !child->hasAttribute(kQNXMLAttributeNameAction)) {
                    continue;
                }
                const QString item =
                    itemText(QStringLiteral("checkItemRule"), child->attribute(kQNXMLAttributeNameName));
                const QString action = child->attribute(kQNXMLAttributeNameAction);
                if (!isKnownAction(action)) {
                    warnings.append(warning(profile, item, QStringLiteral("checkActionUnknown"), action));
                } else if (action.compare(kQNXMLAttributeValueProxy, Qt::CaseInsensitive) == 0 &&
                           (!child->hasAttribute(kQNXMLAttributeNameProxyIdentifier) ||
                            !identifiers.contains(child->attribute(kQNXMLAttributeNameProxyIdentifier)))) {
                    warnings.append(warning(profile, item, QStringLiteral("checkProxyMissing")));
                }
            }
        }
    }
    // Missing proxies were reported above; in the profile read they are block rules and pass.
    if (const auto read = QNProfile::profileWithXML(element, 0)) {
        warnings.append(warningsForProfile(*read));
    }
    return warnings;
}

QList<QNProfileWarning> QNProfileCheck::warningsForDocument(const QNXMLElement& root) const {
    QList<QNProfileWarning> warnings;
    if (root.name().compare(kQNXMLElementNameProfiles, Qt::CaseInsensitive) != 0) {
        return warnings;
    }
    for (const auto& child : sortedChildElements(root)) {
        if (hasName(child, kQNXMLElementNameProfile)) {
            warnings.append(warningsForProfileElement(*child));
        }
    }
    return warnings;
}

void QNProfileCheck::checkProxy(const QString& profile, const QNProxy& proxy, QList<QNProfileWarning>& warnings) const {
    const QString item = itemText(QStringLiteral("checkItemProxy"), proxy.name());
    if (!_resolver(proxy.host())) {
        warnings.append(warning(profile, item, QStringLiteral("checkHostUnresolved"), proxy.host()));
    }
    checkPortList(profile, item, proxy.filterPorts(), warnings);
}

void QNProfileCheck::checkRule(const QNProfile& profile, const QNRule& rule, QList<QNProfileWarning>& warnings) const {
    const QString item = itemText(QStringLiteral("checkItemRule"), rule.name());
    checkPortList(profile.name(), item, rule.ports(), warnings);
    if (rule.action() == QNRuleActionProxy) {
        // By identity, as the compiler finds it: an equal copy outside the list is not the rule's proxy.
        const auto& items = profile.proxies();
        const auto target = rule.proxy();
        if (!target || std::find(items.cbegin(), items.cend(), target) == items.cend()) {
            warnings.append(warning(profile.name(), item, QStringLiteral("checkProxyMissing")));
        }
    }
}

void QNProfileCheck::checkPortList(const QString& profile, const QString& item, const QStringList& list,
                                   QList<QNProfileWarning>& warnings) const {
    for (const QString& entry : list) {
        for (const QString& piece : entry.split(QLatin1Char(','))) {
            if (!QNUtilities::parsePortRangeString(piece, nullptr, nullptr)) {
                warnings.append(warning(profile, item, QStringLiteral("checkPortInvalid"), piece.trimmed()));
                continue;
            }
            for (const QString& part : piece.trimmed().split(QLatin1Char('-'))) {
                if (isBeyondPortRange(part.trimmed())) {
                    warnings.append(warning(profile, item, QStringLiteral("checkPortOutOfRange"), part.trimmed()));
                }
            }
        }
    }
}

void QNProfileCheck::checkProxyElement(const QString& profile, const QNXMLElement& element,
                                       QList<QNProfileWarning>& warnings) const {
    const QString item = itemText(QStringLiteral("checkItemProxy"), element.attribute(kQNXMLAttributeNameName));
    if (!QNProxy::proxyWithXML(element)) {
        warnings.append(warning(profile, item, QStringLiteral("checkProxyTypeUnknown"),
                                element.attribute(kQNXMLAttributeNameType)));
        return;
    }
    if (const auto narrowed = narrowedPortAttribute(element)) {
        warnings.append(QNProfileWarning{profile, item,
                                         _resourceBundle.localizedString(QStringLiteral("checkProxyPort"))
                                             .arg(element.attribute(kQNXMLAttributeNamePort))
                                             .arg(*narrowed)});
    }
}

QString QNProfileCheck::itemText(const QString& key, const QString& name) const {
    return _resourceBundle.localizedString(key).arg(name);
}

QNProfileWarning QNProfileCheck::warning(const QString& profile, const QString& item, const QString& key,
                                         const QString& argument) const {
    QString message = _resourceBundle.localizedString(key);
    if (message.contains(QLatin1String("%1"))) {
        message = message.arg(argument);
    }
    return QNProfileWarning{profile, item, message};
}

#include "ShowCommand.h"

#include "CommandSupport.h"

#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "model/QNRule.h"
#include "util/QNConstants.h"
#include "util/QNStrings.h"

namespace {

const char kShowUsage[] = "Usage: quillonctl show PROFILE\n"
                          "\n"
                          "Shows a profile: its proxies and proxy chains, its rules in the order they are tried and\n"
                          "its DNS entries. PROFILE is an identifier or an exact name. Passwords, passphrases and\n"
                          "keys are not printed, only whether they are set.\n";

const QString kIndent = QStringLiteral("       ");

QString cipherName(quint32 cipher) {
    const QString names[] = {
        kQNSSHTunnelSessionCipherAES128CBC, kQNSSHTunnelSessionCipherAES192CBC,   kQNSSHTunnelSessionCipherAES256CBC,
        kQNSSHTunnelSessionCipherAES128CTR, kQNSSHTunnelSessionCipherAES192CTR,   kQNSSHTunnelSessionCipherAES256CTR,
        kQNSSHTunnelSessionCipher3DESCBC,   kQNSSHTunnelSessionCipher3DESCBCSSH1, kQNSSHTunnelSessionCipherBlowfishCBC};
    if (cipher == 0) {
        return QStringLiteral("default");
    }
    return cipher <= std::size(names) ? names[cipher - 1] : QStringLiteral("unknown (%1)").arg(cipher);
}

QString listLine(const QString& label, const QStringList& values) {
    return values.isEmpty()
               ? QString()
               : kIndent + label + QStringLiteral(": ") + values.join(QStringLiteral(", ")) + QLatin1Char('\n');
}

QString itemName(const QString& name) {
    return name.isNull() ? QStringLiteral("(unnamed)") : name;
}

QString proxyLines(const QNProxy& proxy) {
    const QNStrings& strings = QNStrings::mainBundle();
    QString typeName = QNProxy::proxyTypeName(proxy.type(), strings);
    QString text = QStringLiteral("%1 - %2 - %3:%4\n")
                       .arg(itemName(proxy.name()),
                            typeName.isNull() ? QStringLiteral("type %1").arg(proxy.type()) : typeName, proxy.host())
                       .arg(proxy.port());
    QStringList account;
    if (!proxy.username().isEmpty()) {
        account << QStringLiteral("username %1").arg(proxy.username());
    }
    if (!proxy.password().isEmpty()) {
        account << QStringLiteral("password set");
    }
    if (proxy.anonymizeRequests()) {
        account << QStringLiteral("requests anonymised");
    }
    if (!account.isEmpty()) {
        text += kIndent + account.join(QStringLiteral(", ")) + QLatin1Char('\n');
    }
    text += listLine(QStringLiteral("filter ports"), proxy.filterPorts());
    if (proxy.type() == QNProxyTypeSSHTunnel) {
        QStringList ssh{QStringLiteral("cipher %1").arg(cipherName(proxy.cipher()))};
        if (proxy.serverAliveInterval() != 0) {
            ssh << QStringLiteral("keep-alive every %1 s").arg(proxy.serverAliveInterval());
        }
        if (!proxy.clientKey().isEmpty()) {
            ssh << QStringLiteral("client key of %1 bytes%2")
                       .arg(proxy.clientKey().size())
                       .arg(proxy.clientKeyPassphrase().isEmpty() ? QString() : QStringLiteral(" with passphrase"));
        }
        if (!proxy.serverKey().isEmpty()) {
            ssh << QStringLiteral("server key set");
        }
        text += kIndent + ssh.join(QStringLiteral(", ")) + QLatin1Char('\n');
    }
    return text;
}

QString chainLines(const QNProxyChain& chain) {
    QStringList members;
    for (const auto& proxy : chain.proxies()) {
        members << (proxy ? itemName(proxy->name()) : QStringLiteral("(none)"));
    }
    QString text = QStringLiteral("%1 - chain of %2\n").arg(itemName(chain.name())).arg(members.size());
    for (qsizetype index = 0; index < chain.proxies().size(); ++index) {
        if (const auto& proxy = chain.proxies().at(index)) {
            text += kIndent + QStringLiteral("%1) ").arg(index + 1) + proxyLines(*proxy);
        }
    }
    return text;
}

QString itemLines(const std::shared_ptr<QNProxyItem>& item) {
    if (const auto chain = std::dynamic_pointer_cast<QNProxyChain>(item)) {
        return chainLines(*chain);
    }
    if (const auto proxy = std::dynamic_pointer_cast<QNProxy>(item)) {
        return proxyLines(*proxy);
    }
    return QStringLiteral("(an item of an unknown kind)\n");
}

QString actionText(const QNRule& rule, const QNProfile& profile) {
    switch (rule.action()) {
    case QNRuleActionProxy: {
        const qsizetype index = profile.proxies().indexOf(rule.proxy());
        if (index < 0) {
            return QStringLiteral("through a proxy that is not in this profile");
        }
        return QStringLiteral("through item %1 (%2)").arg(index + 1).arg(itemName(rule.proxy()->name()));
    }
    case QNRuleActionDirect:
        return QStringLiteral("direct");
    case QNRuleActionBlock:
        return QStringLiteral("block");
    default:
        return QStringLiteral("action %1").arg(rule.action());
    }
}

QString numbered(qsizetype index, const QString& first) {
    return QStringLiteral("  %1. ").arg(index + 1) + first;
}

} // namespace

const char* showUsage() {
    return kShowUsage;
}

QString profileDescription(const QNProfile& profile, bool active) {
    QString text = QStringLiteral("Profile %1: %2%3\n")
                       .arg(profile.identifier())
                       .arg(ctl::displayName(profile), active ? QStringLiteral(" (active)") : QString());

    text += QStringLiteral("\nProxies and chains:\n");
    if (profile.proxies().isEmpty()) {
        text += QStringLiteral("  none\n");
    }
    for (qsizetype index = 0; index < profile.proxies().size(); ++index) {
        text += numbered(index, itemLines(profile.proxies().at(index)));
    }

    text += QStringLiteral("\nRules, in the order they are tried:\n");
    if (profile.rules().isEmpty()) {
        text += QStringLiteral("  none\n");
    }
    for (qsizetype index = 0; index < profile.rules().size(); ++index) {
        const QNRule& rule = *profile.rules().at(index);
        text +=
            numbered(index, QStringLiteral("%1%2: %3\n")
                                .arg(itemName(rule.name()), rule.enabled() ? QString() : QStringLiteral(" (disabled)"),
                                     actionText(rule, profile)));
        text += listLine(QStringLiteral("applications"), rule.applications());
        text += listLine(QStringLiteral("hosts"), rule.hosts());
        text += listLine(QStringLiteral("ports"), rule.ports());
    }

    text += QStringLiteral("\nDNS entries:\n");
    if (profile.dns().isEmpty()) {
        text += QStringLiteral("  none\n");
    }
    for (qsizetype index = 0; index < profile.dns().size(); ++index) {
        const QNDNS& entry = *profile.dns().at(index);
        const QString resolve = entry.resolve() == QNDNSResolveRemote ? QStringLiteral("resolve remotely")
                                : entry.resolve() == QNDNSResolveLocal
                                    ? QStringLiteral("resolve locally")
                                    : QStringLiteral("resolve %1").arg(entry.resolve());
        text += numbered(index, QStringLiteral("%1%2: %3\n")
                                    .arg(itemName(entry.name()),
                                         entry.enabled() ? QString() : QStringLiteral(" (disabled)"), resolve));
        text += listLine(QStringLiteral("hosts"), entry.hosts());
    }
    return text;
}

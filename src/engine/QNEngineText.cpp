#include "QNEngineText.h"

#include "kernel/QNProfileStreamDecoder.h"

#include <QStringList>

QString QNEngineText::target(const QNEngineTarget& target) {
    QString text = target.hostName.isEmpty()
                       ? target.toString()
                       : QStringLiteral("%1:%2 (%3)").arg(target.hostName).arg(target.port).arg(target.addressText());
    if (!target.application.isEmpty()) {
        text += QStringLiteral(" [%1]").arg(target.application.mid(target.application.lastIndexOf(u'/') + 1));
    }
    return text;
}

QString QNEngineText::proxy(const QNDecodedProxy& proxy) {
    return QNProxyHandshake::describe(proxy);
}

QString QNEngineText::route(const QNRouteDecision& decision) {
    switch (decision.action) {
    case QNRouteDecision::Action::Direct:
        return QStringLiteral("direct");
    case QNRouteDecision::Action::Block:
        return decision.badProxyIndex
                   ? QStringLiteral("blocked by rule \"%1\": it names no proxy of the profile").arg(decision.ruleName)
                   : QStringLiteral("blocked by rule \"%1\"").arg(decision.ruleName);
    case QNRouteDecision::Action::Proxy:
        break;
    }
    if (!decision.isChain && decision.hops.size() == 1) {
        return QStringLiteral("via %1").arg(proxy(decision.hops.constFirst()));
    }
    QStringList hops;
    for (const QNDecodedProxy& hop : decision.hops) {
        hops.append(proxy(hop));
    }
    return QStringLiteral("via chain \"%1\": %2").arg(decision.itemName, hops.join(QStringLiteral(", ")));
}

QString QNEngineText::hopFailure(const QList<QNDecodedProxy>& hops, const QString& why) {
    if (hops.isEmpty()) {
        return why;
    }
    return QStringLiteral("at hop 1 of %1 (%2): %3").arg(hops.size()).arg(proxy(hops.constFirst()), why);
}

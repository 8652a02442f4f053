#include "QNNftRuleset.h"

namespace {

QString tableName() {
    return QStringLiteral("%1 %2").arg(QLatin1String(QNNftRuleset::kFamily), QLatin1String(QNNftRuleset::kTableName));
}

} // namespace

QString QNNftRuleset::deleteText() {
    return QStringLiteral("add table %1\ndelete table %1\n").arg(tableName());
}

QString QNNftRuleset::replaceText(const QMap<quint32, quint16>& redirects, quint32 bypassMark,
                                  const QMap<quint32, quint16>& dnsPorts) {
    QString text = deleteText();
    if (redirects.isEmpty()) {
        return text;
    }
    const QString mark = QStringLiteral("0x%1").arg(bypassMark, 8, 16, QLatin1Char('0'));
    text += QStringLiteral("table %1 {\n"
                           "\tchain output {\n"
                           "\t\ttype nat hook output priority -100; policy accept;\n"
                           "\t\tmeta mark %2 return\n")
                .arg(tableName(), mark);
    // Name queries are taken to any server, a stub resolver on loopback included, so they come before the
    // loopback exemption.
    for (auto it = dnsPorts.cbegin(); it != dnsPorts.cend(); ++it) {
        if (redirects.contains(it.key())) {
            text += QStringLiteral("\t\tmeta skuid %1 meta l4proto { tcp, udp } th dport 53 redirect to :%2\n")
                        .arg(it.key())
                        .arg(it.value());
        }
    }
    text += QStringLiteral("\t\tip daddr 127.0.0.0/8 return\n"
                           "\t\tip6 daddr ::1 return\n");
    // Only a connection's opening SYN is redirected. Where nothing tracked connections before the table came,
    // the first packet seen of a connection already open counts as new too; redirected, it would reach the
    // relay mid-stream and be reset (the agent's own SSH session, opened just before its profile, among them).
    for (auto it = redirects.cbegin(); it != redirects.cend(); ++it) {
        text += QStringLiteral("\t\tmeta skuid %1 tcp flags & (fin | syn | rst | ack) == syn redirect to :%2\n")
                    .arg(it.key())
                    .arg(it.value());
    }
    // QUIC is refused outright, so browsers fall back to TCP, which is intercepted.
    text += QStringLiteral("\t}\n"
                           "\tchain filter {\n"
                           "\t\ttype filter hook output priority 0; policy accept;\n"
                           "\t\tmeta mark %1 return\n")
                .arg(mark);
    for (auto it = redirects.cbegin(); it != redirects.cend(); ++it) {
        text += QStringLiteral("\t\tmeta skuid %1 udp dport 443 reject\n").arg(it.key());
    }
    text += QStringLiteral("\t}\n}\n");
    return text;
}

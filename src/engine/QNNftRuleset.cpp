#include "QNNftRuleset.h"

namespace {

QString tableName() {
    return QStringLiteral("%1 %2").arg(QLatin1String(QNNftRuleset::kFamily), QLatin1String(QNNftRuleset::kTableName));
}

} // namespace

QString QNNftRuleset::deleteText() {
    return QStringLiteral("add table %1\ndelete table %1\n").arg(tableName());
}

QString QNNftRuleset::replaceText(const QMap<quint32, quint16>& redirects, quint32 bypassMark) {
    QString text = deleteText();
    if (redirects.isEmpty()) {
        return text;
    }
    text += QStringLiteral("table %1 {\n"
                           "\tchain output {\n"
                           "\t\ttype nat hook output priority -100; policy accept;\n"
                           "\t\tmeta mark 0x%2 return\n"
                           "\t\tip daddr 127.0.0.0/8 return\n"
                           "\t\tip6 daddr ::1 return\n")
                .arg(tableName())
                .arg(bypassMark, 8, 16, QLatin1Char('0'));
    // Only a connection's opening SYN is redirected. Where nothing tracked connections before the table came,
    // the first packet seen of a connection already open counts as new too; redirected, it would reach the
    // relay mid-stream and be reset (the agent's own SSH session, opened just before its profile, among them).
    for (auto it = redirects.cbegin(); it != redirects.cend(); ++it) {
        text += QStringLiteral("\t\tmeta skuid %1 tcp flags & (fin | syn | rst | ack) == syn redirect to :%2\n")
                    .arg(it.key())
                    .arg(it.value());
    }
    text += QStringLiteral("\t}\n}\n");
    return text;
}

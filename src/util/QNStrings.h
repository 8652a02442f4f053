#pragma once

#include <QHash>
#include <QString>

// The localisation table: user-visible texts looked up by key. A key without a text yields the key
// itself, so a missing entry shows something recognisable instead of nothing.
class QNStrings {
public:
    // The table compiled into the program (English).
    static const QNStrings& mainBundle();

    QNStrings() = default;
    explicit QNStrings(QHash<QString, QString> table);

    QString localizedString(const QString& key) const;

private:
    QHash<QString, QString> _table;
};

// Shorthand for the program's own table.
inline QString QNLocalizedString(const QString& key) {
    return QNStrings::mainBundle().localizedString(key);
}

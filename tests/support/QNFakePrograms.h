#pragma once

#include <QString>
#include <QStringList>

// Stand-ins for outside programs (resolvectl, pkexec, ...): scripts in a folder of their own that append
// "name arguments" to one record file and do nothing else.
class QNFakePrograms {
public:
    QNFakePrograms(const QString& folder, const QStringList& names);

    bool isValid() const { return _valid; }
    const QString& folder() const { return _folder; }
    // A PATH that finds the stand-ins first and the system's own tools after them.
    QString searchPath() const { return _folder + QStringLiteral(":/usr/bin:/bin"); }
    // One line per run, in order.
    QStringList calls() const;

private:
    QString _folder;
    bool _valid = false;
};

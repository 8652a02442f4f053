#include "support/QNFakePrograms.h"

#include <QDir>
#include <QFile>

QNFakePrograms::QNFakePrograms(const QString& folder, const QStringList& names)
    : _folder(folder) {
    _valid = QDir().mkpath(folder);
    const QByteArray record = QFile::encodeName(folder + QStringLiteral("/record"));
    for (const QString& name : names) {
        QFile script(folder + QLatin1Char('/') + name);
        _valid = _valid && script.open(QIODevice::WriteOnly) &&
                 script.write("#!/bin/sh\necho \"$(basename \"$0\") $*\" >> \"" + record + "\"\n") > 0 &&
                 script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
}

QStringList QNFakePrograms::calls() const {
    QFile file(_folder + QStringLiteral("/record"));
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return QString::fromUtf8(file.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

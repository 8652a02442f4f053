#include "settings/QNProfileListModel.h"

#include "model/QNProfile.h"
#include "settings/QNSettingsSession.h"

#include <QFont>

QNProfileListModel::QNProfileListModel(QNSettingsSession& session, QObject* parent)
    : QAbstractListModel(parent)
    , _session(session) {
    connect(&session, &QNSettingsSession::profilesChanged, this, [this] {
        beginResetModel();
        endResetModel();
    });
    connect(&session, &QNSettingsSession::activeIdentifierChanged, this, &QNProfileListModel::refreshAll);
    connect(&session, &QNSettingsSession::editedChanged, this, &QNProfileListModel::refreshAll);
    connect(&session, &QNSettingsSession::profileReloaded, this, &QNProfileListModel::refreshAll);
}

void QNProfileListModel::refreshAll() {
    if (rowCount() > 0) {
        emit dataChanged(index(0), index(rowCount() - 1));
    }
}

int QNProfileListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : int(_session.entries().size());
}

QVariant QNProfileListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return QVariant();
    }
    const auto& entry = _session.entries().at(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return entry.profile->name() + (entry.edited ? QStringLiteral(" *") : QString());
    case Qt::EditRole:
        return entry.profile->name();
    case Qt::FontRole: {
        QFont font;
        font.setBold(qint64(entry.profile->identifier()) == _session.activeIdentifier());
        return font;
    }
    case Qt::UserRole:
        return entry.profile->identifier();
    default:
        return QVariant();
    }
}

bool QNProfileListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::EditRole) {
        return false;
    }
    return _session.renameProfile(_session.entries().at(index.row()).profile->identifier(), value.toString());
}

Qt::ItemFlags QNProfileListModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsEditable : Qt::NoItemFlags;
}

QModelIndex QNProfileListModel::indexOfIdentifier(quint32 identifier) const {
    const qsizetype row = _session.indexOf(identifier);
    return row < 0 ? QModelIndex() : index(int(row));
}

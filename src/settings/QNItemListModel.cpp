#include "settings/QNItemListModel.h"

#include <QDataStream>
#include <QIODevice>
#include <QMimeData>

#include <optional>

namespace {
const QString kRowMimeType = QStringLiteral("application/x-quillon-row");
}

QNItemListModel::QNItemListModel(QObject* parent)
    : QAbstractListModel(parent)
    , _dragOrigin(QByteArray::number(quintptr(this))) {}

void QNItemListModel::setProfile(const std::shared_ptr<QNProfile>& profile) {
    beginResetModel();
    _profile = profile;
    endResetModel();
}

void QNItemListModel::refreshRow(int row) {
    const QModelIndex changed = index(row);
    emit dataChanged(changed, changed);
}

void QNItemListModel::edited() {
    if (_edited) {
        _edited();
    }
}

int QNItemListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() || !_profile ? 0 : count();
}

QVariant QNItemListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) {
        return QVariant();
    }
    if (role == Qt::DisplayRole) {
        return text(index.row());
    }
    if (role == Qt::CheckStateRole) {
        const std::optional<bool> on = enabled(index.row());
        return on ? QVariant(*on ? Qt::Checked : Qt::Unchecked) : QVariant();
    }
    return QVariant();
}

bool QNItemListModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || !enabled(index.row())) {
        return false;
    }
    setEnabled(index.row(), value.toInt() == Qt::Checked);
    emit dataChanged(index, index, {Qt::CheckStateRole});
    edited();
    return true;
}

Qt::ItemFlags QNItemListModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::ItemIsDropEnabled;
    }
    Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsDragEnabled;
    if (enabled(index.row())) {
        result |= Qt::ItemIsUserCheckable;
    }
    return result;
}

bool QNItemListModel::moveRows(const QModelIndex& sourceParent, int sourceRow, int count,
                               const QModelIndex& destinationParent, int destinationChild) {
    const int rows = rowCount();
    if (sourceParent.isValid() || destinationParent.isValid() || count != 1 || sourceRow < 0 || sourceRow >= rows ||
        destinationChild < 0 || destinationChild > rows || destinationChild == sourceRow ||
        destinationChild == sourceRow + 1) {
        return false;
    }
    if (!beginMoveRows(QModelIndex(), sourceRow, sourceRow, QModelIndex(), destinationChild)) {
        return false;
    }
    // destinationChild counts rows before the move; once the row is taken out, the rows after it shift up.
    move(sourceRow, destinationChild > sourceRow ? destinationChild - 1 : destinationChild);
    endMoveRows();
    edited();
    return true;
}

bool QNItemListModel::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || row < 0 || count < 1 || row + count > rowCount()) {
        return false;
    }
    beginRemoveRows(QModelIndex(), row, row + count - 1);
    for (int i = 0; i < count; ++i) {
        remove(row);
    }
    endRemoveRows();
    edited();
    return true;
}

int QNItemListModel::appendDefault() {
    if (!_profile) {
        return -1;
    }
    const int row = rowCount();
    beginInsertRows(QModelIndex(), row, row);
    append();
    endInsertRows();
    edited();
    return row;
}

Qt::DropActions QNItemListModel::supportedDropActions() const {
    return Qt::MoveAction;
}

QStringList QNItemListModel::mimeTypes() const {
    return {kRowMimeType};
}

QMimeData* QNItemListModel::mimeData(const QModelIndexList& indexes) const {
    if (indexes.size() != 1 || !indexes.first().isValid()) {
        return nullptr;
    }
    auto* mime = new QMimeData;
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    stream << _dragOrigin << qint32(indexes.first().row());
    mime->setData(kRowMimeType, payload);
    return mime;
}

bool QNItemListModel::dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int,
                                   const QModelIndex& parent) {
    if (action != Qt::MoveAction || !data || !data->hasFormat(kRowMimeType)) {
        return false;
    }
    QByteArray origin;
    qint32 source = -1;
    QDataStream stream(data->data(kRowMimeType));
    stream >> origin >> source;
    if (stream.status() != QDataStream::Ok || origin != _dragOrigin) {
        return false;
    }
    // Dropped onto a row: before it; below the last row: at the end.
    const int destination = row >= 0 ? row : (parent.isValid() ? parent.row() : rowCount());
    moveRows(QModelIndex(), source, 1, QModelIndex(), destination);
    // The move is done here; the view's own removal of the dragged row finds nothing to remove, since a drop
    // reports that nothing was moved by it.
    return false;
}

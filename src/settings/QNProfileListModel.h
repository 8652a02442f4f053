#pragma once

#include <QAbstractListModel>

class QNSettingsSession;

// The session's profiles: the name, bold for the active profile, a trailing "*" for unsaved edits. The
// identifier is in Qt::UserRole.
class QNProfileListModel : public QAbstractListModel {
    Q_OBJECT

public:
    explicit QNProfileListModel(QNSettingsSession& session, QObject* parent = nullptr);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    // Renaming in place stores the new name.
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

    QModelIndex indexOfIdentifier(quint32 identifier) const;

private:
    void refreshAll();

    QNSettingsSession& _session;
};

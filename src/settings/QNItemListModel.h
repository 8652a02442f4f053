#pragma once

#include <QAbstractListModel>

#include <functional>
#include <memory>
#include <optional>

class QNProfile;

// The rows of one of a profile's lists (proxy items, rules, DNS entries) for a list view: the name, a check
// box where the entries can be switched off, reordering by drag and drop or moveRows. Every change goes to the
// working copy and is reported through the edited callback.
class QNItemListModel : public QAbstractListModel {
    Q_OBJECT

public:
    using Edited = std::function<void()>;

    explicit QNItemListModel(QObject* parent = nullptr);

    // The profile whose list is shown; null shows nothing.
    void setProfile(const std::shared_ptr<QNProfile>& profile);
    const std::shared_ptr<QNProfile>& profile() const { return _profile; }
    void setEditedCallback(Edited edited) { _edited = std::move(edited); }
    // Tells views that row's texts changed (after an editor changed the item).
    void refreshRow(int row);

    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    bool setData(const QModelIndex& index, const QVariant& value, int role) override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;
    bool moveRows(const QModelIndex& sourceParent, int sourceRow, int count, const QModelIndex& destinationParent,
                  int destinationChild) override;
    bool removeRows(int row, int count, const QModelIndex& parent = QModelIndex()) override;

    Qt::DropActions supportedDropActions() const override;
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    bool dropMimeData(const QMimeData* data, Qt::DropAction action, int row, int column,
                      const QModelIndex& parent) override;

    // Appends or inserts through the subclass; returns the new row or -1.
    int appendDefault();

protected:
    virtual int count() const = 0;
    virtual QString text(int row) const = 0;
    // None when the entries have no switch.
    virtual std::optional<bool> enabled(int) const { return std::nullopt; }
    virtual void setEnabled(int, bool) {}
    virtual void move(int from, int to) = 0;
    virtual void remove(int row) = 0;
    virtual void append() = 0;
    void edited();

    std::shared_ptr<QNProfile> _profile;

private:
    Edited _edited;
    // Drags are told apart from other models' by this object's address.
    QByteArray _dragOrigin;
};

#pragma once

#include <QWidget>

class QListView;
class QNItemListModel;
class QPushButton;
class QVBoxLayout;

// A list of a profile's items with the buttons that add, remove and reorder them; the buttons keep the
// reordering reachable from the keyboard, dragging is there for the mouse.
class QNListPane : public QWidget {
    Q_OBJECT

public:
    QNListPane(QNItemListModel* model, bool draggable, QWidget* parent = nullptr);

    QListView* view() const { return _view; }
    QPushButton* addButton(const QString& label);
    int currentRow() const;
    void selectRow(int row);
    void moveCurrent(int step);
    void removeCurrent();

signals:
    void currentRowChanged(int row);

private:
    QNItemListModel* _model;
    QListView* _view;
    QVBoxLayout* _buttons;
    int _added = 0;
};

#include "QNListPane.h"

#include "settings/QNItemListModel.h"
#include "settings/QNSettingsStrings.h"

#include <QHBoxLayout>
#include <QItemSelectionModel>
#include <QListView>
#include <QPushButton>
#include <QVBoxLayout>

#include <functional>

using QNSettingsStrings::text;

QNListPane::QNListPane(QNItemListModel* model, bool draggable, QWidget* parent)
    : QWidget(parent)
    , _model(model)
    , _view(new QListView(this))
    , _buttons(new QVBoxLayout) {
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_view, 1);
    layout->addLayout(_buttons);
    _view->setModel(model);
    _view->setSelectionMode(QAbstractItemView::SingleSelection);
    if (draggable) {
        _view->setDragDropMode(QAbstractItemView::InternalMove);
        _view->setDefaultDropAction(Qt::MoveAction);
        _view->setDragEnabled(true);
        _view->setAcceptDrops(true);
        _view->setDropIndicatorShown(true);
    }
    connect(_view->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { emit currentRowChanged(current.isValid() ? current.row() : -1); });
    connect(model, &QAbstractItemModel::modelReset, this, [this] { emit currentRowChanged(-1); });
    connect(model, &QAbstractItemModel::rowsMoved, this,
            [this](const QModelIndex&, int, int, const QModelIndex&, int) { emit currentRowChanged(currentRow()); });

    for (const auto& [label, action] :
         {std::pair<const char*, std::function<void()>>{"remove", [this] { removeCurrent(); }},
          {"moveUp", [this] { moveCurrent(-1); }},
          {"moveDown", [this] { moveCurrent(1); }}}) {
        auto* button = new QPushButton(text(label), this);
        _buttons->addWidget(button);
        connect(button, &QPushButton::clicked, this, action);
    }
    _buttons->addStretch();
}

QPushButton* QNListPane::addButton(const QString& label) {
    auto* button = new QPushButton(label, this);
    // Buttons that make items go on top, in the order they are made.
    _buttons->insertWidget(_added++, button);
    return button;
}

int QNListPane::currentRow() const {
    const QModelIndex current = _view->currentIndex();
    return current.isValid() ? current.row() : -1;
}

void QNListPane::selectRow(int row) {
    _view->setCurrentIndex(_model->index(row));
}

void QNListPane::moveCurrent(int step) {
    const int row = currentRow();
    if (row < 0) {
        return;
    }
    // moveRows counts the destination before the move: one further down means two rows on.
    const int destination = step > 0 ? row + 2 : row - 1;
    if (_model->moveRows(QModelIndex(), row, 1, QModelIndex(), destination)) {
        selectRow(row + step);
    }
}

void QNListPane::removeCurrent() {
    const int row = currentRow();
    if (row >= 0 && _model->removeRows(row, 1)) {
        selectRow(qMin(row, _model->rowCount() - 1));
    }
}

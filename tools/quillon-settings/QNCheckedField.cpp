#include "QNCheckedField.h"

#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

QNCheckedField::QNCheckedField(Check check, When when, QWidget* parent)
    : QWidget(parent)
    , _check(std::move(check))
    , _edit(new QLineEdit(this))
    , _label(new QLabel(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);
    layout->addWidget(_edit);
    layout->addWidget(_label);
    _label->setWordWrap(true);
    _label->setStyleSheet(QStringLiteral("color: #c01c28;"));
    _label->hide();
    setFocusProxy(_edit);

    if (when == When::Typing) {
        connect(_edit, &QLineEdit::textEdited, this, [this](const QString& text) {
            if (recheck()) {
                emit accepted(text);
            }
        });
    } else {
        connect(_edit, &QLineEdit::textEdited, this, [this] { show(QString()); });
        connect(_edit, &QLineEdit::editingFinished, this, [this] {
            if (_edit->isModified()) {
                _edit->setModified(false);
                recheck();
                emit accepted(_edit->text());
            }
        });
    }
}

QString QNCheckedField::text() const {
    return _edit->text();
}

void QNCheckedField::setText(const QString& text) {
    _edit->setText(text);
    _edit->setModified(false);
    show(QString());
}

bool QNCheckedField::recheck() {
    show(_check ? _check(_edit->text()) : QString());
    return !_problem;
}

QString QNCheckedField::problem() const {
    return _problem ? _label->text() : QString();
}

void QNCheckedField::show(const QString& problem) {
    _problem = !problem.isNull();
    _label->setText(problem);
    _label->setVisible(_problem);
    _edit->setAccessibleDescription(problem);
}

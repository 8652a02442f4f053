#pragma once

#include <QWidget>

#include <functional>

class QLabel;
class QLineEdit;

// A line edit with its problem shown right below it. The check runs as the user types, or only when the
// user leaves the field for checks that take long (host names are resolved).
class QNCheckedField : public QWidget {
    Q_OBJECT

public:
    using Check = std::function<QString(const QString& text)>;
    enum class When { Typing, Leaving };

    QNCheckedField(Check check, When when, QWidget* parent = nullptr);

    QLineEdit* lineEdit() const { return _edit; }
    QString text() const;
    // Sets the text without telling anyone, and clears the problem shown.
    void setText(const QString& text);
    // Runs the check now; true when the text is fine.
    bool recheck();
    bool hasProblem() const { return _problem; }
    QString problem() const;

signals:
    // The text changed and passed its check (Typing), or was left (Leaving).
    void accepted(const QString& text);

private:
    void show(const QString& problem);

    Check _check;
    QLineEdit* _edit;
    QLabel* _label;
    bool _problem = false;
};

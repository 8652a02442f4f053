#pragma once

#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLineEdit;
class QNCheckedField;
class QNDNS;
class QNProfile;
class QNRule;

// Edits one rule: what it matches (applications, hosts, ports), whether it is on, what it does and through
// which of the profile's proxies or chains.
class QNRuleEditor : public QWidget {
    Q_OBJECT

public:
    explicit QNRuleEditor(QWidget* parent = nullptr);

    void setRule(const std::shared_ptr<QNRule>& rule, const std::shared_ptr<QNProfile>& profile);
    QString problem() const;

signals:
    void changed();

private:
    void fillTargets();
    void updateTarget();
    void edited();

    std::shared_ptr<QNRule> _rule;
    std::shared_ptr<QNProfile> _profile;
    bool _loading = false;
    QFormLayout* _form;
    QLineEdit* _name;
    QCheckBox* _enabled;
    QLineEdit* _applications;
    QLineEdit* _hosts;
    QNCheckedField* _ports;
    QComboBox* _action;
    QComboBox* _target;
};

// Edits one DNS entry: the names it covers, whether it is on, where they are resolved.
class QNDNSEditor : public QWidget {
    Q_OBJECT

public:
    explicit QNDNSEditor(QWidget* parent = nullptr);

    void setEntry(const std::shared_ptr<QNDNS>& dns);

signals:
    void changed();

private:
    std::shared_ptr<QNDNS> _dns;
    bool _loading = false;
    QLineEdit* _name;
    QCheckBox* _enabled;
    QLineEdit* _hosts;
    QComboBox* _resolve;
};

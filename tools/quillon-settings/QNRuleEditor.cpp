#include "QNRuleEditor.h"

#include "QNCheckedField.h"
#include "model/QNDNS.h"
#include "model/QNProfile.h"
#include "model/QNProxyItem.h"
#include "model/QNRule.h"
#include "settings/QNSettingsChecks.h"
#include "settings/QNSettingsStrings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QLineEdit>

using QNSettingsStrings::text;

QNRuleEditor::QNRuleEditor(QWidget* parent)
    : QWidget(parent)
    , _form(new QFormLayout(this))
    , _name(new QLineEdit(this))
    , _enabled(new QCheckBox(text("enabled"), this))
    , _applications(new QLineEdit(this))
    , _hosts(new QLineEdit(this))
    , _ports(new QNCheckedField(
          [](const QString& t) { return QNSettingsChecks::portListError(QNSettingsChecks::splitList(t)); },
          QNCheckedField::When::Typing, this))
    , _action(new QComboBox(this))
    , _target(new QComboBox(this)) {
    _name->setObjectName(QStringLiteral("ruleName"));
    _enabled->setObjectName(QStringLiteral("ruleEnabled"));
    _applications->setObjectName(QStringLiteral("ruleApplications"));
    _hosts->setObjectName(QStringLiteral("ruleHosts"));
    _ports->setObjectName(QStringLiteral("rulePorts"));
    _action->setObjectName(QStringLiteral("ruleAction"));
    _target->setObjectName(QStringLiteral("ruleTarget"));
    _action->addItem(text("actionProxy"), quint32(QNRuleActionProxy));
    _action->addItem(text("actionDirect"), quint32(QNRuleActionDirect));
    _action->addItem(text("actionBlock"), quint32(QNRuleActionBlock));

    _form->addRow(text("name"), _name);
    _form->addRow(QString(), _enabled);
    _form->addRow(text("applications"), _applications);
    _form->addRow(text("hosts"), _hosts);
    _form->addRow(text("ports"), _ports);
    _form->addRow(text("action"), _action);
    _form->addRow(text("via"), _target);

    connect(_name, &QLineEdit::textEdited, this, [this](const QString& t) {
        _rule->setName(t);
        edited();
    });
    connect(_enabled, &QCheckBox::toggled, this, [this](bool on) {
        if (!_loading) {
            _rule->setEnabled(on);
            edited();
        }
    });
    connect(_applications, &QLineEdit::textEdited, this, [this](const QString& t) {
        _rule->setApplications(QNSettingsChecks::splitList(t));
        edited();
    });
    connect(_hosts, &QLineEdit::textEdited, this, [this](const QString& t) {
        _rule->setHosts(QNSettingsChecks::splitList(t));
        edited();
    });
    connect(_ports, &QNCheckedField::accepted, this, [this](const QString& t) {
        _rule->setPorts(QNSettingsChecks::splitList(t));
        edited();
    });
    connect(_action, &QComboBox::activated, this, [this] {
        _rule->setAction(_action->currentData().toUInt());
        if (_rule->action() == QNRuleActionProxy && !_rule->proxy() && _profile && !_profile->proxies().isEmpty()) {
            _rule->setProxy(_profile->proxies().first());
        }
        updateTarget();
        edited();
    });
    connect(_target, &QComboBox::activated, this, [this] {
        const int index = _target->currentData().toInt();
        _rule->setProxy(_profile && index >= 0 && index < _profile->proxies().size() ? _profile->proxies().at(index)
                                                                                     : nullptr);
        edited();
    });
}

void QNRuleEditor::setRule(const std::shared_ptr<QNRule>& rule, const std::shared_ptr<QNProfile>& profile) {
    _rule = rule;
    _profile = profile;
    setEnabled(rule != nullptr);
    if (!rule) {
        return;
    }
    _loading = true;
    _name->setText(rule->name());
    _enabled->setChecked(rule->enabled());
    _applications->setText(QNSettingsChecks::joinList(rule->applications()));
    _hosts->setText(QNSettingsChecks::joinList(rule->hosts()));
    _ports->setText(QNSettingsChecks::joinList(rule->ports()));
    _action->setCurrentIndex(_action->findData(rule->action()));
    fillTargets();
    updateTarget();
    _loading = false;
}

void QNRuleEditor::fillTargets() {
    _target->clear();
    for (int i = 0; _profile && i < _profile->proxies().size(); ++i) {
        const auto& item = _profile->proxies().at(i);
        if (item) {
            _target->addItem(item->name(), i);
        }
    }
}

void QNRuleEditor::updateTarget() {
    const bool viaProxy = _rule->action() == QNRuleActionProxy;
    _form->setRowVisible(_target, viaProxy);
    const qsizetype index = _profile ? _profile->proxies().indexOf(_rule->proxy()) : -1;
    _target->setCurrentIndex(_target->findData(int(index)));
}

QString QNRuleEditor::problem() const {
    return _ports->problem();
}

void QNRuleEditor::edited() {
    if (!_loading) {
        emit changed();
    }
}

QNDNSEditor::QNDNSEditor(QWidget* parent)
    : QWidget(parent)
    , _name(new QLineEdit(this))
    , _enabled(new QCheckBox(text("enabled"), this))
    , _hosts(new QLineEdit(this))
    , _resolve(new QComboBox(this)) {
    auto* form = new QFormLayout(this);
    _resolve->addItem(text("resolveLocal"), quint32(QNDNSResolveLocal));
    _resolve->addItem(text("resolveRemote"), quint32(QNDNSResolveRemote));
    form->addRow(text("name"), _name);
    form->addRow(QString(), _enabled);
    form->addRow(text("hosts"), _hosts);
    form->addRow(text("resolve"), _resolve);
    connect(_name, &QLineEdit::textEdited, this, [this](const QString& t) {
        _dns->setName(t);
        emit changed();
    });
    connect(_enabled, &QCheckBox::toggled, this, [this](bool on) {
        if (!_loading) {
            _dns->setEnabled(on);
            emit changed();
        }
    });
    connect(_hosts, &QLineEdit::textEdited, this, [this](const QString& t) {
        _dns->setHosts(QNSettingsChecks::splitList(t));
        emit changed();
    });
    connect(_resolve, &QComboBox::activated, this, [this] {
        _dns->setResolve(_resolve->currentData().toUInt());
        emit changed();
    });
}

void QNDNSEditor::setEntry(const std::shared_ptr<QNDNS>& dns) {
    _dns = dns;
    setEnabled(dns != nullptr);
    if (!dns) {
        return;
    }
    _loading = true;
    _name->setText(dns->name());
    _enabled->setChecked(dns->enabled());
    _hosts->setText(QNSettingsChecks::joinList(dns->hosts()));
    _resolve->setCurrentIndex(qMax(0, _resolve->findData(dns->resolve())));
    _loading = false;
}

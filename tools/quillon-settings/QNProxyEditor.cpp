#include "QNProxyEditor.h"

#include "QNCheckedField.h"
#include "model/QNProfile.h"
#include "model/QNProxy.h"
#include "model/QNProxyChain.h"
#include "settings/QNSettingsChecks.h"
#include "settings/QNSettingsStrings.h"
#include "util/QNStrings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QStackedWidget>
#include <QVBoxLayout>

using QNSettingsStrings::text;

namespace {

const QStringList kCipherNames = {QString(),
                                  QStringLiteral("aes128-cbc"),
                                  QStringLiteral("aes192-cbc"),
                                  QStringLiteral("aes256-cbc"),
                                  QStringLiteral("aes128-ctr"),
                                  QStringLiteral("aes192-ctr"),
                                  QStringLiteral("aes256-ctr"),
                                  QStringLiteral("3des-cbc"),
                                  QStringLiteral("3des-cbc-ssh1"),
                                  QStringLiteral("blowfish-cbc")};

bool isHTTP(quint32 type) {
    return type >= QNProxyTypeHTTPTransparent && type <= QNProxyTypeHTTPConnect;
}

QString keyDescription(const QByteArray& key) {
    return key.isEmpty() ? text("noKey") : text("keyLoaded").arg(key.size());
}

} // namespace

QNProxyEditor::QNProxyEditor(QWidget* parent)
    : QWidget(parent)
    , _pages(new QStackedWidget(this)) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(_pages);
    _pages->addWidget(new QWidget(_pages));
    _pages->addWidget(buildProxyPage());
    _pages->addWidget(buildChainPage());
}

QWidget* QNProxyEditor::buildProxyPage() {
    auto* page = new QWidget(_pages);
    _form = new QFormLayout(page);
    _name = new QLineEdit(page);
    _type = new QComboBox(page);
    for (quint32 type = QNProxyTypeSOCKS4; type <= QNProxyTypeSSHTunnel; ++type) {
        _type->addItem(QNProxy::proxyTypeName(type, QNStrings::mainBundle()), type);
    }
    _host = new QNCheckedField(&QNSettingsChecks::hostError, QNCheckedField::When::Leaving, page);
    _port = new QNCheckedField(&QNSettingsChecks::portError, QNCheckedField::When::Typing, page);
    _username = new QLineEdit(page);
    _password = new QLineEdit(page);
    _password->setEchoMode(QLineEdit::Password);
    _filterPorts = new QNCheckedField(
        [](const QString& t) { return QNSettingsChecks::portListError(QNSettingsChecks::splitList(t)); },
        QNCheckedField::When::Typing, page);
    _anonymize = new QCheckBox(text("anonymize"), page);
    _cipher = new QComboBox(page);
    for (int i = 0; i < kCipherNames.size(); ++i) {
        _cipher->addItem(i == 0 ? text("cipherDefault") : kCipherNames.at(i), i);
    }
    _keepAlive = new QNCheckedField(&QNSettingsChecks::serverAliveIntervalError, QNCheckedField::When::Typing, page);
    _clientKeyPassphrase = new QLineEdit(page);
    _clientKeyPassphrase->setEchoMode(QLineEdit::Password);
    _serverKeyPassphrase = new QLineEdit(page);
    _serverKeyPassphrase->setEchoMode(QLineEdit::Password);
    _fingerprint = new QLabel(page);
    _fingerprint->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    _fingerprint->setFont(QFont(QStringLiteral("monospace")));

    _name->setObjectName(QStringLiteral("proxyName"));
    _type->setObjectName(QStringLiteral("proxyType"));
    _host->setObjectName(QStringLiteral("proxyHost"));
    _port->setObjectName(QStringLiteral("proxyPort"));
    _username->setObjectName(QStringLiteral("proxyUsername"));
    _keepAlive->setObjectName(QStringLiteral("proxyKeepAlive"));
    _cipher->setObjectName(QStringLiteral("proxyCipher"));
    _fingerprint->setObjectName(QStringLiteral("serverKeyFingerprint"));

    _form->addRow(text("name"), _name);
    _form->addRow(text("type"), _type);
    _form->addRow(text("host"), _host);
    _form->addRow(text("port"), _port);
    _form->addRow(text("username"), _username);
    _form->addRow(text("password"), _password);
    _form->addRow(text("filterPorts"), _filterPorts);
    _form->addRow(QString(), _anonymize);
    _form->addRow(text("cipher"), _cipher);
    _form->addRow(text("keepAlive"), _keepAlive);
    _form->addRow(text("clientKey"), keyRow(&_clientKey, false));
    _form->addRow(text("clientKeyPassphrase"), _clientKeyPassphrase);
    _form->addRow(text("serverKey"), keyRow(&_serverKey, true));
    _form->addRow(text("serverKeyPassphrase"), _serverKeyPassphrase);
    _form->addRow(text("fingerprint"), _fingerprint);

    connect(_name, &QLineEdit::textEdited, this, [this](const QString& t) {
        _proxy->setName(t);
        edited();
    });
    connect(_type, &QComboBox::activated, this, [this] {
        _proxy->setType(_type->currentData().toUInt());
        updateRows();
        edited();
    });
    connect(_host, &QNCheckedField::accepted, this, [this](const QString& t) {
        _proxy->setHost(t.trimmed());
        edited();
    });
    connect(_port, &QNCheckedField::accepted, this, [this](const QString& t) {
        _proxy->setPort(quint16(t.trimmed().toUInt()));
        edited();
    });
    connect(_username, &QLineEdit::textEdited, this, [this](const QString& t) {
        _proxy->setUsername(t);
        edited();
    });
    connect(_password, &QLineEdit::textEdited, this, [this](const QString& t) {
        _proxy->setPassword(t);
        edited();
    });
    connect(_filterPorts, &QNCheckedField::accepted, this, [this](const QString& t) {
        _proxy->setFilterPorts(QNSettingsChecks::splitList(t));
        edited();
    });
    connect(_anonymize, &QCheckBox::toggled, this, [this](bool on) {
        if (!_loading) {
            _proxy->setAnonymizeRequests(on);
            edited();
        }
    });
    connect(_cipher, &QComboBox::activated, this, [this] {
        _proxy->setCipher(_cipher->currentData().toUInt());
        edited();
    });
    connect(_keepAlive, &QNCheckedField::accepted, this, [this](const QString& t) {
        _proxy->setServerAliveInterval(t.trimmed().toLongLong());
        edited();
    });
    connect(_clientKeyPassphrase, &QLineEdit::textEdited, this, [this](const QString& t) {
        _proxy->setClientKeyPassphrase(t);
        edited();
    });
    connect(_serverKeyPassphrase, &QLineEdit::textEdited, this, [this](const QString& t) {
        _proxy->setServerKeyPassphrase(t);
        updateKeys();
        edited();
    });
    return page;
}

QWidget* QNProxyEditor::keyRow(QLabel** label, bool server) {
    auto* row = new QWidget(this);
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    *label = new QLabel(row);
    auto* choose = new QPushButton(text("choose"), row);
    auto* clear = new QPushButton(text("clear"), row);
    choose->setObjectName(server ? QStringLiteral("chooseServerKey") : QStringLiteral("chooseClientKey"));
    layout->addWidget(*label, 1);
    layout->addWidget(choose);
    layout->addWidget(clear);
    connect(choose, &QPushButton::clicked, this, [this, server] { loadKey(server); });
    connect(clear, &QPushButton::clicked, this, [this, server] {
        server ? _proxy->setServerKey(QByteArray()) : _proxy->setClientKey(QByteArray());
        updateKeys();
        edited();
    });
    return row;
}

QWidget* QNProxyEditor::buildChainPage() {
    auto* page = new QWidget(_pages);
    auto* form = new QFormLayout(page);
    _chainName = new QLineEdit(page);
    _chainOpen = new QCheckBox(text("openChain"), page);
    _members = new QListWidget(page);
    _candidates = new QComboBox(page);
    _chainProblem = new QLabel(page);
    _chainProblem->setWordWrap(true);
    _chainProblem->setStyleSheet(QStringLiteral("color: #c01c28;"));
    auto* add = new QPushButton(text("addMember"), page);
    auto* remove = new QPushButton(text("remove"), page);
    auto* up = new QPushButton(text("moveUp"), page);
    auto* down = new QPushButton(text("moveDown"), page);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(_candidates, 1);
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addWidget(up);
    buttons->addWidget(down);
    form->addRow(text("name"), _chainName);
    form->addRow(QString(), _chainOpen);
    form->addRow(text("members"), _members);
    form->addRow(QString(), buttons);
    form->addRow(QString(), _chainProblem);

    connect(_chainName, &QLineEdit::textEdited, this, [this](const QString& t) {
        _chain->setName(t);
        edited();
    });
    connect(_chainOpen, &QCheckBox::toggled, this, [this](bool on) {
        if (!_loading) {
            _chain->setOpen(on);
            edited();
        }
    });
    connect(add, &QPushButton::clicked, this, [this] {
        const int index = _candidates->currentData().toInt();
        if (!_profile || index < 0 || index >= _profile->proxies().size()) {
            return;
        }
        // A chain holds copies of its members, as the stored form does.
        const auto& item = _profile->proxies().at(index);
        if (item && item->kind() == QNProxyItemKindProxy) {
            _chain->proxies().append(std::static_pointer_cast<QNProxy>(item)->copy());
            refreshMembers();
            edited();
        }
    });
    connect(remove, &QPushButton::clicked, this, [this] {
        const int row = _members->currentRow();
        if (row >= 0) {
            _chain->proxies().removeAt(row);
            refreshMembers();
            edited();
        }
    });
    connect(up, &QPushButton::clicked, this, [this] { moveMember(-1); });
    connect(down, &QPushButton::clicked, this, [this] { moveMember(1); });
    return page;
}

void QNProxyEditor::setItem(const std::shared_ptr<QNProxyItem>& item, const std::shared_ptr<QNProfile>& profile) {
    _profile = profile;
    _proxy = item && item->kind() == QNProxyItemKindProxy ? std::static_pointer_cast<QNProxy>(item) : nullptr;
    _chain = item && item->kind() == QNProxyItemKindChain ? std::static_pointer_cast<QNProxyChain>(item) : nullptr;
    _loading = true;
    if (_proxy) {
        showProxy();
    } else if (_chain) {
        showChain();
    } else {
        _pages->setCurrentIndex(0);
    }
    _loading = false;
}

void QNProxyEditor::showProxy() {
    _pages->setCurrentIndex(1);
    _name->setText(_proxy->name());
    _type->setCurrentIndex(qMax(0, _type->findData(_proxy->type())));
    _host->setText(_proxy->host());
    _port->setText(QString::number(_proxy->port()));
    _username->setText(_proxy->username());
    _password->setText(_proxy->password());
    _filterPorts->setText(QNSettingsChecks::joinList(_proxy->filterPorts()));
    _anonymize->setChecked(_proxy->anonymizeRequests());
    _cipher->setCurrentIndex(qMax(0, _cipher->findData(_proxy->cipher())));
    _keepAlive->setText(QString::number(_proxy->serverAliveInterval()));
    _clientKeyPassphrase->setText(_proxy->clientKeyPassphrase());
    _serverKeyPassphrase->setText(_proxy->serverKeyPassphrase());
    updateRows();
    updateKeys();
}

void QNProxyEditor::updateRows() {
    const quint32 type = _proxy->type();
    const bool ssh = type == QNProxyTypeSSHTunnel;
    // The engine honours filter ports for every kind of proxy, so they stay in view whatever the type: a new
    // proxy starts with the HTTP ports, and hiding them after a switch to SOCKS would hide why other ports
    // pass it by.
    _form->setRowVisible(_anonymize, isHTTP(type));
    for (QWidget* field :
         {static_cast<QWidget*>(_cipher), static_cast<QWidget*>(_keepAlive), _clientKey->parentWidget(),
          static_cast<QWidget*>(_clientKeyPassphrase), _serverKey->parentWidget(),
          static_cast<QWidget*>(_serverKeyPassphrase), static_cast<QWidget*>(_fingerprint)}) {
        _form->setRowVisible(field, ssh);
    }
}

void QNProxyEditor::updateKeys() {
    _clientKey->setText(keyDescription(_proxy->clientKey()));
    _serverKey->setText(keyDescription(_proxy->serverKey()));
    const QString fingerprint = QNSettingsChecks::fingerprintText(_proxy->serverKey(), _proxy->serverKeyPassphrase());
    _proxy->setServerKeyFingerprint(fingerprint);
    _fingerprint->setText(fingerprint.isNull() ? text("noKey") : fingerprint);
}

void QNProxyEditor::loadKey(bool server) {
    const QString path = chooseFile ? chooseFile(text(server ? "serverKey" : "clientKey")) : QString();
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    // Key files are small; anything far larger is not one.
    if (!file.open(QIODevice::ReadOnly) || file.size() > 1024 * 1024) {
        _fingerprint->setText(text("keyUnreadable").arg(file.errorString()));
        return;
    }
    const QByteArray data = file.readAll();
    server ? _proxy->setServerKey(data) : _proxy->setClientKey(data);
    updateKeys();
    edited();
}

void QNProxyEditor::showChain() {
    _pages->setCurrentIndex(2);
    _chainName->setText(_chain->name());
    _chainOpen->setChecked(_chain->open());
    _candidates->clear();
    for (int i = 0; _profile && i < _profile->proxies().size(); ++i) {
        const auto& item = _profile->proxies().at(i);
        if (item && item->kind() == QNProxyItemKindProxy) {
            _candidates->addItem(item->name(), i);
        }
    }
    refreshMembers();
}

void QNProxyEditor::refreshMembers() {
    const int row = _members->currentRow();
    _members->clear();
    for (const auto& member : _chain->proxies()) {
        _members->addItem(member ? QStringLiteral("%1 (%2)").arg(
                                       member->name(), QNProxy::proxyTypeName(member->type(), QNStrings::mainBundle()))
                                 : QString());
    }
    _members->setCurrentRow(qMin(row, _members->count() - 1));
    const QString problem = QNSettingsChecks::chainError(*_chain);
    _chainProblem->setText(problem);
    _chainProblem->setVisible(!problem.isNull());
}

void QNProxyEditor::moveMember(int step) {
    const int row = _members->currentRow();
    const int to = row + step;
    if (row < 0 || to < 0 || to >= _chain->proxies().size()) {
        return;
    }
    _chain->proxies().move(row, to);
    refreshMembers();
    _members->setCurrentRow(to);
    edited();
}

QString QNProxyEditor::problem() const {
    if (_proxy) {
        for (const QNCheckedField* field : {_port, _filterPorts, _keepAlive}) {
            if (field->hasProblem()) {
                return field->problem();
            }
        }
    }
    if (_chain) {
        return QNSettingsChecks::chainError(*_chain);
    }
    return QString();
}

void QNProxyEditor::edited() {
    if (!_loading) {
        emit changed();
    }
}

#include "QNSettingsWindow.h"

#include "QNListPane.h"
#include "QNProxyEditor.h"
#include "QNRuleEditor.h"
#include "model/QNProfile.h"
#include "settings/QNProfileItemModels.h"
#include "settings/QNProfileListModel.h"
#include "settings/QNSettingsSession.h"
#include "settings/QNSettingsStrings.h"
#include "settings/QNStatisticsReader.h"
#include "util/QNConstants.h"
#include "util/QNPreferenceValues.h"
#include "util/QNUtilities.h"

#include <QCheckBox>
#include <QFile>
#include <QFileDialog>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QInputDialog>
#include <QItemSelectionModel>
#include <QLabel>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QSplitter>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>

using QNSettingsStrings::text;

namespace {

QNSettingsWindow::Prompts dialogPrompts(QWidget* parent) {
    QNSettingsWindow::Prompts prompts;
    prompts.askName = [parent](const QString& title, const QString& current) {
        bool ok = false;
        const QString name = QInputDialog::getText(parent, title, text("name"), QLineEdit::Normal, current, &ok);
        return ok ? name : QString();
    };
    prompts.askDocument = [parent](const QString& title, bool save) {
        return save ? QFileDialog::getSaveFileName(parent, title, QString(), text("xmlFiles"))
                    : QFileDialog::getOpenFileName(parent, title, QString(), text("xmlFiles"));
    };
    prompts.askKeyFile = [parent](const QString& title) {
        return QFileDialog::getOpenFileName(parent, title, QDir::homePath() + QStringLiteral("/.ssh"),
                                            text("keyFiles"));
    };
    prompts.askKeepMine = [parent](const QString& profileName) {
        QMessageBox box(QMessageBox::Warning, text("conflictTitle"), text("conflictText").arg(profileName),
                        QMessageBox::NoButton, parent);
        box.setInformativeText(text("conflictQuestion"));
        QPushButton* keep = box.addButton(text("keepMine"), QMessageBox::AcceptRole);
        box.addButton(text("dropMine"), QMessageBox::RejectRole);
        box.exec();
        return box.clickedButton() == keep;
    };
    prompts.confirmImport = [parent](const QStringList& warnings) {
        QMessageBox box(QMessageBox::Warning, text("import"), text("importWarnings"),
                        QMessageBox::Yes | QMessageBox::No, parent);
        box.setInformativeText(text("importAnyway"));
        box.setDetailedText(warnings.join(QLatin1Char('\n')));
        box.setDefaultButton(QMessageBox::No);
        return box.exec() == QMessageBox::Yes;
    };
    prompts.confirmUninstall = [parent] {
        return QMessageBox::question(parent, text("windowTitle"), text("uninstallQuestion")) == QMessageBox::Yes;
    };
    return prompts;
}

} // namespace

QNSettingsWindow::QNSettingsWindow(QNSettingsSession& session, QNStatisticsReader* reader, QWidget* parent)
    : QWidget(parent)
    , _session(session)
    , _reader(reader)
    , _profiles(new QNProfileListModel(session, this))
    , _proxyModel(new QNProxyListModel(this))
    , _ruleModel(new QNRuleListModel(this))
    , _dnsModel(new QNDNSListModel(this))
    , _statisticsTimer(new QTimer(this)) {
    setWindowTitle(text("windowTitle"));
    _prompts = dialogPrompts(this);

    _proxyPane = new QNListPane(_proxyModel, true, this);
    _rulePane = new QNListPane(_ruleModel, true, this);
    _dnsPane = new QNListPane(_dnsModel, true, this);
    _proxyEditor = new QNProxyEditor(this);
    _ruleEditor = new QNRuleEditor(this);
    _dnsEditor = new QNDNSEditor(this);
    _proxyEditor->chooseFile = [this](const QString& title) { return _prompts.askKeyFile(title); };
    _proxyPane->setObjectName(QStringLiteral("proxies"));
    _rulePane->setObjectName(QStringLiteral("rules"));
    _dnsPane->setObjectName(QStringLiteral("dns"));

    auto* addProxy = _proxyPane->addButton(text("add"));
    auto* addChain = _proxyPane->addButton(text("addChain"));
    auto* addRule = _rulePane->addButton(text("add"));
    auto* addDNS = _dnsPane->addButton(text("add"));
    addProxy->setObjectName(QStringLiteral("addProxy"));
    addRule->setObjectName(QStringLiteral("addRule"));
    connect(addProxy, &QPushButton::clicked, this, [this] { _proxyPane->selectRow(_proxyModel->appendDefault()); });
    connect(addChain, &QPushButton::clicked, this, [this] { _proxyPane->selectRow(_proxyModel->appendChain()); });
    connect(addRule, &QPushButton::clicked, this, [this] { _rulePane->selectRow(_ruleModel->appendDefault()); });
    connect(addDNS, &QPushButton::clicked, this, [this] { _dnsPane->selectRow(_dnsModel->appendDefault()); });

    auto pageOf = [this](QNListPane* pane, QWidget* editor) {
        auto* page = new QSplitter(Qt::Vertical, this);
        page->addWidget(pane);
        page->addWidget(editor);
        page->setStretchFactor(1, 1);
        page->setChildrenCollapsible(false);
        return page;
    };
    _tabs = new QTabWidget(this);
    _tabs->addTab(pageOf(_proxyPane, _proxyEditor), text("proxies"));
    _tabs->addTab(pageOf(_rulePane, _ruleEditor), text("rules"));
    _tabs->addTab(pageOf(_dnsPane, _dnsEditor), text("dns"));
    _tabs->addTab(buildGeneralPage(), text("general"));

    _status = new QLabel(this);
    _status->setWordWrap(true);
    _status->setObjectName(QStringLiteral("status"));
    _revert = new QPushButton(text("revert"), this);
    _save = new QPushButton(text("save"), this);
    _save->setObjectName(QStringLiteral("save"));
    _save->setDefault(true);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(_status, 1);
    bottom->addWidget(_revert);
    bottom->addWidget(_save);

    auto* right = new QVBoxLayout;
    right->addWidget(_tabs, 1);
    right->addLayout(bottom);
    auto* layout = new QHBoxLayout(this);
    layout->addWidget(buildProfilePane());
    layout->addLayout(right, 1);

    const auto editedBy = [this](QNItemListModel* model, QNListPane* pane) {
        model->setEditedCallback([this, model, pane] {
            model->refreshRow(pane->currentRow());
            profileEdited();
        });
    };
    editedBy(_proxyModel, _proxyPane);
    editedBy(_ruleModel, _rulePane);
    editedBy(_dnsModel, _dnsPane);
    connect(_proxyEditor, &QNProxyEditor::changed, this, [this] {
        _proxyModel->refreshRow(_proxyPane->currentRow());
        profileEdited();
    });
    connect(_ruleEditor, &QNRuleEditor::changed, this, [this] {
        _ruleModel->refreshRow(_rulePane->currentRow());
        profileEdited();
    });
    connect(_dnsEditor, &QNDNSEditor::changed, this, [this] {
        _dnsModel->refreshRow(_dnsPane->currentRow());
        profileEdited();
    });
    connect(_proxyPane, &QNListPane::currentRowChanged, this, [this](int row) {
        const auto profile = _proxyModel->profile();
        _proxyEditor->setItem(profile && row >= 0 ? profile->proxies().value(row) : nullptr, profile);
    });
    connect(_rulePane, &QNListPane::currentRowChanged, this, [this](int row) {
        const auto profile = _ruleModel->profile();
        _ruleEditor->setRule(profile && row >= 0 ? profile->rules().value(row) : nullptr, profile);
    });
    connect(_dnsPane, &QNListPane::currentRowChanged, this, [this](int row) {
        const auto profile = _dnsModel->profile();
        _dnsEditor->setEntry(profile && row >= 0 ? profile->dns().value(row) : nullptr);
    });
    // A check box ticked in a list is a change the open editor must show too.
    connect(_ruleModel, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex&, const QList<int>& roles) {
                if (roles.contains(Qt::CheckStateRole) && first.row() == _rulePane->currentRow()) {
                    _ruleEditor->setRule(_ruleModel->profile()->rules().value(first.row()), _ruleModel->profile());
                }
            });
    connect(_dnsModel, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& first, const QModelIndex&, const QList<int>& roles) {
                if (roles.contains(Qt::CheckStateRole) && first.row() == _dnsPane->currentRow()) {
                    _dnsEditor->setEntry(_dnsModel->profile()->dns().value(first.row()));
                }
            });
    connect(_save, &QPushButton::clicked, this, &QNSettingsWindow::save);
    connect(_revert, &QPushButton::clicked, this, [this] {
        if (const auto identifier = currentProfile()) {
            _session.revert(*identifier);
            profileSelected();
        }
    });

    connect(&_session, &QNSettingsSession::profilesChanged, this, [this] {
        if (!currentProfile() && _profiles->rowCount() > 0) {
            _profileView->setCurrentIndex(_profiles->index(0));
        }
        profileSelected();
    });
    connect(&_session, &QNSettingsSession::profileReloaded, this, [this](quint32 identifier) {
        if (currentProfile() == identifier) {
            profileSelected();
        }
    });
    connect(&_session, &QNSettingsSession::conflictDetected, this, &QNSettingsWindow::conflict);
    connect(&_session, &QNSettingsSession::activeIdentifierChanged, this, &QNSettingsWindow::updateButtons);
    connect(&_session, &QNSettingsSession::settingsChanged, this, &QNSettingsWindow::loadSettings);

    if (_reader) {
        connect(_reader, &QNStatisticsReader::statisticsArrived, this, &QNSettingsWindow::updateStatistics);
        connect(_reader, &QNStatisticsReader::unavailable, this,
                [this] { _statistics->setText(text("agentNotRunning")); });
        connect(_statisticsTimer, &QTimer::timeout, _reader, &QNStatisticsReader::fetch);
        _statisticsTimer->start(1000);
        _reader->fetch();
    }

    loadSettings();
    if (_profiles->rowCount() > 0) {
        const QModelIndex active = _session.activeIdentifier() >= 0
                                       ? _profiles->indexOfIdentifier(quint32(_session.activeIdentifier()))
                                       : QModelIndex();
        _profileView->setCurrentIndex(active.isValid() ? active : _profiles->index(0));
    }
    profileSelected();
    resize(900, 620);
}

QNSettingsWindow::~QNSettingsWindow() = default;

void QNSettingsWindow::setPrompts(const Prompts& prompts) {
    _prompts = prompts;
}

QWidget* QNSettingsWindow::buildProfilePane() {
    auto* box = new QGroupBox(text("profiles"), this);
    auto* layout = new QVBoxLayout(box);
    _profileView = new QListView(box);
    _profileView->setObjectName(QStringLiteral("profileList"));
    _profileView->setModel(_profiles);
    _profileView->setEditTriggers(QAbstractItemView::EditKeyPressed | QAbstractItemView::DoubleClicked);
    layout->addWidget(_profileView, 1);
    connect(_profileView->selectionModel(), &QItemSelectionModel::currentChanged, this,
            &QNSettingsWindow::profileSelected);

    auto* grid = new QGridLayout;
    auto button = [&](const char* key, int row, int column, auto slot) {
        auto* b = new QPushButton(text(key), box);
        b->setObjectName(QLatin1StringView(key));
        grid->addWidget(b, row, column);
        connect(b, &QPushButton::clicked, this, slot);
        return b;
    };
    button("add", 0, 0, [this] { addProfile(); });
    button("duplicate", 0, 1, [this] {
        if (const auto identifier = currentProfile()) {
            if (const auto added = _session.duplicateProfile(*identifier)) {
                selectProfile(*added);
            } else {
                showStatus(_session.lastError(), true);
            }
        }
    });
    button("rename", 1, 0, [this] { renameProfile(); });
    button("deleteProfile", 1, 1, [this] {
        if (const auto identifier = currentProfile()) {
            if (!_session.deleteProfile(*identifier)) {
                showStatus(_session.lastError(), true);
            }
        }
    });
    button("import", 2, 0, [this] { importProfiles(); });
    button("export", 2, 1, [this] { exportProfile(); });
    _activate = button("activate", 3, 0, [this] {
        if (const auto identifier = currentProfile()) {
            // The agent compiles what is stored: unsaved edits are saved first, or the switch would not show them.
            const auto* entry = _session.entry(*identifier);
            if (entry && entry->edited && !save()) {
                return;
            }
            if (!_session.activateProfile(*identifier)) {
                showStatus(_session.lastError(), true);
            }
        }
    });
    button("deactivate", 3, 1, [this] { _session.activateProfile(-1); });
    layout->addLayout(grid);
    box->setMinimumWidth(220);
    return box;
}

QWidget* QNSettingsWindow::buildGeneralPage() {
    auto* page = new QWidget(this);
    auto* layout = new QVBoxLayout(page);
    auto* form = new QFormLayout;
    _logging = new QCheckBox(text("logging"), page);
    _statusIcon = new QCheckBox(text("statusIcon"), page);
    _updates = new QCheckBox(text("updateCheck"), page);
    _stayOn = new QCheckBox(text("stayOn"), page);
    _verbosity = new QSpinBox(page);
    _verbosity->setRange(0, 4);
    _verbosity->setObjectName(kQNUserDefaultSSHTunnelLogVerbosity);
    form->addRow(QString(), _logging);
    form->addRow(QString(), _statusIcon);
    form->addRow(QString(), _updates);
    form->addRow(QString(), _stayOn);
    form->addRow(text("sshVerbosity"), _verbosity);
    layout->addLayout(form);

    const auto bind = [this](QCheckBox* box, const QString& key) {
        box->setObjectName(key);
        connect(box, &QCheckBox::clicked, this, [this, key](bool on) { _session.setSetting(key, on); });
    };
    bind(_logging, kQNUserDefaultEnableLogging);
    bind(_statusIcon, kQNUserDefaultShowInMenuBar);
    bind(_updates, kQNUserDefaultCheckForUpdates);
    bind(_stayOn, kQNUserDefaultSafetyOverride);
    connect(_verbosity, &QSpinBox::editingFinished, this, [this] {
        if (QNPreferenceValues::integerValue(_session.preferences(), kQNUserDefaultSSHTunnelLogVerbosity).value_or(0) !=
            _verbosity->value()) {
            _session.setSetting(kQNUserDefaultSSHTunnelLogVerbosity, qint64(_verbosity->value()));
        }
    });

    auto* statistics = new QGroupBox(text("liveStatistics"), page);
    auto* statisticsLayout = new QVBoxLayout(statistics);
    _statistics = new QLabel(text("agentNotRunning"), statistics);
    _statistics->setObjectName(QStringLiteral("statistics"));
    statisticsLayout->addWidget(_statistics);
    layout->addWidget(statistics);
    layout->addStretch();

    auto* uninstall = new QPushButton(text("uninstall"), page);
    uninstall->setObjectName(QStringLiteral("uninstall"));
    connect(uninstall, &QPushButton::clicked, this, [this] {
        if (_prompts.confirmUninstall && _prompts.confirmUninstall() && !_session.postTerminate()) {
            showStatus(_session.lastError(), true);
        }
    });
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(uninstall);
    layout->addLayout(row);
    return page;
}

void QNSettingsWindow::loadSettings() {
    const QVariantMap& preferences = _session.preferences();
    const auto flag = [&](const QString& key, bool fallback) {
        return QNPreferenceValues::boolValue(preferences, key).value_or(fallback);
    };
    _logging->setChecked(flag(kQNUserDefaultEnableLogging, false));
    _statusIcon->setChecked(flag(kQNUserDefaultShowInMenuBar, true));
    _updates->setChecked(flag(kQNUserDefaultCheckForUpdates, true));
    _stayOn->setChecked(flag(kQNUserDefaultSafetyOverride, false));
    const qint64 verbosity =
        QNPreferenceValues::integerValue(preferences, kQNUserDefaultSSHTunnelLogVerbosity).value_or(0);
    _verbosity->setValue(int(qBound(qint64(0), verbosity, qint64(4))));
}

std::optional<quint32> QNSettingsWindow::currentProfile() const {
    const QModelIndex current = _profileView->currentIndex();
    if (!current.isValid()) {
        return std::nullopt;
    }
    return current.data(Qt::UserRole).toUInt();
}

void QNSettingsWindow::selectProfile(quint32 identifier) {
    _profileView->setCurrentIndex(_profiles->indexOfIdentifier(identifier));
}

void QNSettingsWindow::profileSelected() {
    const auto identifier = currentProfile();
    const auto profile = identifier ? _session.profile(*identifier) : nullptr;
    if (_proxyModel->profile() == profile && profile) {
        updateButtons();
        return;
    }
    _proxyModel->setProfile(profile);
    _ruleModel->setProfile(profile);
    _dnsModel->setProfile(profile);
    _tabs->widget(0)->setEnabled(profile != nullptr);
    _tabs->widget(1)->setEnabled(profile != nullptr);
    _tabs->widget(2)->setEnabled(profile != nullptr);
    _proxyPane->selectRow(0);
    _rulePane->selectRow(0);
    _dnsPane->selectRow(0);
    showStatus(QString(), false);
    updateButtons();
}

void QNSettingsWindow::profileEdited() {
    if (const auto identifier = currentProfile()) {
        _session.markEdited(*identifier);
        // Shown as the user goes, so nothing comes as a surprise at Save.
        const QString problem = _session.check(*identifier);
        showStatus(problem.isNull() ? text("pendingChanges") : problem, !problem.isNull());
    }
    updateButtons();
}

bool QNSettingsWindow::save() {
    const auto identifier = currentProfile();
    if (!identifier) {
        return false;
    }
    for (const QString& problem : {_proxyEditor->problem(), _ruleEditor->problem()}) {
        if (!problem.isNull()) {
            showStatus(problem, true);
            return false;
        }
    }
    switch (_session.save(*identifier)) {
    case QNSettingsSession::SaveResult::Saved:
        showStatus(text("saved"), false);
        updateButtons();
        return true;
    case QNSettingsSession::SaveResult::Conflict:
        conflict(*identifier);
        return false;
    default:
        showStatus(_session.lastError(), true);
        return false;
    }
}

void QNSettingsWindow::conflict(quint32 identifier) {
    const auto* entry = _session.entry(identifier);
    if (!entry || !entry->conflict || _askingConflict || !_prompts.askKeepMine) {
        return;
    }
    _askingConflict = true;
    const bool keep = _prompts.askKeepMine(entry->profile->name());
    _askingConflict = false;
    const bool current = currentProfile() == identifier;
    _session.resolveConflict(identifier, keep);
    if (current) {
        // A dropped edit shows the stored form; the models must let go of the old working copy.
        _proxyModel->setProfile(nullptr);
        profileSelected();
        showStatus(keep ? text("saved") : QString(), false);
    }
}

void QNSettingsWindow::addProfile() {
    const QString name = _prompts.askName ? _prompts.askName(text("newProfile"), text("newProfile")) : QString();
    if (name.isEmpty()) {
        return;
    }
    if (const auto added = _session.addProfile(name)) {
        selectProfile(*added);
    } else {
        showStatus(_session.lastError(), true);
    }
}

void QNSettingsWindow::renameProfile() {
    const auto identifier = currentProfile();
    const auto profile = identifier ? _session.profile(*identifier) : nullptr;
    if (!profile || !_prompts.askName) {
        return;
    }
    const QString name = _prompts.askName(text("rename"), profile->name());
    if (!name.isEmpty() && !_session.renameProfile(*identifier, name)) {
        showStatus(_session.lastError(), true);
    }
}

void QNSettingsWindow::importProfiles() {
    const QString path = _prompts.askDocument ? _prompts.askDocument(text("import"), false) : QString();
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        showStatus(file.errorString(), true);
        return;
    }
    const QByteArray document = file.read(16 * 1024 * 1024 + 1);
    QList<quint32> added = _session.importProfiles(document);
    if (added.isEmpty() && !_session.importWarnings().isEmpty() && _prompts.confirmImport &&
        _prompts.confirmImport(_session.importWarnings())) {
        added = _session.importProfiles(document, true);
    }
    if (added.isEmpty()) {
        showStatus(_session.lastError(), true);
    } else {
        selectProfile(added.first());
    }
}

void QNSettingsWindow::exportProfile() {
    const auto identifier = currentProfile();
    const QString path = identifier && _prompts.askDocument ? _prompts.askDocument(text("export"), true) : QString();
    if (path.isEmpty()) {
        return;
    }
    QFile file(path);
    const QByteArray document = _session.exportProfiles({*identifier});
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(document) != document.size()) {
        showStatus(file.errorString(), true);
    }
}

void QNSettingsWindow::updateStatistics(qint32 connections, quint64 sent, quint64 received) {
    if (_session.activeIdentifier() < 0) {
        _statistics->setText(text("noActiveProfile"));
        return;
    }
    const auto profile = _session.profile(quint32(_session.activeIdentifier()));
    _statistics->setText(QStringLiteral("%1\n%2: %3\n%4: %5\n%6: %7")
                             .arg(profile ? profile->name() : QString())
                             .arg(text("connections"))
                             .arg(connections)
                             .arg(text("sent"), QNUtilities::dataSizeString(sent))
                             .arg(text("received"), QNUtilities::dataSizeString(received)));
}

void QNSettingsWindow::updateButtons() {
    const auto identifier = currentProfile();
    const auto* entry = identifier ? _session.entry(*identifier) : nullptr;
    _save->setEnabled(entry && entry->edited);
    _revert->setEnabled(entry && entry->edited);
    _activate->setEnabled(entry && qint64(*identifier) != _session.activeIdentifier());
}

void QNSettingsWindow::showStatus(const QString& message, bool problem) {
    _status->setText(message);
    _status->setStyleSheet(problem ? QStringLiteral("color: #c01c28;") : QString());
}

QString QNSettingsWindow::statusText() const {
    return _status->text();
}

void QNSettingsWindow::raiseWindow() {
    show();
    setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    raise();
    activateWindow();
}

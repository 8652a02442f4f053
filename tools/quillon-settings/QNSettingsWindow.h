#pragma once

#include <QWidget>

#include <functional>
#include <optional>

class QCheckBox;
class QLabel;
class QListView;
class QPushButton;
class QSpinBox;
class QTabWidget;
class QTimer;
class QNDNSEditor;
class QNDNSListModel;
class QNListPane;
class QNProfileListModel;
class QNProxyEditor;
class QNProxyListModel;
class QNRuleEditor;
class QNRuleListModel;
class QNSettingsSession;
class QNStatisticsReader;

// The settings window: the profiles on the left, the selected profile's proxies, rules and DNS entries and the
// general settings on the right, unsaved edits stored with Save once they would compile.
class QNSettingsWindow : public QWidget {
    Q_OBJECT

public:
    // Questions the window asks the user; tests answer them without dialogs.
    struct Prompts {
        std::function<QString(const QString& title, const QString& current)> askName;
        std::function<QString(const QString& title, bool save)> askDocument;
        std::function<QString(const QString& title)> askKeyFile;
        // True keeps the user's edits of a profile changed elsewhere.
        std::function<bool(const QString& profileName)> askKeepMine;
        std::function<bool()> confirmUninstall;
        // True imports a document whose reading would change what it says.
        std::function<bool(const QStringList& warnings)> confirmImport;
    };

    // reader may be null: no statistics are shown.
    QNSettingsWindow(QNSettingsSession& session, QNStatisticsReader* reader, QWidget* parent = nullptr);
    ~QNSettingsWindow() override;

    void setPrompts(const Prompts& prompts);
    std::optional<quint32> currentProfile() const;
    void selectProfile(quint32 identifier);
    // Brings the window to the front (a second start of the program asks for it).
    void raiseWindow();

    // Stores the current profile's edits; false shows why not.
    bool save();
    QString statusText() const;

    QNListPane* proxyPane() const { return _proxyPane; }
    QNListPane* rulePane() const { return _rulePane; }
    QNProxyEditor* proxyEditor() const { return _proxyEditor; }
    QNRuleEditor* ruleEditor() const { return _ruleEditor; }

private:
    QWidget* buildProfilePane();
    QWidget* buildGeneralPage();
    void profileSelected();
    void profileEdited();
    void showStatus(const QString& text, bool problem);
    void loadSettings();
    void conflict(quint32 identifier);
    void addProfile();
    void renameProfile();
    void importProfiles();
    void exportProfile();
    void updateStatistics(qint32 connections, quint64 sent, quint64 received);
    void updateButtons();

    QNSettingsSession& _session;
    QNStatisticsReader* _reader;
    Prompts _prompts;
    bool _askingConflict = false;

    QNProfileListModel* _profiles;
    QNProxyListModel* _proxyModel;
    QNRuleListModel* _ruleModel;
    QNDNSListModel* _dnsModel;
    QListView* _profileView;
    QTabWidget* _tabs;
    QNListPane* _proxyPane;
    QNListPane* _rulePane;
    QNListPane* _dnsPane;
    QNProxyEditor* _proxyEditor;
    QNRuleEditor* _ruleEditor;
    QNDNSEditor* _dnsEditor;
    QLabel* _status;
    QPushButton* _save;
    QPushButton* _revert;
    QPushButton* _activate;
    QCheckBox* _logging;
    QCheckBox* _statusIcon;
    QCheckBox* _updates;
    QCheckBox* _stayOn;
    QSpinBox* _verbosity;
    QLabel* _statistics;
    QTimer* _statisticsTimer;
};

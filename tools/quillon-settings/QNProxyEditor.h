#pragma once

#include <QWidget>

#include <functional>
#include <memory>

class QCheckBox;
class QComboBox;
class QFormLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QStackedWidget;
class QNCheckedField;
class QNProfile;
class QNProxy;
class QNProxyChain;
class QNProxyItem;

// Edits one proxy item of a profile: every field of a proxy of the chosen type, or a chain's members in the
// order they are contacted. Changes go straight into the item; changed() says so.
class QNProxyEditor : public QWidget {
    Q_OBJECT

public:
    explicit QNProxyEditor(QWidget* parent = nullptr);

    // The profile offers the proxies a chain can take in.
    void setItem(const std::shared_ptr<QNProxyItem>& item, const std::shared_ptr<QNProfile>& profile);
    // A field shows a problem that keeps its value from the item.
    QString problem() const;

    // The key file choosers ask through these, so tests can answer without a dialog.
    std::function<QString(const QString& title)> chooseFile;

signals:
    void changed();

private:
    QWidget* buildProxyPage();
    QWidget* buildChainPage();
    QWidget* keyRow(QLabel** label, bool server);
    void showProxy();
    void showChain();
    void updateRows();
    void updateKeys();
    void loadKey(bool server);
    void refreshMembers();
    void moveMember(int step);
    void edited();

    std::shared_ptr<QNProfile> _profile;
    std::shared_ptr<QNProxy> _proxy;
    std::shared_ptr<QNProxyChain> _chain;
    bool _loading = false;

    QStackedWidget* _pages;
    QFormLayout* _form;
    QLineEdit* _name;
    QComboBox* _type;
    QNCheckedField* _host;
    QNCheckedField* _port;
    QLineEdit* _username;
    QLineEdit* _password;
    QNCheckedField* _filterPorts;
    QCheckBox* _anonymize;
    QComboBox* _cipher;
    QNCheckedField* _keepAlive;
    QLabel* _clientKey;
    QLineEdit* _clientKeyPassphrase;
    QLabel* _serverKey;
    QLineEdit* _serverKeyPassphrase;
    QLabel* _fingerprint;

    QLineEdit* _chainName;
    QCheckBox* _chainOpen;
    QListWidget* _members;
    QComboBox* _candidates;
    QLabel* _chainProblem;
};

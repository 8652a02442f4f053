#pragma once

#include "settings/QNItemListModel.h"

// A profile's proxies and chains, in the order rules and the stream number them.
class QNProxyListModel : public QNItemListModel {
    Q_OBJECT

public:
    using QNItemListModel::QNItemListModel;
    int appendChain();

protected:
    int count() const override;
    QString text(int row) const override;
    void move(int from, int to) override;
    void remove(int row) override;
    void append() override;

private:
    bool _appendChain = false;
};

// A profile's rules, in the order they are tried.
class QNRuleListModel : public QNItemListModel {
    Q_OBJECT

public:
    using QNItemListModel::QNItemListModel;

protected:
    int count() const override;
    QString text(int row) const override;
    std::optional<bool> enabled(int row) const override;
    void setEnabled(int row, bool on) override;
    void move(int from, int to) override;
    void remove(int row) override;
    void append() override;
};

// A profile's DNS entries, in the order they are tried.
class QNDNSListModel : public QNItemListModel {
    Q_OBJECT

public:
    using QNItemListModel::QNItemListModel;

protected:
    int count() const override;
    QString text(int row) const override;
    std::optional<bool> enabled(int row) const override;
    void setEnabled(int row, bool on) override;
    void move(int from, int to) override;
    void remove(int row) override;
    void append() override;
};

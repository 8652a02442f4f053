#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

// One settings window per user: the first start listens on a socket in the user's runtime folder, a later
// start finds it there, asks the first to come to the front and ends.
class QNSingleInstance : public QObject {
    Q_OBJECT

public:
    explicit QNSingleInstance(const QString& socketPath, QObject* parent = nullptr);

    // $XDG_RUNTIME_DIR/quillon/settings.socket, or a per-user name in the temporary folder without one.
    static QString defaultSocketPath();

    // True when another start already runs (and has been asked to come forward); false when this one is
    // now the first.
    bool askRunningInstance();
    bool listen();

signals:
    void raiseRequested();

private:
    QString _socketPath;
    QLocalServer* _server = nullptr;
};

#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <vector>

class QSocketNotifier;

// Turns termination signals into an event on the main loop (self-pipe), so that a logout or a kill runs
// the same orderly quit as the menu. One per process; the previous dispositions come back when it goes.
class QNSignalHandler : public QObject {
    Q_OBJECT

public:
    explicit QNSignalHandler(std::initializer_list<int> signalNumbers = {SIGTERM, SIGINT, SIGHUP},
                             QObject* parent = nullptr);
    ~QNSignalHandler() override;

    // False when the pipe or a handler could not be set up (or another handler already exists).
    bool isValid() const { return _valid; }

signals:
    void signalReceived(int signalNumber);

private:
    static void handleSignal(int signalNumber);
    void readSignals();

    struct Installed {
        int signalNumber;
        struct sigaction previous;
    };
    std::vector<Installed> _installed;
    int _pipe[2] = {-1, -1};
    QSocketNotifier* _notifier = nullptr;
    bool _valid = false;
};

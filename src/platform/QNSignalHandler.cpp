#include "platform/QNSignalHandler.h"

#include <QSocketNotifier>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The write end for the async-signal-safe handler; -1 while no handler exists.
std::atomic<int> sWriteDescriptor{-1};

} // namespace

QNSignalHandler::QNSignalHandler(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent) {
    if (sWriteDescriptor.load() >= 0 || ::pipe2(_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        _pipe[0] = _pipe[1] = -1;
        return;
    }
    sWriteDescriptor.store(_pipe[1]);
    _notifier = new QSocketNotifier(_pipe[0], QSocketNotifier::Read, this);
    connect(_notifier, &QSocketNotifier::activated, this, &QNSignalHandler::readSignals);

    _valid = true;
    for (int signalNumber : signalNumbers) {
        struct sigaction action {};
        action.sa_handler = &QNSignalHandler::handleSignal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        Installed installed{signalNumber, {}};
        if (::sigaction(signalNumber, &action, &installed.previous) != 0) {
            _valid = false;
            continue;
        }
        _installed.push_back(installed);
    }
}

QNSignalHandler::~QNSignalHandler() {
    for (const Installed& installed : _installed) {
        ::sigaction(installed.signalNumber, &installed.previous, nullptr);
    }
    if (_pipe[1] >= 0) {
        sWriteDescriptor.store(-1);
        delete _notifier;
        ::close(_pipe[0]);
        ::close(_pipe[1]);
    }
}

void QNSignalHandler::handleSignal(int signalNumber) {
    const int savedErrno = errno;
    const int descriptor = sWriteDescriptor.load();
    if (descriptor >= 0) {
        const unsigned char byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds a wake-up; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(descriptor, &byte, 1);
    }
    errno = savedErrno;
}

void QNSignalHandler::readSignals() {
    unsigned char bytes[64];
    for (;;) {
        const ssize_t count = ::read(_pipe[0], bytes, sizeof bytes);
        if (count <= 0) {
            if (count < 0 && errno == EINTR) {
                continue;
            }
            break;
        }
        for (ssize_t i = 0; i < count; ++i) {
            emit signalReceived(int(bytes[i]));
        }
    }
}

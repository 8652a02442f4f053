#pragma once

#include "util/QNAlertPresenter.h"

#include <QString>

#include <cstdio>
#include <functional>

// Alerts on a Linux desktop: a modal QMessageBox brought to the front. Without a display the alert is
// one line on stderr (and in the activity log while logging is on) and counts as answered with its
// default button at once, so a headless agent never waits for a click that cannot come.
class QNPlatformAlertPresenter : public QNAlertPresenter {
public:
    // Receives the headless line; the owner writes it to the activity log when logging is on.
    using LogSink = std::function<void(const QString& line)>;

    QNPlatformAlertPresenter() = default;

    void setLogSink(LogSink sink) { _logSink = std::move(sink); }
    // Where headless lines go; stderr unless a test says otherwise.
    void setErrorStream(std::FILE* stream) { _errorStream = stream; }

    QNAlertResponse runModal(const QNAlert& alert) override;
    bool interactive() const override { return !headless(); }

    // True when alerts cannot be shown: no GUI application, or the offscreen or minimal platform.
    static bool headless();
    // The alert as one line: the message, then the informative text when there is one.
    static QString headlessLine(const QNAlert& alert);
    // The alert on the display, whatever the platform; returns once a button was chosen.
    static QNAlertResponse showMessageBox(const QNAlert& alert);

private:
    LogSink _logSink;
    std::FILE* _errorStream = stderr;
};

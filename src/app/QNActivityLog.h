#pragma once

#include "util/QNConstants.h"

#include <QByteArray>
#include <QString>

#include <functional>

// The optional activity log: the agent's own lines and the engine's log lines, one file that exists only
// while logging is on. Every line reaches the disk before the call returns, so a crash loses nothing
// that was logged.
//
// The engine's text is not trusted: control characters inside a line are written as visible escapes (only a
// final line end is kept), a line is cut at kQNApplicationLogMaximumLineLength bytes, and a file that would
// grow past its maximum size becomes the previous file (Quillon.log.1, replacing an older one) while a new
// file starts with a line saying so. Turning logging off deletes both.
class QNActivityLog {
public:
    // Tells the engine the current logging flag; called after the log was opened or closed.
    using LoggingFlagSender = std::function<void()>;

    // directoryPath: the folder the log lives in; empty means the platform gave no folder, and lines
    // then go nowhere.
    explicit QNActivityLog(const QString& directoryPath = defaultDirectoryPath(),
                           LoggingFlagSender loggingFlagSender = {},
                           qint64 maximumFileSize = kQNApplicationLogMaximumFileSize);
    ~QNActivityLog();
    QNActivityLog(const QNActivityLog&) = delete;
    QNActivityLog& operator=(const QNActivityLog&) = delete;

    // $XDG_STATE_HOME/quillon (an unset or relative variable means ~/.local/state); empty without a home.
    static QString defaultDirectoryPath();
    // "Quillon 2.0.0 - text\r\n" with the version, "Quillon - text\r\n" without.
    static QString applicationLogText(const QString& text, bool displayVersion);

    void setLoggingFlagSender(LoggingFlagSender sender) { _loggingFlagSender = std::move(sender); }

    void enableLogging(bool on);
    void appendApplicationLogString(const QString& text, bool displayVersion);
    void appendLogString(const QString& text);

    bool loggingOn() const { return _loggingOn; }
    // The file's path while logging is on with a file; empty otherwise.
    QString logFilePath() const { return _logFilePath; }
    // Where a full file is kept.
    QString previousLogFilePath() const;

private:
    bool openLogFile();
    void closeLogFile();
    bool startNewFile();
    void writeLine(const QByteArray& line);

    QString _directoryPath;
    LoggingFlagSender _loggingFlagSender;
    qint64 _maximumFileSize;
    bool _loggingOn = false;
    QString _logFilePath;
    int _logFileHandle = -1;
    qint64 _fileSize = 0;
};

#pragma once

// quillon-engine run as a child process, with what it prints collected line by line as it comes.

#include "support/QNTestWait.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QProcess>
#include <QStringList>
#include <QTimer>

#include <functional>

#include <signal.h>

namespace qnenginetest {

class EngineProcess {
public:
    explicit EngineProcess(const QString& program)
        : _program(program) {
        QObject::connect(&_process, &QProcess::readyReadStandardOutput,
                         [this] { collect(_process.readAllStandardOutput(), &_stdoutPartial, &stdoutLines); });
        QObject::connect(&_process, &QProcess::readyReadStandardError,
                         [this] { collect(_process.readAllStandardError(), &_stderrPartial, &stderrLines); });
    }
    ~EngineProcess() {
        if (_process.state() != QProcess::NotRunning) {
            _process.kill();
            _process.waitForFinished();
        }
    }

    // Starts it and waits until it listens; false when it did not get that far.
    bool start(const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment()) {
        _process.setProcessEnvironment(environment);
        _process.start(_program, arguments);
        if (!_process.waitForStarted()) {
            return false;
        }
        return waitForStderr(QStringLiteral("listening on"));
    }

    bool waitForStderr(const QString& text) {
        return qnWaitUntil([&] { return stderrContains(text) || _process.state() == QProcess::NotRunning; }) &&
               stderrContains(text);
    }
    bool waitForStdoutLines(qsizetype count) {
        return qnWaitUntil([&] { return stdoutLines.size() >= count; });
    }
    bool stderrContains(const QString& text) const {
        for (const QString& line : stderrLines) {
            if (line.contains(text)) {
                return true;
            }
        }
        return false;
    }

    void signal(int number) { ::kill(pid_t(_process.processId()), number); }
    // Exit code once it ended by itself, -1 when it crashed or did not end in time.
    int waitForExit() {
        if (!qnWaitUntil([&] { return _process.state() == QProcess::NotRunning; })) {
            return -1;
        }
        return _process.exitStatus() == QProcess::NormalExit ? _process.exitCode() : -1;
    }

    QStringList stdoutLines;
    QStringList stderrLines;

private:
    static void collect(const QByteArray& bytes, QByteArray* partial, QStringList* lines) {
        partial->append(bytes);
        qsizetype end;
        while ((end = partial->indexOf('\n')) >= 0) {
            lines->append(QString::fromUtf8(partial->left(end)));
            partial->remove(0, end + 1);
        }
    }

    QString _program;
    QProcess _process;
    QByteArray _stdoutPartial;
    QByteArray _stderrPartial;
};

} // namespace qnenginetest

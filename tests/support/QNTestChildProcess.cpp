#include "support/QNTestChildProcess.h"

#include "support/QNTestWait.h"

#include <signal.h>

QNTestChildProcess::QNTestChildProcess(const QString& program)
    : _program(program) {
    QObject::connect(&_process, &QProcess::readyReadStandardOutput,
                     [this] { collect(_process.readAllStandardOutput(), &_stdoutPartial, &stdoutLines); });
    QObject::connect(&_process, &QProcess::readyReadStandardError,
                     [this] { collect(_process.readAllStandardError(), &_stderrPartial, &stderrLines); });
}

QNTestChildProcess::~QNTestChildProcess() {
    if (isRunning()) {
        _process.kill();
        _process.waitForFinished();
    }
}

bool QNTestChildProcess::start(const QStringList& arguments, const QProcessEnvironment& environment) {
    _process.setProcessEnvironment(environment);
    _process.start(_program, arguments);
    return _process.waitForStarted();
}

bool QNTestChildProcess::waitForStderr(const QString& text, int timeoutMilliseconds) {
    qnWaitUntil([&] { return stderrContains(text) || !isRunning(); }, timeoutMilliseconds);
    return stderrContains(text);
}

bool QNTestChildProcess::waitForStdoutLines(qsizetype count, int timeoutMilliseconds) {
    return qnWaitUntil([&] { return stdoutLines.size() >= count; }, timeoutMilliseconds);
}

bool QNTestChildProcess::stderrContains(const QString& text) const {
    return !stderrLines.filter(text).isEmpty();
}

void QNTestChildProcess::signal(int number) {
    if (isRunning()) {
        ::kill(pid_t(_process.processId()), number);
    }
}

int QNTestChildProcess::waitForExit(int timeoutMilliseconds) {
    if (!qnWaitUntil([&] { return !isRunning(); }, timeoutMilliseconds)) {
        _process.kill();
        _process.waitForFinished();
        return -1;
    }
    return _process.exitStatus() == QProcess::NormalExit ? _process.exitCode() : -1;
}

void QNTestChildProcess::collect(const QByteArray& bytes, QByteArray* partial, QStringList* lines) {
    partial->append(bytes);
    qsizetype end;
    while ((end = partial->indexOf('\n')) >= 0) {
        lines->append(QString::fromUtf8(partial->left(end)));
        partial->remove(0, end + 1);
    }
}

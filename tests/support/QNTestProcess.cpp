#include "support/QNTestProcess.h"

#include <QProcess>
#include <QStandardPaths>

QNTestProcessResult qnRunProcess(const QString& program, const QStringList& arguments, const QByteArray& standardInput,
                                 const QProcessEnvironment& environment, int timeoutMilliseconds) {
    QNTestProcessResult result;
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(program, arguments);
    if (!process.waitForStarted(timeoutMilliseconds)) {
        return result;
    }
    result.started = true;
    if (!standardInput.isEmpty()) {
        process.write(standardInput);
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMilliseconds)) {
        process.kill();
        process.waitForFinished();
    }
    result.crashed = process.exitStatus() == QProcess::CrashExit;
    result.exitCode = process.exitCode();
    result.standardOutput = process.readAllStandardOutput();
    result.standardError = process.readAllStandardError();
    return result;
}

bool qnHaveProgram(const QString& program) {
    return !QStandardPaths::findExecutable(program).isEmpty() ||
           !QStandardPaths::findExecutable(program, {QStringLiteral("/usr/sbin"), QStringLiteral("/sbin")}).isEmpty();
}

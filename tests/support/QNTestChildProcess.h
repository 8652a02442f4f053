#pragma once

#include <QProcess>
#include <QStringList>

// A program under test running beside the test, with what it prints collected line by line as it comes.
class QNTestChildProcess {
public:
    explicit QNTestChildProcess(const QString& program);
    ~QNTestChildProcess();

    bool start(const QStringList& arguments,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment());
    bool isRunning() const { return _process.state() != QProcess::NotRunning; }
    qint64 processId() const { return _process.processId(); }

    // Event-driven waits; false on time-out, or when the program ended without printing it.
    bool waitForStderr(const QString& text, int timeoutMilliseconds = 30000);
    bool waitForStdoutLines(qsizetype count, int timeoutMilliseconds = 30000);
    bool stderrContains(const QString& text) const;

    void signal(int number);
    // Exit code once it ended, -1 when it was killed by a signal or did not end in time (then it is killed).
    int waitForExit(int timeoutMilliseconds = 30000);

    QStringList stdoutLines;
    QStringList stderrLines;

private:
    static void collect(const QByteArray& bytes, QByteArray* partial, QStringList* lines);

    QString _program;
    QProcess _process;
    QByteArray _stdoutPartial;
    QByteArray _stderrPartial;
};

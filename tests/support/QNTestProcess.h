#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// Runs an outside program to completion and keeps what it printed.
struct QNTestProcessResult {
    int exitCode = -1;
    bool started = false;
    bool crashed = false;
    QByteArray standardOutput;
    QByteArray standardError;
};

QNTestProcessResult qnRunProcess(const QString& program, const QStringList& arguments,
                                 const QByteArray& standardInput = QByteArray(),
                                 const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
                                 int timeoutMilliseconds = 60000);

// True when the program can be found on PATH.
bool qnHaveProgram(const QString& program);

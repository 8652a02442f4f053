#pragma once

#include <QStringList>

// quillonctl stats [--watch] [--interval SECONDS]
// Takes the arguments after the word "stats", asks the running agent for its live statistics over the
// session bus and prints them (with --watch, one line per interval until interrupted). Returns the exit
// status: 0 done, 1 no agent answered, 2 bad usage.
int runStatsCommand(const QStringList& arguments);

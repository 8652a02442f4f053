#pragma once

#include <QStringList>

// quillonctl fingerprint FILE [--private] [--passphrase-file F] [--display]
// Takes the arguments after the word "fingerprint", prints the key's MD5 fingerprint or an error, and
// returns the exit status: 0 done, 1 the key could not be read, 2 bad usage.
int runFingerprintCommand(const QStringList& arguments);

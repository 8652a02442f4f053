#pragma once

#include <QStringList>

// quillonctl fingerprint FILE [--sha256] [--passphrase-file F] [--display] [--private]
// Takes the arguments after the word "fingerprint", prints the key's MD5 (or SHA-256) fingerprint or an
// error, and returns the exit status: 0 done, 1 the key could not be read, 2 bad usage.
int runFingerprintCommand(const QStringList& arguments);

#pragma once

#include <QString>

#include <sys/types.h>

// The control socket's file, for the engine and its stand-in alike: made in its folder, a stale file left by
// an engine that died removed first (never a live engine's, never anything that is not a socket), and removed
// again at the end only while it is still the one this process bound.
class QNControlSocketFile {
public:
    explicit QNControlSocketFile(QString path);
    ~QNControlSocketFile();
    QNControlSocketFile(const QNControlSocketFile&) = delete;
    QNControlSocketFile& operator=(const QNControlSocketFile&) = delete;

    // A non-blocking listening socket at the path, or -1 with *error set. *removedStale tells whether a stale
    // file had to go first.
    int listen(int backlog, QString* error, bool* removedStale = nullptr);
    // Closes the listener and removes the file if it is still ours. Safe to call more than once.
    void close();

    const QString& path() const { return _path; }

private:
    bool clearStale(QString* error, bool* removedStale);

    QString _path;
    int _fd = -1;
    dev_t _device = 0;
    ino_t _inode = 0;
};

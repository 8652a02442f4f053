#pragma once

#include <QString>

#include <cerrno>
#include <cstring>

// The system's text for an errno value ("No such file or directory"); the current errno by default.
inline QString QNSystemErrorText(int error = errno) {
    return QString::fromLocal8Bit(std::strerror(error));
}

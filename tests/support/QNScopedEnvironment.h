#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Changes an environment variable for one scope (none: unset) and puts the old state back at its end.
class QNScopedEnvironment {
public:
    explicit QNScopedEnvironment(const char* name, const std::optional<QByteArray>& value = std::nullopt)
        : _name(name) {
        if (qEnvironmentVariableIsSet(name)) {
            _old = qgetenv(name);
        }
        set(value);
    }
    ~QNScopedEnvironment() { set(_old); }
    QNScopedEnvironment(const QNScopedEnvironment&) = delete;
    QNScopedEnvironment& operator=(const QNScopedEnvironment&) = delete;

    void set(const std::optional<QByteArray>& value) {
        if (value) {
            qputenv(_name, *value);
        } else {
            qunsetenv(_name);
        }
    }

private:
    const char* _name;
    std::optional<QByteArray> _old;
};

#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <optional>

// Sets an environment variable for the lifetime of the object and restores the earlier value.
class TEnvGuard {
public:
    TEnvGuard(const char* name, const QByteArray& value) : m_name(name) {
        if (qEnvironmentVariableIsSet(name))
            m_old = qgetenv(name);
        qputenv(name, value);
    }
    ~TEnvGuard() {
        if (m_old)
            qputenv(m_name, *m_old);
        else
            qunsetenv(m_name);
    }
    TEnvGuard(const TEnvGuard&) = delete;
    TEnvGuard& operator=(const TEnvGuard&) = delete;

private:
    const char* m_name;
    std::optional<QByteArray> m_old;
};

#pragma once

#include <QByteArray>
#include <QString>

#include <exception>
#include <functional>

// Base of every exception the system raises on purpose: it carries the message that the application's
// standard report shows to the user.
class Exception : public std::exception {
public:
    explicit Exception(QString message);
    const QString& Message() const noexcept { return m_message; }
    const char* what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// The application's standard exception report. Every entry point that the toolkit calls (slots, event
// overrides, timer ticks) runs its body through GuardedCall, so that an exception never unwinds through
// Qt's frames: it is shown to the user and the program goes on.
using TExceptionReporter = std::function<void(const QString& message)>;

// Installs the report; returns the previous one. The default writes the message to the warning log.
TExceptionReporter SetExceptionReporter(TExceptionReporter reporter);

// Reports the exception that is being handled (call from a catch block only).
void ReportCurrentException() noexcept;
void ReportException(const QString& message) noexcept;

template <class F> void GuardedCall(F&& f) noexcept {
    try {
        f();
    } catch (...) {
        ReportCurrentException();
    }
}

#include "runtime/Exception.h"

#include <QCoreApplication>
#include <QDebug>
#include <QThread>

#include <mutex>

Exception::Exception(QString message) : m_message(std::move(message)), m_utf8(m_message.toUtf8()) {}

namespace {

std::mutex g_reporterMutex;

TExceptionReporter& Reporter() {
    static TExceptionReporter reporter = [](const QString& message) { qWarning().noquote() << message; };
    return reporter;
}

} // namespace

TExceptionReporter SetExceptionReporter(TExceptionReporter reporter) {
    std::lock_guard lock(g_reporterMutex);
    TExceptionReporter previous = std::move(Reporter());
    Reporter() = std::move(reporter);
    return previous;
}

void ReportException(const QString& message) noexcept {
    try {
        TExceptionReporter reporter;
        {
            std::lock_guard lock(g_reporterMutex);
            reporter = Reporter();
        }
        if (reporter)
            reporter(message);
    } catch (...) {
        // A failing report must not take the program down.
    }
}

void ReportCurrentException() noexcept {
    try {
        throw;
    } catch (const Exception& e) {
        ReportException(e.Message());
    } catch (const std::exception& e) {
        ReportException(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        ReportException(QStringLiteral("Unknown exception"));
    }
}

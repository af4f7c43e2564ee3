#pragma once

#include "runtime/Exception.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>

// A file error while saving the session log, with the runtime's input/output message.
class EInOutError : public Exception {
public:
    explicit EInOutError(int errorCode);
    int ErrorCode() const { return m_errorCode; }

    // The runtime's error number for an errno of a failed file operation on `path`.
    static int FromErrno(int err, const QString& path);
    static QString MessageFor(int errorCode);

private:
    int m_errorCode;
};

// The proposed file name: "Terminal log D.M.YYYY H M.txt", plain numbers without leading zeros.
QString ProposedLogFileName(const QDateTime& now);

// Creates (or replaces) the file and writes the bytes unchanged; raises EInOutError on failure.
void WriteLogFile(const QString& path, const QByteArray& bytes);

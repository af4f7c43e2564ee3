#pragma once

#include "runtime/Exception.h"

// Error codes of the port engine; the message table is indexed by the code.
enum TComErrorCode : int {
    CError_OpenFailed = 1,
    CError_WriteFailed = 2,
    CError_ReadFailed = 3,
    CError_InvalidAsync = 4,
    CError_PurgeFailed = 5,
    CError_AsyncCheck = 6,
    CError_SetStateFailed = 7,
    CError_TimeoutsFailed = 8,
    CError_SetupComFailed = 9,
    CError_ClearComFailed = 10,
    CError_ModemStatFailed = 11,
    CError_EscapeComFailed = 12,
    CError_TransmitFailed = 13,
    CError_ConnChangeProp = 14,
    CError_EnumPortsFailed = 15,
    CError_StoreFailed = 16,
    CError_LoadFailed = 17,
    CError_RegFailed = 18,
    CError_LedStateFailed = 19,
    CError_ThreadCreated = 20,
    CError_WaitFailed = 21,
    CError_HasLink = 22,
    CError_RegError = 23,
};

// The one exception type of the port engine: the code's message, followed by " (win error code: %d)"
// when the failure carries the operating system's error number.
class EComPort : public Exception {
public:
    EComPort(int code, int systemError);
    explicit EComPort(int code);

    int Code() const noexcept { return m_code; }
    int SystemError() const noexcept { return m_systemError; }

    // The message of a code; empty for a code outside the table.
    static QString CodeMessage(int code);

private:
    int m_systemError;
    int m_code;
};

#include "serial/ComError.h"

#include <array>

namespace {

// clang-format off
constexpr std::array<const char*, 23> kMessages = {
    "Unable to open com port",
    "WriteFile function failed",
    "ReadFile function failed",
    "Invalid Async parameter",
    "PurgeComm function failed",
    "Unable to get async status",
    "SetCommState function failed",
    "SetCommTimeouts failed",
    "SetupComm function failed",
    "ClearCommError function failed",
    "GetCommModemStatus function failed",
    "EscapeCommFunction function failed",
    "TransmitCommChar function failed",
    "Cannot set property while connected",
    "EnumPorts function failed",
    "Failed to store settings",
    "Failed to load settings",
    "Link (un)registration failed",
    "Cannot change led state if ComPort is selected",
    "Cannot wait for event if event thread is created",
    "WaitForEvent method failed",
    "A component is linked to OnRxBuf event",
    "Registry error",
};
// clang-format on

} // namespace

QString EComPort::CodeMessage(int code) {
    if (code < 1 || code > int(kMessages.size()))
        return {};
    return QString::fromLatin1(kMessages[size_t(code - 1)]);
}

EComPort::EComPort(int code, int systemError)
    : Exception(CodeMessage(code) + QStringLiteral(" (win error code: %1)").arg(systemError)),
      m_systemError(systemError), m_code(code) {}

EComPort::EComPort(int code) : Exception(CodeMessage(code)), m_systemError(-1), m_code(code) {}

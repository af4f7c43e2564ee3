#include "serial/platform/SerialDevice.h"

#include "serial/platform/NetworkSerialDevice.h"
#include "serial/platform/PosixSerialDevice.h"
#include "serial/platform/VirtualSerialDevice.h"

#include <cerrno>

std::string PortNameToPath(const std::string& portName) {
    if (portName.find('/') != std::string::npos)
        return portName;
    // COMn (n >= 1) is the n-th built-in UART; the prefix is taken in any case, as Windows does.
    if (portName.size() > 3 && portName.size() <= 12 && (portName[0] | 0x20) == 'c' &&
        (portName[1] | 0x20) == 'o' && (portName[2] | 0x20) == 'm') {
        uint64_t n = 0;
        bool digits = true;
        for (size_t i = 3; i < portName.size(); ++i) {
            if (portName[i] < '0' || portName[i] > '9') {
                digits = false;
                break;
            }
            n = n * 10 + uint64_t(portName[i] - '0');
        }
        if (digits && n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return "/dev/" + portName;
}

std::unique_ptr<TSerialDevice> OpenSerialDevice(const std::string& portName, int* error) {
    int dummy = 0;
    if (!error)
        error = &dummy;
    *error = 0;
    bool found = false;
    auto device = TVirtualSerialPair::OpenRegistered(portName, error, &found);
    if (found)
        return device;
    if (IsNetworkPortName(portName))
        return TNetworkSerialDevice::Open(portName, error);
    if (portName.empty()) {
        *error = ENOENT;
        return nullptr;
    }
    return TPosixSerialDevice::Open(PortNameToPath(portName), error);
}

#pragma once

#include "serial/platform/StreamSerialDevice.h"

#include <string>

// The Linux backend: a tty opened exclusively (flock, then TIOCEXCL, so also root and other locking
// programs are refused, and a refused open leaves the tty as it found it) with termios line settings that are
// always read back, a mismatch being a refusal (EINVAL). A device without modem lines (a pseudo-terminal)
// reports no signals, takes DTR/RTS requests as no-ops and is never sampled. Errors of ioctl and termios
// calls pass through as errno.
class TPosixSerialDevice final : public TSerialBackend {
public:
    // Opens `path` and wraps it in the engine; nullptr with *error on failure.
    static std::unique_ptr<TSerialDevice> Open(const std::string& path, int* error);
    ~TPosixSerialDevice() override;

    int DataFd() const override { return m_fd; }
    TDcb InitialState() override;
    int ApplyState(const TDcb& dcb) override;
    bool InputErrorsMarked() const override { return m_marked; }
    int Flush(bool input, bool output) override;
    uint32_t OutputQueued() override;
    int ModemStatus(uint32_t* status) override;
    int Escape(uint32_t function) override;
    bool CanSampleModem() const override { return m_hasModem; }
    bool CanSampleCounters() const override { return m_hasCounters; }
    int SampleLine(TLineSample* sample) override;
    int WatchFd() const override { return m_watchFd; }
    bool NodeGone() override;

private:
    explicit TPosixSerialDevice(int fd) : m_fd(fd) {}
    int SetRs485(bool on);
    int Verify(const void* wanted, uint32_t baud);

    int m_fd;
    int m_watchFd = -1;       // inotify on the device node: its removal is a loss even before a hang-up
    bool m_owned = false;     // the lock was won: the tty is ours to tidy up on close
    bool m_exclusive = false; // we set TIOCEXCL: cleared on close, also when opening fails later
    bool m_hasModem = false;
    bool m_hasCounters = false;
    bool m_rs485 = false;
    bool m_marked = false;
};

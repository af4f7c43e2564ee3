#include "serial/platform/PosixSerialDevice.h"

#include "serial/platform/Termios2.h"
#include "serial/platform/TermiosSettings.h"

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

uint32_t MapModemBits(int bits) {
    uint32_t status = 0;
    if (bits & TIOCM_CTS)
        status |= kMsCtsOn;
    if (bits & TIOCM_DSR)
        status |= kMsDsrOn;
    if (bits & TIOCM_RNG)
        status |= kMsRingOn;
    if (bits & TIOCM_CAR)
        status |= kMsRlsdOn;
    return status;
}

} // namespace

std::unique_ptr<TSerialDevice> TPosixSerialDevice::Open(const std::string& path, int* error) {
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return nullptr;
    }
    std::unique_ptr<TPosixSerialDevice> backend(new TPosixSerialDevice(fd));
    termios t{};
    if (::tcgetattr(fd, &t) < 0) {
        *error = errno;
        return nullptr;
    }
    // The lock first: TIOCEXCL is a flag of the tty, shared with whoever has it open, so it is set only
    // once the tty is ours (TIOCEXCL does not stop root; the lock does, and also other programs that
    // lock). A flag that someone else set is left as it is, also at close.
    if (::flock(fd, LOCK_EX | LOCK_NB) < 0) {
        *error = errno;
        return nullptr;
    }
    backend->m_owned = true;
    int exclusive = 0;
    if (::ioctl(fd, TIOCGEXCL, &exclusive) < 0)
        exclusive = 0;
    if (!exclusive) {
        if (::ioctl(fd, TIOCEXCL) < 0) {
            *error = errno;
            return nullptr;
        }
        backend->m_exclusive = true;
    }
    MakeRaw(&t);
    if (::tcsetattr(fd, TCSANOW, &t) < 0) {
        *error = errno;
        return nullptr;
    }
    // Bytes the far end sent while the device was closed are not ours.
    ::tcflush(fd, TCIFLUSH);
    int bits = 0;
    backend->m_hasModem = ::ioctl(fd, TIOCMGET, &bits) == 0;
    serial_icounter_struct counters{};
    backend->m_hasCounters = ::ioctl(fd, TIOCGICOUNT, &counters) == 0;
    // The node itself (a symlink followed): unlinking it changes its link count. Without inotify the
    // hang-up alone tells of a loss.
    backend->m_watchFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (backend->m_watchFd >= 0 && ::inotify_add_watch(backend->m_watchFd, path.c_str(),
                                                       IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        ::close(backend->m_watchFd);
        backend->m_watchFd = -1;
    }
    return TStreamSerialDevice::Create(std::move(backend), error);
}

TPosixSerialDevice::~TPosixSerialDevice() {
    if (m_owned) {
        // close() could wait up to the driver's closing_wait for output that cannot drain.
        ::tcflush(m_fd, TCOFLUSH);
        if (m_rs485)
            SetRs485(false);
    }
    if (m_exclusive)
        ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd);
    if (m_watchFd >= 0)
        ::close(m_watchFd);
}

bool TPosixSerialDevice::NodeGone() {
    alignas(inotify_event) char buffer[4096];
    while (::read(m_watchFd, buffer, sizeof buffer) > 0) {
    }
    struct stat st {};
    return ::fstat(m_fd, &st) == 0 && st.st_nlink == 0;
}

TDcb TPosixSerialDevice::InitialState() {
    termios t{};
    ::tcgetattr(m_fd, &t);
    uint32_t out = 0, in = 0;
    GetSpeeds(m_fd, &out, &in);
    return TermiosToDcb(t, out);
}

int TPosixSerialDevice::Verify(const void* wanted, uint32_t baud) {
    termios got{};
    if (::tcgetattr(m_fd, &got) < 0)
        return errno;
    if (!TermiosMatches(*static_cast<const termios*>(wanted), got))
        return EINVAL;
    uint32_t out = 0, in = 0;
    if (int e = GetSpeeds(m_fd, &out, &in))
        return e;
    return out == baud ? 0 : EINVAL;
}

int TPosixSerialDevice::ApplyState(const TDcb& dcb) {
    termios wanted{};
    if (::tcgetattr(m_fd, &wanted) < 0)
        return errno;
    bool custom = false;
    if (int e = DcbToTermios(dcb, &wanted, &custom))
        return e;
    TTermios2Copy saved;
    if (int e = SaveTermios2(m_fd, &saved))
        return e;
    const bool toggle = (dcb.Flags & kDcbRtsControlMask) == kDcbRtsControlToggle;
    const bool wasRs485 = m_rs485;
    if (toggle || m_rs485) {
        if (int e = SetRs485(toggle))
            return e;
    }
    int e = ::tcsetattr(m_fd, TCSANOW, &wanted) < 0 ? errno : 0;
    if (!e && custom)
        e = SetCustomSpeed(m_fd, dcb.BaudRate);
    // The driver may drop what it cannot do without failing (a pty forces 8 data bits, no parity).
    if (!e)
        e = Verify(&wanted, dcb.BaudRate);
    if (e) {
        RestoreTermios2(m_fd, saved);
        if (m_rs485 != wasRs485)
            SetRs485(wasRs485);
        return e;
    }
    m_marked = dcb.Flags & kDcbParity;
    return 0;
}

int TPosixSerialDevice::SetRs485(bool on) {
    serial_rs485 rs{};
    if (::ioctl(m_fd, TIOCGRS485, &rs) < 0)
        return errno;
    if (on) {
        rs.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        rs.flags &= ~SER_RS485_RTS_AFTER_SEND;
    } else {
        rs.flags &= ~SER_RS485_ENABLED;
    }
    if (::ioctl(m_fd, TIOCSRS485, &rs) < 0)
        return errno;
    serial_rs485 got{};
    if (::ioctl(m_fd, TIOCGRS485, &got) < 0)
        return errno;
    if (bool(got.flags & SER_RS485_ENABLED) != on)
        return EINVAL;
    m_rs485 = on;
    return 0;
}

int TPosixSerialDevice::Flush(bool input, bool output) {
    const int which = input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH;
    if (!input && !output)
        return 0;
    return ::tcflush(m_fd, which) < 0 ? errno : 0;
}

uint32_t TPosixSerialDevice::OutputQueued() {
    int queued = 0;
    if (::ioctl(m_fd, TIOCOUTQ, &queued) < 0 || queued < 0)
        return 0;
    return uint32_t(queued);
}

int TPosixSerialDevice::ModemStatus(uint32_t* status) {
    *status = 0;
    if (!m_hasModem)
        return 0;
    int bits = 0;
    if (::ioctl(m_fd, TIOCMGET, &bits) < 0)
        return errno == ENOTTY ? 0 : errno;
    *status = MapModemBits(bits);
    return 0;
}

int TPosixSerialDevice::Escape(uint32_t function) {
    int request = 0, bit = 0;
    switch (function) {
    case kSetRts:
        request = TIOCMBIS, bit = TIOCM_RTS;
        break;
    case kClrRts:
        request = TIOCMBIC, bit = TIOCM_RTS;
        break;
    case kSetDtr:
        request = TIOCMBIS, bit = TIOCM_DTR;
        break;
    case kClrDtr:
        request = TIOCMBIC, bit = TIOCM_DTR;
        break;
    case kSetBreak:
        return ::ioctl(m_fd, TIOCSBRK) < 0 ? errno : 0;
    case kClrBreak:
        return ::ioctl(m_fd, TIOCCBRK) < 0 ? errno : 0;
    case kSetXoff:
        return ::tcflow(m_fd, TCOOFF) < 0 ? errno : 0;
    case kSetXon:
        return ::tcflow(m_fd, TCOON) < 0 ? errno : 0;
    default:
        return EINVAL;
    }
    // A device without modem lines takes the request as a no-op.
    if (::ioctl(m_fd, request, &bit) < 0)
        return errno == ENOTTY ? 0 : errno;
    return 0;
}

int TPosixSerialDevice::SampleLine(TLineSample* sample) {
    if (m_hasModem) {
        int bits = 0;
        if (::ioctl(m_fd, TIOCMGET, &bits) < 0)
            return errno;
        sample->ModemStatus = MapModemBits(bits);
    }
    if (m_hasCounters) {
        serial_icounter_struct c{};
        if (::ioctl(m_fd, TIOCGICOUNT, &c) < 0)
            return errno;
        sample->Cts = uint32_t(c.cts);
        sample->Dsr = uint32_t(c.dsr);
        sample->Ring = uint32_t(c.rng);
        sample->Dcd = uint32_t(c.dcd);
        sample->Frame = uint32_t(c.frame);
        sample->Overrun = uint32_t(c.overrun);
        sample->Parity = uint32_t(c.parity);
        sample->Break = uint32_t(c.brk);
        sample->BufferOverrun = uint32_t(c.buf_overrun);
    }
    return 0;
}

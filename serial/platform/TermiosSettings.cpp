#include "serial/platform/TermiosSettings.h"

#include <cerrno>

namespace {

struct TSpeedCode {
    uint32_t Baud;
    speed_t Code;
};

// clang-format off
constexpr TSpeedCode kSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};
// clang-format on

constexpr tcflag_t kInputFlags =
    IGNBRK | BRKINT | IGNPAR | PARMRK | INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY;
constexpr tcflag_t kControlFlags = CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CREAD | CLOCAL;
constexpr tcflag_t kLocalFlags = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;

} // namespace

speed_t StandardSpeedCode(uint32_t baud) {
    for (const TSpeedCode& s : kSpeeds)
        if (s.Baud == baud)
            return s.Code;
    return B0;
}

void MakeRaw(termios* t) {
    t->c_iflag &= ~(kInputFlags | IMAXBEL);
    t->c_oflag &= ~OPOST;
    t->c_lflag &= ~(kLocalFlags | ECHOCTL | ECHOKE);
    t->c_cflag |= CREAD | CLOCAL;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

int SetDataBits(termios* t, uint8_t byteSize) {
    tcflag_t size;
    switch (byteSize) {
    case 5:
        size = CS5;
        break;
    case 6:
        size = CS6;
        break;
    case 7:
        size = CS7;
        break;
    case 8:
        size = CS8;
        break;
    default:
        return EINVAL;
    }
    t->c_cflag = (t->c_cflag & ~CSIZE) | size;
    return 0;
}

int SetParity(termios* t, uint8_t parity, bool check) {
    tcflag_t bits;
    switch (parity) {
    case kNoParity:
        bits = 0;
        break;
    case kOddParity:
        bits = PARENB | PARODD;
        break;
    case kEvenParity:
        bits = PARENB;
        break;
    case kMarkParity:
        bits = PARENB | PARODD | CMSPAR;
        break;
    case kSpaceParity:
        bits = PARENB | CMSPAR;
        break;
    default:
        return EINVAL;
    }
    t->c_cflag = (t->c_cflag & ~(PARENB | PARODD | CMSPAR)) | bits;
    t->c_iflag &= ~(INPCK | PARMRK | IGNPAR | IGNBRK | BRKINT);
    // Checking marks bad bytes and breaks in the data (0xFF 0x00 x); without it breaks are dropped here
    // and counted by the driver.
    t->c_iflag |= check ? (INPCK | PARMRK) : IGNBRK;
    return 0;
}

int SetStopBits(termios* t, uint8_t stopBits, uint8_t byteSize) {
    // Linux gives 1.5 stop bits for CSTOPB with 5 data bits and 2 otherwise.
    switch (stopBits) {
    case kOneStopBit:
        t->c_cflag &= ~CSTOPB;
        return 0;
    case kOne5StopBits:
        if (byteSize != 5)
            return EINVAL;
        t->c_cflag |= CSTOPB;
        return 0;
    case kTwoStopBits:
        if (byteSize == 5)
            return EINVAL;
        t->c_cflag |= CSTOPB;
        return 0;
    default:
        return EINVAL;
    }
}

int SetFlowControl(termios* t, const TDcb& dcb) {
    const uint32_t f = dcb.Flags;
    // No Linux equivalent: DTR handshake, DSR output flow, DSR sensitivity.
    if ((f & kDcbDtrControlMask) == kDcbDtrControlHandshake || (f & kDcbDtrControlMask) == kDcbDtrControlMask)
        return EINVAL;
    if (f & (kDcbOutxDsrFlow | kDcbDsrSensitivity))
        return EINVAL;
    // CRTSCTS works both ways at once: CTS output flow and RTS handshake only together.
    const bool ctsOut = f & kDcbOutxCtsFlow;
    const bool rtsHandshake = (f & kDcbRtsControlMask) == kDcbRtsControlHandshake;
    if (ctsOut != rtsHandshake)
        return EINVAL;
    if (ctsOut)
        t->c_cflag |= CRTSCTS;
    else
        t->c_cflag &= ~CRTSCTS;
    const bool outX = f & kDcbOutX;
    const bool inX = f & kDcbInX;
    if ((outX || inX) && dcb.XonChar == dcb.XoffChar)
        return EINVAL;
    t->c_iflag &= ~(IXON | IXOFF | IXANY);
    if (outX)
        t->c_iflag |= IXON;
    if (inX)
        t->c_iflag |= IXOFF;
    t->c_cc[VSTART] = cc_t(dcb.XonChar);
    t->c_cc[VSTOP] = cc_t(dcb.XoffChar);
    return 0;
}

int DcbToTermios(const TDcb& dcb, termios* t, bool* customSpeed) {
    if (dcb.BaudRate == 0) // B0 would hang the line up
        return EINVAL;
    MakeRaw(t);
    if (int e = SetDataBits(t, dcb.ByteSize))
        return e;
    if (int e = SetParity(t, dcb.Parity, dcb.Flags & kDcbParity))
        return e;
    if (int e = SetStopBits(t, dcb.StopBits, dcb.ByteSize))
        return e;
    if (int e = SetFlowControl(t, dcb))
        return e;
    const speed_t code = StandardSpeedCode(dcb.BaudRate);
    *customSpeed = code == B0;
    if (code != B0) {
        cfsetispeed(t, code);
        cfsetospeed(t, code);
    }
    return 0;
}

TDcb TermiosToDcb(const termios& t, uint32_t baud) {
    TDcb dcb;
    dcb.BaudRate = baud;
    dcb.Flags = kDcbBinary | kDcbDtrControlEnable;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        dcb.ByteSize = 5;
        break;
    case CS6:
        dcb.ByteSize = 6;
        break;
    case CS7:
        dcb.ByteSize = 7;
        break;
    default:
        dcb.ByteSize = 8;
        break;
    }
    if (!(t.c_cflag & PARENB))
        dcb.Parity = kNoParity;
    else if (t.c_cflag & CMSPAR)
        dcb.Parity = (t.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    else
        dcb.Parity = (t.c_cflag & PARODD) ? kOddParity : kEvenParity;
    if (t.c_cflag & CSTOPB)
        dcb.StopBits = dcb.ByteSize == 5 ? kOne5StopBits : kTwoStopBits;
    else
        dcb.StopBits = kOneStopBit;
    if (t.c_iflag & INPCK)
        dcb.Flags |= kDcbParity;
    if (t.c_cflag & CRTSCTS)
        dcb.Flags |= kDcbOutxCtsFlow | kDcbRtsControlHandshake;
    else
        dcb.Flags |= kDcbRtsControlEnable;
    if (t.c_iflag & IXON)
        dcb.Flags |= kDcbOutX;
    if (t.c_iflag & IXOFF)
        dcb.Flags |= kDcbInX;
    dcb.XonChar = char(t.c_cc[VSTART]);
    dcb.XoffChar = char(t.c_cc[VSTOP]);
    return dcb;
}

bool TermiosMatches(const termios& wanted, const termios& got) {
    return (wanted.c_iflag & kInputFlags) == (got.c_iflag & kInputFlags) &&
           (wanted.c_oflag & OPOST) == (got.c_oflag & OPOST) &&
           (wanted.c_cflag & kControlFlags) == (got.c_cflag & kControlFlags) &&
           (wanted.c_lflag & kLocalFlags) == (got.c_lflag & kLocalFlags) &&
           wanted.c_cc[VMIN] == got.c_cc[VMIN] && wanted.c_cc[VTIME] == got.c_cc[VTIME] &&
           wanted.c_cc[VSTART] == got.c_cc[VSTART] && wanted.c_cc[VSTOP] == got.c_cc[VSTOP];
}

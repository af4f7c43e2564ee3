// The pure parts of the tty backend: DCB to termios and back, and the decoding of error marks.

#include "serial/platform/ErrorMarkDecoder.h"
#include "serial/platform/TermiosSettings.h"

#include "DeviceTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

namespace {

// A termios as a device might hand it over: cooked, echoing, with output processing.
termios Cooked() {
    termios t{};
    t.c_iflag = ICRNL | IXON | IMAXBEL | BRKINT;
    t.c_oflag = OPOST | ONLCR;
    t.c_cflag = CS7 | PARENB | HUPCL | CRTSCTS;
    t.c_lflag = ICANON | ECHO | ECHOE | ISIG | IEXTEN;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    cfsetispeed(&t, B9600);
    cfsetospeed(&t, B9600);
    return t;
}

} // namespace

TEST(DeviceTermios, DcbMapsOntoTermios) {
    struct TRow {
        const char* Name;
        TDcb Settings;
        int Error;
        tcflag_t CflagSet, CflagClear, IflagSet, IflagClear;
        bool Custom;
    };
    constexpr uint32_t b = kDcbBinary;
    // clang-format off
    const TRow rows[] = {
        {"38400 8N1", Dcb(38400, 8, kNoParity, kOneStopBit), 0,
         CS8 | CREAD | CLOCAL, PARENB | CSTOPB | CRTSCTS, IGNBRK, INPCK | PARMRK | IXON | IXOFF | ICRNL, false},
        {"7E1 checked", Dcb(9600, 7, kEvenParity, kOneStopBit, b | kDcbParity), 0,
         CS7 | PARENB, PARODD | CMSPAR, INPCK | PARMRK, IGNBRK | IGNPAR, false},
        {"8O2", Dcb(19200, 8, kOddParity, kTwoStopBits), 0, CS8 | PARENB | PARODD | CSTOPB, CMSPAR, 0, INPCK, false},
        {"mark", Dcb(9600, 8, kMarkParity, kOneStopBit), 0, PARENB | PARODD | CMSPAR, 0, 0, 0, false},
        {"space", Dcb(9600, 8, kSpaceParity, kOneStopBit), 0, PARENB | CMSPAR, PARODD, 0, 0, false},
        {"5 bits 1.5 stop", Dcb(110, 5, kNoParity, kOne5StopBits), 0, CS5 | CSTOPB, 0, 0, 0, false},
        {"6 bits", Dcb(300, 6, kNoParity, kOneStopBit), 0, CS6, CSTOPB, 0, 0, false},
        {"hardware flow", Dcb(115200, 8, kNoParity, kOneStopBit, b | kDcbOutxCtsFlow | kDcbRtsControlHandshake), 0,
         CRTSCTS, 0, 0, IXON | IXOFF, false},
        {"software flow", Dcb(57600, 8, kNoParity, kOneStopBit, b | kDcbOutX | kDcbInX), 0,
         0, CRTSCTS, IXON | IXOFF, IXANY, false},
        {"output Xon/Xoff only", Dcb(57600, 8, kNoParity, kOneStopBit, b | kDcbOutX), 0, 0, 0, IXON, IXOFF, false},
        {"custom 14400", Dcb(14400, 8, kNoParity, kOneStopBit), 0, 0, 0, 0, 0, true},
        {"custom 56000", Dcb(56000, 8, kNoParity, kOneStopBit), 0, 0, 0, 0, 0, true},
        {"custom 128000", Dcb(128000, 8, kNoParity, kOneStopBit), 0, 0, 0, 0, 0, true},
        {"custom 12345", Dcb(12345, 8, kNoParity, kOneStopBit), 0, 0, 0, 0, 0, true},
        {"speed 0", Dcb(0, 8, kNoParity, kOneStopBit), EINVAL, 0, 0, 0, 0, false},
        {"4 data bits", Dcb(9600, 4, kNoParity, kOneStopBit), EINVAL, 0, 0, 0, 0, false},
        {"9 data bits", Dcb(9600, 9, kNoParity, kOneStopBit), EINVAL, 0, 0, 0, 0, false},
        {"parity code 5", Dcb(9600, 8, 5, kOneStopBit), EINVAL, 0, 0, 0, 0, false},
        {"stop code 3", Dcb(9600, 8, kNoParity, 3), EINVAL, 0, 0, 0, 0, false},
        {"1.5 stop with 8 bits", Dcb(9600, 8, kNoParity, kOne5StopBits), EINVAL, 0, 0, 0, 0, false},
        {"2 stop with 5 bits (would be 1.5)", Dcb(9600, 5, kNoParity, kTwoStopBits), EINVAL, 0, 0, 0, 0, false},
        {"DTR handshake", Dcb(9600, 8, kNoParity, kOneStopBit, b | kDcbDtrControlHandshake), EINVAL, 0, 0, 0, 0, false},
        {"DSR output flow", Dcb(9600, 8, kNoParity, kOneStopBit, b | kDcbOutxDsrFlow), EINVAL, 0, 0, 0, 0, false},
        {"DSR sensitivity", Dcb(9600, 8, kNoParity, kOneStopBit, b | kDcbDsrSensitivity), EINVAL, 0, 0, 0, 0, false},
        {"CTS flow without RTS handshake", Dcb(9600, 8, kNoParity, kOneStopBit, b | kDcbOutxCtsFlow | kDcbRtsControlEnable),
         EINVAL, 0, 0, 0, 0, false},
        {"RTS handshake without CTS flow", Dcb(9600, 8, kNoParity, kOneStopBit, b | kDcbRtsControlHandshake), EINVAL,
         0, 0, 0, 0, false},
    };
    // clang-format on
    for (const TRow& row : rows) {
        termios t = Cooked();
        bool custom = false;
        ASSERT_EQ(DcbToTermios(row.Settings, &t, &custom), row.Error) << row.Name;
        if (row.Error)
            continue;
        EXPECT_EQ(t.c_cflag & row.CflagSet, row.CflagSet) << row.Name;
        EXPECT_EQ(t.c_cflag & row.CflagClear, 0u) << row.Name;
        EXPECT_EQ(t.c_iflag & row.IflagSet, row.IflagSet) << row.Name;
        EXPECT_EQ(t.c_iflag & row.IflagClear, 0u) << row.Name;
        EXPECT_EQ(custom, row.Custom) << row.Name;
        // Raw whatever came before.
        EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHOE | ISIG | IEXTEN), 0u) << row.Name;
        EXPECT_EQ(t.c_oflag & OPOST, 0u) << row.Name;
        EXPECT_EQ(t.c_iflag & (ICRNL | IMAXBEL | BRKINT), 0u) << row.Name;
        EXPECT_EQ(t.c_cc[VMIN], 0) << row.Name;
        EXPECT_EQ(t.c_cc[VTIME], 0) << row.Name;
        EXPECT_EQ(t.c_cc[VSTART], 0x11) << row.Name;
        EXPECT_EQ(t.c_cc[VSTOP], 0x13) << row.Name;
        if (!row.Custom) {
            EXPECT_EQ(cfgetospeed(&t), StandardSpeedCode(row.Settings.BaudRate)) << row.Name;
        }

        // And back: the fields termios carries come back unchanged.
        const TDcb back = TermiosToDcb(t, row.Settings.BaudRate);
        EXPECT_EQ(back.BaudRate, row.Settings.BaudRate) << row.Name;
        EXPECT_EQ(back.ByteSize, row.Settings.ByteSize) << row.Name;
        EXPECT_EQ(back.Parity, row.Settings.Parity) << row.Name;
        EXPECT_EQ(back.StopBits, row.Settings.StopBits) << row.Name;
        const uint32_t carried = kDcbParity | kDcbOutxCtsFlow | kDcbOutX | kDcbInX;
        EXPECT_EQ(back.Flags & carried, row.Settings.Flags & carried) << row.Name;
        EXPECT_TRUE(TermiosMatches(t, t)) << row.Name;
    }
}

TEST(DeviceTermios, SpeedsAndComparison) {
    EXPECT_EQ(StandardSpeedCode(38400), speed_t(B38400));
    EXPECT_EQ(StandardSpeedCode(115200), speed_t(B115200));
    EXPECT_EQ(StandardSpeedCode(110), speed_t(B110));
    for (uint32_t custom : {14400u, 56000u, 128000u, 256000u, 12345u, 0u})
        EXPECT_EQ(StandardSpeedCode(custom), speed_t(B0)) << custom;

    termios wanted = Cooked();
    bool custom = false;
    ASSERT_EQ(DcbToTermios(Dcb(9600, 7, kEvenParity, kOneStopBit, kDcbBinary | kDcbParity), &wanted, &custom),
              0);
    // What a pty does with it: forces 8 bits and clears parity.
    termios got = wanted;
    got.c_cflag = (got.c_cflag & ~(CSIZE | PARENB)) | CS8;
    EXPECT_FALSE(TermiosMatches(wanted, got));
    got = wanted;
    got.c_cflag |= HUPCL; // not ours to compare
    got.c_oflag |= ONLCR;
    EXPECT_TRUE(TermiosMatches(wanted, got));
    got.c_cc[VSTOP] = 0;
    EXPECT_FALSE(TermiosMatches(wanted, got));
}

TEST(DeviceTermios, ErrorMarksAreDecodedAcrossAnySplit) {
    struct TRow {
        const char* Name;
        std::string In;
        std::string Data; // bytes delivered; '?' stands for each byte with an error (checked separately)
        int Errors;
        int Breaks;
    };
    using namespace std::string_literals;
    // Octal escapes: \377 is 0xFF.
    const TRow rows[] = {
        {"plain", "abc"s, "abc"s, 0, 0},
        {"escaped 0xFF", "a\377\377b"s, "a\377b"s, 0, 0},
        {"parity error", "a\377\0Xb"s, "aXb"s, 1, 0},
        {"break", "a\377\0\0b"s, "ab"s, 0, 1},
        {"two marks in a row", "\377\0Q\377\0\0"s, "Q"s, 1, 1},
        {"stray 0xFF", "\377a"s, "\377a"s, 0, 0},
    };
    for (const TRow& row : rows) {
        // Whole, and split after every position.
        for (size_t split = 0; split <= row.In.size(); ++split) {
            TErrorMarkDecoder decoder;
            std::string data;
            int errors = 0, breaks = 0;
            auto feed = [&](const std::string& part) {
                for (char c : part) {
                    uint8_t out = 0;
                    switch (decoder.Feed(uint8_t(c), &out)) {
                    case TErrorMarkDecoder::TResult::None:
                        break;
                    case TErrorMarkDecoder::TResult::Byte:
                        data += char(out);
                        if (decoder.Pending(&out))
                            data += char(out);
                        break;
                    case TErrorMarkDecoder::TResult::ErrorByte:
                        data += char(out);
                        ++errors;
                        break;
                    case TErrorMarkDecoder::TResult::Break:
                        ++breaks;
                        break;
                    }
                }
            };
            feed(row.In.substr(0, split));
            feed(row.In.substr(split));
            EXPECT_EQ(data, row.Data) << row.Name << " split " << split;
            EXPECT_EQ(errors, row.Errors) << row.Name;
            EXPECT_EQ(breaks, row.Breaks) << row.Name;
        }
    }
    TErrorMarkDecoder decoder;
    uint8_t out = 0;
    decoder.Feed(0xFF, &out);
    decoder.Reset();
    EXPECT_EQ(decoder.Feed('x', &out), TErrorMarkDecoder::TResult::Byte);
    EXPECT_EQ(out, 'x');
}

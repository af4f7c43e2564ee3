#pragma once

// The Telnet COM-PORT option (RFC 2217) as pure functions and a byte-fed decoder, so that the network
// backend only moves bytes and every encoding rule is tested from recorded byte sequences.
//
// Edge rules:
// - Data bytes of value 255 (IAC) are doubled on the way out and undoubled on the way in; a command may
//   be split at any byte, the decoder keeps its state between chunks.
// - A subnegotiation longer than kMaxSubnegotiation is dropped whole (a peer cannot grow our memory).
// - IAC followed by an unknown command byte is ignored. A command inside a subnegotiation (IAC and
//   anything but IAC or SE) breaks it off: the subnegotiation is dropped and the command is taken as
//   such, so its bytes never reach the data.
// - Both sides ask for binary mode (TTelnetNegotiator). While the server does not send in binary mode
//   its CR NUL is a plain CR (the NUL is dropped); while it does not let us send in binary mode, a CR
//   we send is followed by NUL.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace Telnet {

constexpr uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251, kSb = 250, kSe = 240;
constexpr uint8_t kNop = 241;
constexpr uint8_t kOptBinary = 0, kOptSuppressGoAhead = 3, kOptComPort = 44;
constexpr size_t kMaxSubnegotiation = 64;

// COM-PORT commands as the client sends them; the server answers with the same code + 100.
constexpr uint8_t kSignature = 0, kSetBaudRate = 1, kSetDataSize = 2, kSetParity = 3, kSetStopSize = 4,
                  kSetControl = 5, kNotifyLineState = 6, kNotifyModemState = 7, kFlowSuspend = 8,
                  kFlowResume = 9, kSetLineStateMask = 10, kSetModemStateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;

// Values of SET-PARITY, SET-STOPSIZE and SET-CONTROL (0 asks for the current value).
constexpr uint8_t kParityNone = 1, kParityOdd = 2, kParityEven = 3, kParityMark = 4, kParitySpace = 5;
constexpr uint8_t kStopOne = 1, kStopTwo = 2, kStopOneHalf = 3;
constexpr uint8_t kControlFlowNone = 1, kControlFlowXonXoff = 2, kControlFlowHardware = 3,
                  kControlBreakOn = 5, kControlBreakOff = 6, kControlDtrOn = 8, kControlDtrOff = 9,
                  kControlRtsOn = 11, kControlRtsOff = 12;
// PURGE-DATA values.
constexpr uint8_t kPurgeReceive = 1, kPurgeTransmit = 2, kPurgeBoth = 3;

// NOTIFY-MODEMSTATE bits.
constexpr uint8_t kModemDcd = 0x80, kModemRing = 0x40, kModemDsr = 0x20, kModemCts = 0x10,
                  kModemDeltaDcd = 0x08, kModemRingEnd = 0x04, kModemDeltaDsr = 0x02, kModemDeltaCts = 0x01;
// NOTIFY-LINESTATE bits.
constexpr uint8_t kLineTimeout = 0x80, kLineShiftEmpty = 0x40, kLineHoldEmpty = 0x20, kLineBreak = 0x10,
                  kLineFraming = 0x08, kLineParity = 0x04, kLineOverrun = 0x02, kLineDataReady = 0x01;

// Appends data to out with every IAC doubled (and, for a peer not in binary mode, NUL after each CR).
void EscapeData(std::span<const uint8_t> data, std::vector<uint8_t>& out, bool crNul = false);
// Appends IAC cmd option.
void AppendNegotiation(uint8_t cmd, uint8_t option, std::vector<uint8_t>& out);
// Appends IAC SB COM-PORT code value... IAC SE, IAC bytes in the value doubled.
void AppendComPort(uint8_t code, std::span<const uint8_t> value, std::vector<uint8_t>& out);
void AppendSetBaudRate(uint32_t baud, std::vector<uint8_t>& out);
void AppendComPortByte(uint8_t code, uint8_t value, std::vector<uint8_t>& out);

// One answer of the server to a COM-PORT command (or a notification): Code without the offset.
struct TComPortAnswer {
    uint8_t Code = 0;
    std::vector<uint8_t> Value;
    bool operator==(const TComPortAnswer&) const = default;
    // The value as a network-order number (SET-BAUDRATE); 0 when it is not 4 bytes.
    uint32_t Number() const;
    // The first value byte; 0 when there is none.
    uint8_t Byte() const { return Value.empty() ? 0 : Value[0]; }
};

// What the decoder found besides data.
class TTelnetHandler {
public:
    virtual ~TTelnetHandler() = default;
    // WILL, WONT, DO or DONT for an option.
    virtual void OnNegotiation(uint8_t cmd, uint8_t option) = 0;
    // A COM-PORT subnegotiation of the server (code >= 100); other subnegotiations are dropped.
    virtual void OnComPort(const TComPortAnswer& answer) = 0;
};

class TTelnetDecoder {
public:
    // Decodes a chunk: data bytes are appended to data, commands go to the handler at once.
    void Feed(std::span<const uint8_t> chunk, std::vector<uint8_t>& data, TTelnetHandler& handler);
    void Reset();
    // Whether the server sends in binary mode (the decoder starts in binary mode).
    void SetBinary(bool binary) { m_binary = binary; }

private:
    enum class State { Data, Iac, Negotiation, SbOption, SbData, SbIac };
    void Command(uint8_t b, std::vector<uint8_t>& data);
    void PlainData(std::span<const uint8_t> run, std::vector<uint8_t>& data);
    State m_state = State::Data;
    bool m_binary = true;
    bool m_afterCr = false;
    uint8_t m_cmd = 0;
    uint8_t m_option = 0;
    bool m_overlong = false;
    std::vector<uint8_t> m_sb;
};

// The option state of the client: offers COM-PORT and binary mode both ways, accepts suppress-go-ahead,
// refuses everything else, and answers a request only when it changes the state (no negotiation loop).
class TTelnetNegotiator {
public:
    // What the client sends first.
    void AppendOffer(std::vector<uint8_t>& out);
    // The answer to the server's cmd (possibly nothing).
    void Answer(uint8_t cmd, uint8_t option, std::vector<uint8_t>& out);
    // True once the server said DO COM-PORT.
    bool ComPortAccepted() const { return m_comPort; }
    bool ComPortRefused() const { return m_comPortRefused; }
    // Binary mode toward us (the server's WILL BINARY taken) and from us (its DO BINARY).
    bool RemoteBinary() const { return m_remote[kOptBinary]; }
    bool LocalBinary() const { return m_local[kOptBinary]; }

private:
    bool m_local[256] = {};       // options we perform
    bool m_remote[256] = {};      // options the server performs
    bool m_localAsked[256] = {};  // WILL sent, no answer yet
    bool m_remoteAsked[256] = {}; // DO sent, no answer yet
    bool m_started = false;
    bool m_comPort = false;
    bool m_comPortRefused = false;
    void Start();
};

} // namespace Telnet

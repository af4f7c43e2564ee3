#include "serial/platform/TelnetComPort.h"

namespace Telnet {

namespace {

bool WeOffer(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead || option == kOptComPort;
}

bool WeAccept(uint8_t option) {
    return option == kOptBinary || option == kOptSuppressGoAhead;
}

} // namespace

void EscapeData(std::span<const uint8_t> data, std::vector<uint8_t>& out, bool crNul) {
    out.reserve(out.size() + data.size());
    for (uint8_t b : data) {
        out.push_back(b);
        if (b == kIac)
            out.push_back(kIac);
        else if (b == '\r' && crNul)
            out.push_back(0);
    }
}

void AppendNegotiation(uint8_t cmd, uint8_t option, std::vector<uint8_t>& out) {
    out.insert(out.end(), {kIac, cmd, option});
}

void AppendComPort(uint8_t code, std::span<const uint8_t> value, std::vector<uint8_t>& out) {
    out.insert(out.end(), {kIac, kSb, kOptComPort, code});
    EscapeData(value, out);
    out.insert(out.end(), {kIac, kSe});
}

void AppendSetBaudRate(uint32_t baud, std::vector<uint8_t>& out) {
    const uint8_t value[4] = {uint8_t(baud >> 24), uint8_t(baud >> 16), uint8_t(baud >> 8), uint8_t(baud)};
    AppendComPort(kSetBaudRate, value, out);
}

void AppendComPortByte(uint8_t code, uint8_t value, std::vector<uint8_t>& out) {
    AppendComPort(code, std::span<const uint8_t>(&value, 1), out);
}

uint32_t TComPortAnswer::Number() const {
    if (Value.size() != 4)
        return 0;
    return uint32_t(Value[0]) << 24 | uint32_t(Value[1]) << 16 | uint32_t(Value[2]) << 8 | Value[3];
}

void TTelnetDecoder::Reset() {
    m_state = State::Data;
    m_sb.clear();
    m_overlong = false;
    m_afterCr = false;
}

void TTelnetDecoder::PlainData(std::span<const uint8_t> run, std::vector<uint8_t>& data) {
    if (m_binary) {
        data.insert(data.end(), run.begin(), run.end());
        m_afterCr = false;
        return;
    }
    for (uint8_t b : run) {
        if (!(m_afterCr && b == 0))
            data.push_back(b);
        m_afterCr = b == '\r';
    }
}

// The byte after an IAC outside a subnegotiation.
void TTelnetDecoder::Command(uint8_t b, std::vector<uint8_t>& data) {
    if (b == kIac) {
        data.push_back(kIac);
        m_afterCr = false;
        m_state = State::Data;
    } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
        m_cmd = b;
        m_state = State::Negotiation;
    } else if (b == kSb) {
        m_state = State::SbOption;
    } else {
        m_state = State::Data; // NOP, GA, AYT ...: nothing to do
    }
}

void TTelnetDecoder::Feed(std::span<const uint8_t> chunk, std::vector<uint8_t>& data,
                          TTelnetHandler& handler) {
    for (size_t i = 0; i < chunk.size(); ++i) {
        const uint8_t b = chunk[i];
        switch (m_state) {
        case State::Data: {
            // Runs of plain data are copied whole.
            size_t end = i;
            while (end < chunk.size() && chunk[end] != kIac)
                ++end;
            PlainData(chunk.subspan(i, end - i), data);
            if (end < chunk.size())
                m_state = State::Iac;
            i = end;
            break;
        }
        case State::Iac:
            Command(b, data);
            break;
        case State::Negotiation:
            m_state = State::Data;
            handler.OnNegotiation(m_cmd, b);
            break;
        case State::SbOption:
            m_option = b;
            m_sb.clear();
            m_overlong = false;
            m_state = State::SbData;
            break;
        case State::SbData:
            if (b == kIac)
                m_state = State::SbIac;
            else if (m_sb.size() < kMaxSubnegotiation)
                m_sb.push_back(b);
            else
                m_overlong = true;
            break;
        case State::SbIac:
            if (b == kIac) {
                if (m_sb.size() < kMaxSubnegotiation)
                    m_sb.push_back(kIac);
                else
                    m_overlong = true;
                m_state = State::SbData;
            } else if (b == kSe) {
                m_state = State::Data;
                if (m_option == kOptComPort && !m_overlong && !m_sb.empty() && m_sb[0] >= kServerOffset) {
                    TComPortAnswer answer;
                    answer.Code = uint8_t(m_sb[0] - kServerOffset);
                    answer.Value.assign(m_sb.begin() + 1, m_sb.end());
                    handler.OnComPort(answer);
                }
                m_sb.clear();
            } else {
                // IAC and another command inside a subnegotiation: the peer broke it off. The command
                // counts as one.
                m_sb.clear();
                Command(b, data);
            }
            break;
        }
    }
}

void TTelnetNegotiator::Start() {
    if (m_started)
        return;
    m_started = true;
    m_localAsked[kOptComPort] = m_localAsked[kOptBinary] = true;
    m_remoteAsked[kOptBinary] = m_remoteAsked[kOptSuppressGoAhead] = true;
}

void TTelnetNegotiator::AppendOffer(std::vector<uint8_t>& out) {
    Start();
    AppendNegotiation(kWill, kOptComPort, out);
    AppendNegotiation(kWill, kOptBinary, out);
    AppendNegotiation(kDo, kOptBinary, out);
    AppendNegotiation(kDo, kOptSuppressGoAhead, out);
}

void TTelnetNegotiator::Answer(uint8_t cmd, uint8_t option, std::vector<uint8_t>& out) {
    Start();
    switch (cmd) {
    case kDo:
    case kDont: {
        const bool on = cmd == kDo && WeOffer(option);
        const bool asked = m_localAsked[option];
        const bool changed = m_local[option] != on;
        m_localAsked[option] = false;
        m_local[option] = on;
        if (option == kOptComPort) {
            m_comPort = on;
            m_comPortRefused = !on;
        }
        // An answer to our own request, or a request for the state we are in, is not answered (that
        // could loop); a request we cannot take is refused.
        if (!asked && (changed || (cmd == kDo && !on)))
            AppendNegotiation(on ? kWill : kWont, option, out);
        break;
    }
    case kWill:
    case kWont: {
        const bool on = cmd == kWill && WeAccept(option);
        const bool asked = m_remoteAsked[option];
        const bool changed = m_remote[option] != on;
        m_remoteAsked[option] = false;
        m_remote[option] = on;
        if (!asked && (changed || (cmd == kWill && !on)))
            AppendNegotiation(on ? kDo : kDont, option, out);
        break;
    }
    default:
        break;
    }
}

} // namespace Telnet

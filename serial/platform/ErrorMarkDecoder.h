#pragma once

#include <cstdint>

// Decodes received bytes in which the tty marked line errors (PARMRK): 0xFF 0xFF is a data byte 0xFF,
// 0xFF 0x00 0x00 a break, 0xFF 0x00 x a byte x received with a parity or framing error. A mark may be
// split across reads; the state carries over. (A zero byte with an error reads the same as a break.)
class TErrorMarkDecoder {
public:
    enum class TResult { None, Byte, ErrorByte, Break };

    // Feeds one byte; for Byte and ErrorByte the data byte is in *out.
    TResult Feed(uint8_t in, uint8_t* out);
    // A 0xFF that turned out not to start a mark must still be delivered: Feed reports it as Byte and
    // then holds `in` back; Pending() hands it out.
    bool Pending(uint8_t* out);
    void Reset() { m_state = TState::Normal, m_hasHeld = false; }

private:
    enum class TState { Normal, Escape, EscapeZero };
    TState m_state = TState::Normal;
    bool m_hasHeld = false;
    uint8_t m_held = 0;
};

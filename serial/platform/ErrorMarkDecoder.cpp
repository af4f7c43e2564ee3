#include "serial/platform/ErrorMarkDecoder.h"

TErrorMarkDecoder::TResult TErrorMarkDecoder::Feed(uint8_t in, uint8_t* out) {
    switch (m_state) {
    case TState::Normal:
        if (in == 0xFF) {
            m_state = TState::Escape;
            return TResult::None;
        }
        *out = in;
        return TResult::Byte;
    case TState::Escape:
        if (in == 0x00) {
            m_state = TState::EscapeZero;
            return TResult::None;
        }
        m_state = TState::Normal;
        if (in != 0xFF) {
            // Not a mark after all (the tty never sends this): both bytes are data.
            m_held = in;
            m_hasHeld = true;
        }
        *out = 0xFF;
        return TResult::Byte;
    case TState::EscapeZero:
        m_state = TState::Normal;
        if (in == 0x00)
            return TResult::Break;
        *out = in;
        return TResult::ErrorByte;
    }
    return TResult::None;
}

bool TErrorMarkDecoder::Pending(uint8_t* out) {
    if (!m_hasHeld)
        return false;
    m_hasHeld = false;
    *out = m_held;
    return true;
}

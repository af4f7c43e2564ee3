#include "controls/TermPaste.h"

#include "runtime/Exception.h"

#include <algorithm>

TTermPaste::TTermPaste(QObject* parent, TSend send) : QObject(parent), m_send(std::move(send)) {
    m_timer.setInterval(kTickMs);
    connect(&m_timer, &QTimer::timeout, this, [this] { GuardedCall([&] { SendPiece(); }); });
}

QByteArray TTermPaste::LineEndsAsEnter(const QByteArray& text) {
    QByteArray out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue; // the LF that follows stands for the pair
        out += ch == '\n' ? '\r' : ch;
    }
    return out;
}

int TTermPaste::PieceFor(int baud) {
    const qint64 perTick = qint64(baud) / 10 * kTickMs / 1000;
    return int(std::clamp<qint64>(perTick, kMinPiece, kMaxPiece));
}

void TTermPaste::Start(const QByteArray& bytes, int pieceBytes) {
    if (Active()) {
        // A paste under way: this one follows it (cut short, the first would leave a broken command).
        m_bytes += bytes;
        return;
    }
    m_bytes = bytes;
    m_sent = 0;
    m_piece = std::max(1, pieceBytes);
    if (m_bytes.isEmpty())
        return;
    m_timer.start();
    SendPiece();
}

void TTermPaste::SendPiece() {
    if (m_sent >= m_bytes.size()) {
        Finish();
        return;
    }
    const QByteArray piece = m_bytes.mid(m_sent, m_piece);
    m_sent += piece.size();
    // A failing write stops the paste; the error is reported by the caller's guard.
    struct TStopOnThrow {
        TTermPaste* paste;
        bool done = false;
        ~TStopOnThrow() {
            if (!done)
                paste->Finish();
        }
    } guard{this};
    m_send(piece);
    guard.done = true;
    if (!m_timer.isActive())
        return; // stopped from within
    if (OnProgress)
        OnProgress(m_sent, m_bytes.size(), false);
    if (m_sent >= m_bytes.size())
        Finish();
}

void TTermPaste::Stop() {
    if (Active())
        Finish();
}

void TTermPaste::Finish() {
    if (!m_timer.isActive())
        return;
    m_timer.stop();
    if (OnProgress)
        OnProgress(m_sent, m_bytes.size(), true);
}

#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <functional>

// A paste on its way to the port: the text goes out in pieces, one per timer tick, so that a long
// paste never holds the window; Stop drops the rest.
class TTermPaste : public QObject {
    Q_OBJECT
public:
    static constexpr int kTickMs = 10;
    static constexpr int kMinPiece = 16;
    static constexpr int kMaxPiece = 4096;

    using TSend = std::function<void(const QByteArray& piece)>;
    // After every piece, and once more with finished set when the paste ended or was stopped.
    using TProgress = std::function<void(qsizetype sent, qsizetype total, bool finished)>;

    TTermPaste(QObject* parent, TSend send);

    // Line breaks as the Enter key sends them: LF and CR LF become CR.
    static QByteArray LineEndsAsEnter(const QByteArray& text);
    // The piece that a line of `baud` bits per second carries in one tick (8N1: ten bits a byte).
    static int PieceFor(int baud);

    // Sends the first piece at once and the rest on the following ticks; during a paste under way the
    // bytes go out after it, as part of it.
    void Start(const QByteArray& bytes, int pieceBytes);
    void Stop();
    bool Active() const { return m_timer.isActive(); }
    qsizetype Sent() const { return m_sent; }
    qsizetype Total() const { return m_bytes.size(); }

    TProgress OnProgress;

private:
    void SendPiece();
    void Finish();

    TSend m_send;
    QTimer m_timer;
    QByteArray m_bytes;
    qsizetype m_sent = 0;
    int m_piece = kMinPiece;
};

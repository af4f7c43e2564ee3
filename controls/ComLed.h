#pragma once

#include "runtime/Component.h"
#include "serial/ComLink.h"
#include "serial/ComPort.h"

#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>

// A lamp that shows one signal of a port (its connection, CTS, DSR, RLSD, the ring indicator, or
// receive or transmit activity) through a TComLink of its own; without a port it is a plain lamp
// whose State its owner sets.
//
// Edge rules:
// - State cannot be set while a port is set (EComPort code 19); the link decides then.
// - OnChange is raised for every state given to the lamp, also an unchanged one, but not while it is
//   being loaded from a layout nor while it is being destroyed.
// - A change that comes from the port is painted at once (an immediate repaint), but for receive
//   activity, which is painted in the update that ends the port's event, together with the received
//   characters. A link callback from another thread is handed to the lamp's thread.
// - Receive and transmit activity (lsRx, lsTx) are held on the screen: the lit glyph stays painted for
//   at least kActivityHoldMs after the activity ended, so that activity within one port event (on and
//   off in one evRxChar handling) is seen, and a lamp that stays lit through a stream is not painted
//   again for every report. State and OnChange follow the port at once all the same; only the picture
//   is held. DropHold paints the present State at once (the port closed or was lost); any change that
//   does not come from the link (State, ComPort, the ring's end) also ends a hold.
// - A ring lights the lamp for RingDuration ms counted from the first ring of a series: a ring while
//   the lamp is lit by an earlier one does not restart the count.
// - A disabled lamp always looks dark. The glyph is drawn centred; the colour of its lower-left pixel
//   is transparent. The glyphs of a kind are loaded once, at the first paint or on a change of Kind;
//   lkCustom draws what GlyphOn and GlyphOff were given and keeps the glyphs loaded before.
class TComLed : public QWidget, public TComponent {
    Q_OBJECT
    Q_PROPERTY(TCustomComPort* ComPort READ ComPort WRITE SetComPort)
    Q_PROPERTY(TComLedSignal LedSignal READ LedSignal WRITE SetLedSignal)
    Q_PROPERTY(TLedKind Kind READ Kind WRITE SetKind)
    Q_PROPERTY(QPixmap GlyphOn READ GlyphOn WRITE SetGlyphOn)
    Q_PROPERTY(QPixmap GlyphOff READ GlyphOff WRITE SetGlyphOff)
    Q_PROPERTY(TLedState State READ State WRITE SetState)
    Q_PROPERTY(int RingDuration READ RingDuration WRITE SetRingDuration)
    Q_PROPERTY(bool Enabled READ isEnabled WRITE setEnabled)
    Q_PROPERTY(bool Visible READ IsShown WRITE setVisible)
    Q_CLASSINFO("Default.State", "lsOff")
    Q_CLASSINFO("Default.RingDuration", "1000")
    Q_CLASSINFO("Default.Enabled", "true")
    Q_CLASSINFO("Default.Visible", "true")
public:
    enum TComLedSignal { lsConn, lsCTS, lsDSR, lsRLSD, lsRing, lsRx, lsTx };
    Q_ENUM(TComLedSignal)
    enum TLedKind { lkRedLight, lkGreenLight, lkBlueLight, lkYellowLight, lkPurpleLight, lkBulb, lkCustom };
    Q_ENUM(TLedKind)
    enum TLedState { lsOff, lsOn };
    Q_ENUM(TLedState)

    using TLedStateEvent = std::function<void(TComLed* sender, TLedState state)>;

    static constexpr int kDefaultSize = 25;
    static constexpr int kDefaultRingDuration = 1000;
    // Longer than the longest window in which a port collects a continuing stream before reporting it
    // (128 ms): a steady stream shows a steadily lit lamp, painted once, instead of one blink per report.
    static constexpr int kActivityHoldMs = 150;

    explicit TComLed(QWidget* parent = nullptr);
    ~TComLed() override;

    TCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TCustomComPort* port);
    TComLedSignal LedSignal() const { return m_ledSignal; }
    void SetLedSignal(TComLedSignal value);
    TLedKind Kind() const { return m_kind; }
    void SetKind(TLedKind value);
    // The lit and dark glyphs in use; assigning takes effect only while Kind is lkCustom.
    QPixmap GlyphOn() const { return m_glyphOn; }
    void SetGlyphOn(const QPixmap& value);
    QPixmap GlyphOff() const { return m_glyphOff; }
    void SetGlyphOff(const QPixmap& value);
    TLedState State() const { return m_state; }
    void SetState(TLedState value);
    // Milliseconds; a negative value counts as 0 (dark again at once).
    int RingDuration() const { return m_ringOffTimer.interval(); }
    void SetRingDuration(int value);

    TComLink* ComLink() const { return m_comLink.get(); }
    const QTimer& RingOffTimer() const { return m_ringOffTimer; }

    // Whether the lit glyph is what the lamp paints (while enabled): State, or lit while an activity is
    // held on the screen.
    bool ShowsLit() const { return m_shownLit; }
    bool Holding() const { return m_holdTimer.isActive(); }
    // Ends a hold: the present State is painted at once.
    void DropHold();

    QSize sizeHint() const override { return {kDefaultSize, kDefaultSize}; }

    TLedStateEvent OnChange;

protected:
    virtual void DoChange(TLedState state);
    void Notification(TComponent* component, TOperation operation) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowState(TLedState state, bool now);
    // Paints `lit` as the lamp's picture: at once or at the next turn of the event loop.
    void ShowPicture(bool lit, bool now);
    bool HoldsActivity() const { return m_comPort && (m_ledSignal == lsRx || m_ledSignal == lsTx); }
    void LinkSignal(bool onOff);
    void LinkRing();
    void RingOff();
    // The present state of the shown signal of the (open) port.
    TLedState PortState() const;
    void LoadKindGlyphs();
    // Where a glyph is drawn (centred), and the square that both glyphs cover.
    QRect GlyphRect(const QPixmap& glyph) const;
    QRect GlyphArea() const;
    bool IsShown() const { return !isHidden(); }
    // Runs a link callback in the lamp's own thread.
    template <class F> void InLampThread(F&& f);

    TCustomComPort* m_comPort = nullptr; // not owned
    std::unique_ptr<TComLink> m_comLink;
    TComLedSignal m_ledSignal = lsConn;
    TLedKind m_kind = lkRedLight;
    TLedState m_state = lsOff;
    QPixmap m_glyphOn;
    QPixmap m_glyphOff;
    QTimer m_ringOffTimer;
    QTimer m_holdTimer;
    bool m_shownLit = false; // the picture, which may be held lit after State went off
    bool m_destroying = false;
};

using TComLedSignal = TComLed::TComLedSignal;
using TLedKind = TComLed::TLedKind;
using TLedState = TComLed::TLedState;
using enum TComLed::TComLedSignal;
using enum TComLed::TLedKind;
using enum TComLed::TLedState;

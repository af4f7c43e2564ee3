#include "controls/ComLed.h"

#include "resources/Glyphs.h"
#include "runtime/Exception.h"

#include <QEvent>
#include <QPainter>
#include <QThread>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

struct TKindGlyphs {
    const char* On;
    const char* Off;
};

// By TLedKind, lkCustom excluded.
// clang-format off
constexpr TKindGlyphs kKindGlyphs[] = {
    {"LEDREDON",    "LEDREDOFF"},
    {"LEDGREENON",  "LEDGREENOFF"},
    {"LEDBLUEON",   "LEDBLUEOFF"},
    {"LEDYELLOWON", "LEDYELLOWOFF"},
    {"LEDPURPLEON", "LEDPURPLEOFF"},
    {"LEDBULBON",   "LEDBULBOFF"},
};
// clang-format on
static_assert(std::size(kKindGlyphs) == size_t(TComLed::lkCustom));

} // namespace

TComLed::TComLed(QWidget* parent)
    : QWidget(parent), TComponent(this), m_comLink(std::make_unique<TComLink>()) {
    resize(kDefaultSize, kDefaultSize);
    m_comLink->OnConnChange = [this](TCustomComPort*, bool onOff) { LinkSignal(onOff); };
    // The ring's lit time is counted in milliseconds, not within the 5 % slack of a coarse timer.
    m_ringOffTimer.setTimerType(Qt::PreciseTimer);
    m_ringOffTimer.setInterval(kDefaultRingDuration);
    connect(&m_ringOffTimer, &QTimer::timeout, this, [this] { GuardedCall([this] { RingOff(); }); });
    m_holdTimer.setTimerType(Qt::PreciseTimer);
    m_holdTimer.setSingleShot(true);
    m_holdTimer.setInterval(kActivityHoldMs);
    connect(&m_holdTimer, &QTimer::timeout, this,
            [this] { GuardedCall([this] { ShowPicture(m_state == lsOn, false); }); });
}

TComLed::~TComLed() {
    m_destroying = true;
    m_ringOffTimer.stop();
    m_holdTimer.stop();
    if (m_comPort) {
        TCustomComPort* old = std::exchange(m_comPort, nullptr);
        RemoveFreeNotification(old);
        GuardedCall([&] { old->UnregisterLink(m_comLink.get()); });
    }
}

void TComLed::SetComPort(TCustomComPort* port) {
    if (port == m_comPort)
        return;
    if (m_comPort) {
        TCustomComPort* old = std::exchange(m_comPort, nullptr);
        RemoveFreeNotification(old);
        old->UnregisterLink(m_comLink.get());
    }
    m_comPort = port;
    if (port) {
        FreeNotification(port);
        port->RegisterLink(m_comLink.get());
        if (port->Connected() && !Loading() && !Designing())
            ShowState(PortState(), false);
    } else {
        ShowState(lsOff, false);
    }
}

void TComLed::SetLedSignal(TComLedSignal value) {
    if (value == m_ledSignal)
        return;
    m_ledSignal = value;
    TComLink& link = *m_comLink;
    link.OnConnChange = nullptr;
    link.OnCTSChange = nullptr;
    link.OnDSRChange = nullptr;
    link.OnRLSDChange = nullptr;
    link.OnRing = nullptr;
    link.OnTxChange = nullptr;
    link.OnRxChange = nullptr;
    auto signal = [this](TCustomComPort*, bool onOff) { LinkSignal(onOff); };
    switch (value) {
    case lsConn:
        link.OnConnChange = signal;
        break;
    case lsCTS:
        link.OnCTSChange = signal;
        break;
    case lsDSR:
        link.OnDSRChange = signal;
        break;
    case lsRLSD:
        link.OnRLSDChange = signal;
        break;
    case lsRing:
        link.OnRing = [this](TCustomComPort*) { LinkRing(); };
        break;
    case lsRx:
        link.OnRxChange = signal;
        break;
    case lsTx:
        link.OnTxChange = signal;
        break;
    }
}

void TComLed::SetKind(TLedKind value) {
    if (value == m_kind)
        return;
    m_kind = value;
    LoadKindGlyphs();
    update();
}

void TComLed::SetGlyphOn(const QPixmap& value) {
    if (m_kind != lkCustom)
        return;
    m_glyphOn = QPixmap::fromImage(WithAutoTransparency(value.toImage()));
    update();
}

void TComLed::SetGlyphOff(const QPixmap& value) {
    if (m_kind != lkCustom)
        return;
    m_glyphOff = QPixmap::fromImage(WithAutoTransparency(value.toImage()));
    update();
}

void TComLed::SetState(TLedState value) {
    if (m_comPort)
        throw EComPort(CError_LedStateFailed);
    ShowState(value, false);
}

void TComLed::SetRingDuration(int value) {
    value = std::max(0, value);
    if (value != m_ringOffTimer.interval())
        m_ringOffTimer.setInterval(value);
}

void TComLed::DoChange(TLedState state) {
    if (OnChange)
        OnChange(this, state);
}

// The one place where the lamp changes. The picture is brought up to date before OnChange runs, so
// a failing handler cannot leave a stale lamp; `now` (a change from the link) paints before returning
// instead of at the next turn of the event loop.
void TComLed::ShowState(TLedState state, bool now) {
    m_state = state;
    if (now && HoldsActivity()) {
        // Activity: lit at once; dark once it has been over for the hold time, so that a report whose
        // on and off follow within one event is seen, and a stream of reports paints nothing more.
        if (state == lsOn) {
            m_holdTimer.stop();
            // Receive activity is painted with the characters it brings: in the one update that ends the
            // port's event, not in a paint and flush of its own before the data is even read. A write
            // may wait for its completion: its lamp is painted before that.
            ShowPicture(true, m_ledSignal != lsRx);
        } else if (m_shownLit) {
            m_holdTimer.start();
        }
    } else {
        m_holdTimer.stop();
        ShowPicture(state == lsOn, now);
    }
    if (!Loading() && !m_destroying)
        DoChange(state);
}

void TComLed::ShowPicture(bool lit, bool now) {
    if (lit == m_shownLit)
        return;
    m_shownLit = lit;
    if (!isEnabled())
        return;
    // Only the glyph changes: painting just its square keeps the siblings it overlaps (the caption under
    // the lamp) and the panel out of a paint that runs for every report of received data.
    const QRect area = GlyphArea();
    if (now)
        repaint(area);
    else
        update(area);
}

void TComLed::DropHold() {
    m_holdTimer.stop();
    ShowPicture(m_state == lsOn, true);
}

template <class F> void TComLed::InLampThread(F&& f) {
    if (QThread::currentThread() == thread()) {
        f();
        return;
    }
    // Under smNone the port calls its links in its event thread; a widget is only touched in its own.
    QMetaObject::invokeMethod(
        this, [f = std::forward<F>(f)]() mutable { GuardedCall(f); }, Qt::QueuedConnection);
}

void TComLed::LinkSignal(bool onOff) {
    InLampThread([this, onOff] { ShowState(onOff ? lsOn : lsOff, true); });
}

void TComLed::LinkRing() {
    InLampThread([this] {
        if (!m_ringOffTimer.isActive())
            m_ringOffTimer.start();
        ShowState(lsOn, true);
    });
}

void TComLed::RingOff() {
    m_ringOffTimer.stop();
    ShowState(lsOff, false);
}

TLedState TComLed::PortState() const {
    if (!m_comPort)
        return lsOff;
    auto onIf = [](bool on) { return on ? lsOn : lsOff; };
    switch (m_ledSignal) {
    case lsConn:
        return onIf(m_comPort->Connected());
    case lsCTS:
        return onIf(m_comPort->ModemSignals().testFlag(msCTS));
    case lsDSR:
        return onIf(m_comPort->ModemSignals().testFlag(msDSR));
    case lsRLSD:
        return onIf(m_comPort->ModemSignals().testFlag(msRLSD));
    case lsRing:
    case lsRx:
    case lsTx:
        break;
    }
    return lsOff;
}

void TComLed::LoadKindGlyphs() {
    if (m_kind < 0 || size_t(m_kind) >= std::size(kKindGlyphs))
        return; // lkCustom, or a value no kind has
    const TKindGlyphs& names = kKindGlyphs[m_kind];
    m_glyphOn = LoadGlyph(QLatin1String(names.On));
    m_glyphOff = LoadGlyph(QLatin1String(names.Off));
}

void TComLed::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    // Told from the port's destructor: nothing may leave this call.
    if (operation == TOperation::opRemove && m_comPort && component == static_cast<TComponent*>(m_comPort))
        GuardedCall([this] { SetComPort(nullptr); });
}

QRect TComLed::GlyphRect(const QPixmap& glyph) const {
    const int x = std::max(0, (width() - glyph.width()) / 2);
    const int y = std::max(0, (height() - glyph.height()) / 2);
    return QRect(x, y, glyph.width(), glyph.height());
}

QRect TComLed::GlyphArea() const {
    if (m_glyphOn.isNull() || m_glyphOff.isNull())
        return rect(); // not loaded yet: the paint loads them
    return (GlyphRect(m_glyphOn) | GlyphRect(m_glyphOff)) & rect();
}

void TComLed::paintEvent(QPaintEvent*) {
    GuardedCall([this] {
        if (m_glyphOn.isNull() || m_glyphOff.isNull())
            LoadKindGlyphs();
        const QPixmap& glyph = isEnabled() && m_shownLit ? m_glyphOn : m_glyphOff;
        if (glyph.isNull())
            return;
        QPainter painter(this);
        painter.drawPixmap(GlyphRect(glyph).topLeft(), glyph);
    });
}

void TComLed::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange)
        update();
}

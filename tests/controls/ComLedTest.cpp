// The signal lamp: what it draws, how its state follows the port's link (on pseudo-terminals and the
// null-modem cable), the ring timer and the refusal of State while a port decides it.
#include "controls/ComLed.h"

#include "ShownWidgets.h"

#include "resources/Glyphs.h"
#include "runtime/Exception.h"
#include "serial/platform/VirtualSerialDevice.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QTest>

#include <functional>
#include <thread>
#include <vector>

namespace {

constexpr QRgb kTransparent = 0;

// What the widget paints (with its children), on a transparent ground.
QImage Shot(QWidget& w) {
    QImage image(w.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    w.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

// Compares the glyph drawn at `origin` of `shot` with the glyph; its transparent pixels must show
// `background`, and so must every pixel of the shot outside the glyph.
::testing::AssertionResult ShowsGlyph(const QImage& shot, QPoint origin, const QImage& glyph,
                                      QRgb background) {
    if (glyph.isNull())
        return ::testing::AssertionFailure() << "no glyph";
    const QRect area(origin, glyph.size());
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            QRgb want = background;
            if (area.contains(x, y)) {
                const QRgb g = glyph.pixel(x - origin.x(), y - origin.y());
                if (qAlpha(g) != 0)
                    want = g;
            }
            if (shot.pixel(x, y) != want)
                return ::testing::AssertionFailure() << "pixel (" << x << ", " << y << ") is " << std::hex
                                                     << shot.pixel(x, y) << ", want " << want;
        }
    }
    return ::testing::AssertionSuccess();
}

QImage Glyph(const char* name) {
    return LoadGlyphImage(QLatin1String(name));
}

// The lamp's glyph drawn centred in a 25 x 25 lamp: freshly rendered on a transparent ground, or as the
// screen shows it on `background`.
::testing::AssertionResult Drawn(QWidget& led, const char* glyph) {
    return ShowsGlyph(Shot(led), {5, 5}, Glyph(glyph), kTransparent);
}
QImage LampOnScreen(QWidget& led) {
    return OnScreen(&led, QImage::Format_ARGB32_Premultiplied);
}
::testing::AssertionResult Shown(QWidget& led, const char* glyph, QRgb background) {
    return ShowsGlyph(LampOnScreen(led), {5, 5}, Glyph(glyph), background);
}
// The screen's colour around the lamp, once it shows `glyph`.
QRgb BackgroundOnceShown(QWidget& led, const char* glyph) {
    EXPECT_TRUE(WaitUntil([&] { return Shown(led, glyph, LampOnScreen(led).pixel(0, 0)); }));
    return LampOnScreen(led).pixel(0, 0);
}

// A lamp in a shown window, recording every OnChange; given a port, it then shows that signal of it.
struct TShownLed {
    QWidget window;
    TComLed* led = new TComLed(&window);
    std::vector<TLedState> changes;

    explicit TShownLed(TComLedSignal signal = lsConn, TComPort* port = nullptr) {
        led->move(10, 10);
        led->OnChange = [this](TComLed*, TLedState s) { changes.push_back(s); };
        window.resize(60, 60);
        window.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&window));
        if (port) {
            led->SetLedSignal(signal);
            led->SetComPort(port);
        }
    }
};

QImage Checker(QColor face, QColor corner, QSize size) {
    QImage image(size, QImage::Format_RGB32);
    image.fill(face);
    image.setPixelColor(0, size.height() - 1, corner);
    image.setPixelColor(size.width() - 1, 0, corner); // same colour: transparent too
    return image;
}

} // namespace

TEST(ComLed, ANewLampIsADarkRedLampDrawnCentredAndTransparent) {
    TComLed led;
    EXPECT_TRUE(led.GlyphOn().isNull()) << "nothing is loaded before the first paint";

    EXPECT_TRUE(Drawn(led, "LEDREDOFF"));
    EXPECT_EQ(led.GlyphOn().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
              Glyph("LEDREDON"));
    EXPECT_EQ(led.GlyphOff().toImage().convertToFormat(QImage::Format_ARGB32_Premultiplied),
              Glyph("LEDREDOFF"));

    // Centred in any size; never left of or above the corner when the control is smaller.
    led.resize(40, 20);
    EXPECT_TRUE(ShowsGlyph(Shot(led), {12, 2}, Glyph("LEDREDOFF"), kTransparent));
    led.resize(10, 10);
    EXPECT_EQ(Shot(led).pixel(0, 0), Glyph("LEDREDOFF").pixel(0, 0));

    // The parent's background shows through the glyph's transparent pixels.
    QWidget host;
    host.setAutoFillBackground(true);
    QPalette palette = host.palette();
    palette.setColor(QPalette::Window, QColor(0, 0, 255));
    host.setPalette(palette);
    host.resize(25, 25);
    auto* onHost = new TComLed(&host);
    onHost->SetState(lsOn);
    EXPECT_TRUE(ShowsGlyph(host.grab().toImage(), {5, 5}, Glyph("LEDREDON"), qRgb(0, 0, 255)));
}

TEST(ComLed, EveryKindDrawsItsGlyphsAndADisabledLampIsDark) {
    struct TCase {
        TLedKind kind;
        const char *on, *off;
    };
    const TCase cases[] = {
        {lkRedLight, "LEDREDON", "LEDREDOFF"},          {lkGreenLight, "LEDGREENON", "LEDGREENOFF"},
        {lkBlueLight, "LEDBLUEON", "LEDBLUEOFF"},       {lkYellowLight, "LEDYELLOWON", "LEDYELLOWOFF"},
        {lkPurpleLight, "LEDPURPLEON", "LEDPURPLEOFF"}, {lkBulb, "LEDBULBON", "LEDBULBOFF"},
    };
    QWidget parent;
    TComLed* led = new TComLed(&parent);
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.on);
        led->SetKind(c.kind);
        led->SetState(lsOn);
        EXPECT_TRUE(Drawn(*led, c.on));
        led->setEnabled(false);
        EXPECT_TRUE(Drawn(*led, c.off));
        led->setEnabled(true);
        led->SetState(lsOff);
        EXPECT_TRUE(Drawn(*led, c.off));
    }
    led->SetState(lsOn);
    parent.setEnabled(false); // disabled through its parent
    EXPECT_TRUE(Drawn(*led, "LEDBULBOFF"));
    parent.setEnabled(true);
    EXPECT_TRUE(Drawn(*led, "LEDBULBON"));
}

TEST(ComLed, CustomGlyphsAreTakenOnlyForTheCustomKind) {
    TComLed led;
    led.SetKind(lkBlueLight);
    const QImage corner = Checker(Qt::white, QColor(128, 128, 0), {9, 7});
    led.SetGlyphOn(QPixmap::fromImage(corner));
    EXPECT_TRUE(Drawn(led, "LEDBLUEOFF"));
    led.SetState(lsOn);
    EXPECT_TRUE(Drawn(led, "LEDBLUEON")) << "ignored for lkBlueLight";

    led.SetKind(lkCustom);
    EXPECT_TRUE(Drawn(led, "LEDBLUEON")) << "the glyphs loaded before stay";
    led.SetGlyphOn(QPixmap::fromImage(corner));
    const QImage shot = Shot(led); // 9 x 7 centred at (8, 9); the lower-left colour is transparent
    EXPECT_EQ(shot.pixel(8, 9), qRgb(255, 255, 255));
    EXPECT_EQ(shot.pixel(8, 9 + 6), kTransparent);
    EXPECT_EQ(shot.pixel(8 + 8, 9), kTransparent);
    led.SetGlyphOff(QPixmap::fromImage(Checker(Qt::red, Qt::black, {25, 25})));
    led.SetState(lsOff);
    EXPECT_EQ(Shot(led).pixel(12, 12), qRgb(255, 0, 0));
}

TEST(ComLed, StateIsRefusedWhileAPortDecidesIt) {
    auto port = std::make_unique<TComPort>();
    TShownLed s;
    s.led->SetState(lsOff);
    s.led->SetState(lsOff);
    EXPECT_EQ(s.changes, (std::vector<TLedState>{lsOff, lsOff})) << "raised also when unchanged";

    s.led->SetComPort(port.get());
    s.changes.clear();
    try {
        s.led->SetState(lsOn);
        FAIL() << "code 19 expected";
    } catch (const EComPort& e) {
        EXPECT_EQ(e.Code(), CError_LedStateFailed);
        EXPECT_EQ(e.Message(), "Cannot change led state if ComPort is selected");
    }
    EXPECT_EQ(s.led->State(), lsOff);
    EXPECT_TRUE(s.changes.empty());

    port.reset(); // removed: the lamp forgets it (and is told dark)
    EXPECT_EQ(s.led->ComPort(), nullptr);
    EXPECT_EQ(s.changes, (std::vector<TLedState>{lsOff}));
    s.led->SetState(lsOn);
    EXPECT_EQ(s.led->State(), lsOn);
    EXPECT_EQ(s.changes.back(), lsOn);
    EXPECT_TRUE(Drawn(*s.led, "LEDREDON"));
}

TEST(ComLed, ConnectionAndModemLinesFollowThePortThroughTheNullModem) {
    auto pair = TVirtualSerialPair::Create("LEDLINES");
    ASSERT_NE(pair, nullptr);
    TComPort near, far;
    near.SetPort("LEDLINESA");
    far.SetPort("LEDLINESB");
    TShownLed conn, cts;
    conn.led->SetComPort(&near);
    cts.led->SetLedSignal(lsCTS);
    cts.led->SetComPort(&near);

    near.SetConnected(true);
    EXPECT_EQ(conn.led->State(), lsOn);
    EXPECT_EQ(cts.led->State(), lsOff);

    far.SetConnected(true);
    far.SetRTSLine(true);
    ASSERT_TRUE(WaitUntil([&] { return cts.led->State() == lsOn; }));

    // Bound to an open port, a lamp shows the line's present state at once.
    TShownLed late(lsCTS, &near);
    EXPECT_EQ(late.led->State(), lsOn);
    EXPECT_EQ(late.changes, (std::vector<TLedState>{lsOn}));

    // While being loaded from a layout it computes nothing and tells nothing.
    TComLed loading;
    std::vector<TLedState> loadingChanges;
    loading.OnChange = [&](TComLed*, TLedState st) { loadingChanges.push_back(st); };
    loading.BeginLoading();
    loading.SetComPort(&near);
    loading.Loaded();
    EXPECT_EQ(loading.State(), lsOff);
    EXPECT_TRUE(loadingChanges.empty());

    near.SetConnected(false);
    EXPECT_EQ(conn.led->State(), lsOff);
    EXPECT_EQ(cts.led->State(), lsOff);
    EXPECT_EQ(late.led->State(), lsOff);
}

TEST(ComLed, RingsKeepTheLampLitForTheDurationFromTheFirstRing) {
    auto pair = TVirtualSerialPair::Create("LEDRING");
    ASSERT_NE(pair, nullptr);
    TComPort port;
    port.SetPort("LEDRINGA");
    port.SetConnected(true);
    TShownLed s(lsRing, &port);
    ASSERT_EQ(s.led->RingDuration(), 1000);

    QElapsedTimer clock;
    std::vector<std::pair<TLedState, qint64>> seen;
    s.led->OnChange = [&](TComLed*, TLedState st) { seen.emplace_back(st, clock.elapsed()); };
    clock.start();
    pair->PulseRing(TVirtualSerialPair::kEndA);
    ASSERT_TRUE(WaitUntil([&] { return !seen.empty(); }));
    ASSERT_EQ(seen[0].first, lsOn);
    const qint64 firstRing = seen[0].second;
    EXPECT_TRUE(s.led->RingOffTimer().isActive());

    ASSERT_TRUE(WaitUntil([&] { return clock.elapsed() >= firstRing + 600; }));
    ASSERT_EQ(s.led->State(), lsOn);
    pair->PulseRing(TVirtualSerialPair::kEndA);
    ASSERT_TRUE(WaitUntil([&] { return seen.size() >= 2; }));
    EXPECT_EQ(seen[1].first, lsOn);
    const qint64 secondRing = seen[1].second;
    EXPECT_LT(s.led->RingOffTimer().remainingTime(), 450) << "the second ring does not restart the count";

    ASSERT_TRUE(WaitUntil([&] { return s.led->State() == lsOff; }));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_GE(seen[2].second - firstRing, 995);
    EXPECT_LT(seen[2].second - secondRing, 1000);
    EXPECT_FALSE(s.led->RingOffTimer().isActive());
}

TEST(ComLed, TransmitLampLightsOnAWriteAndGoesDarkWhenTheOutputHasDrained) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetBaudRate(br38400);
    port.SetConnected(true);
    TShownLed s(lsTx, &port);
    EXPECT_EQ(s.led->State(), lsOff);
    s.changes.clear();

    // A listener registered after the lamp sees the lamp already lit and darkened.
    TLedState atTxOn = lsOff, atTxEmpty = lsOn;
    bool drained = false;
    TComLink probe;
    probe.OnTxChange = [&](TCustomComPort*, bool on) {
        if (on)
            atTxOn = s.led->State();
    };
    probe.OnTxEmpty = [&](TCustomComPort*) {
        atTxEmpty = s.led->State();
        drained = true;
    };
    port.RegisterLink(&probe);

    EXPECT_EQ(port.WriteText("R"), 1);
    EXPECT_EQ(atTxOn, lsOn);
    ASSERT_FALSE(s.changes.empty());
    EXPECT_EQ(s.changes.front(), lsOn);
    ASSERT_TRUE(WaitUntil([&] { return drained; }));
    EXPECT_EQ(atTxEmpty, lsOff);
    EXPECT_EQ(s.led->State(), lsOff);
    EXPECT_EQ(s.changes, (std::vector<TLedState>{lsOn, lsOff}));
    EXPECT_EQ(pty.Read(1), QByteArray("R"));

    // Switching the signal keeps the lamp as it is until the next notification of the new one.
    s.led->ComLink()->OnTxChange(&port, true);
    s.led->SetLedSignal(lsRx);
    EXPECT_EQ(s.led->State(), lsOn);
    EXPECT_FALSE(s.led->ComLink()->OnTxChange);
    ASSERT_TRUE(s.led->ComLink()->OnRxChange);
    s.led->ComLink()->OnRxChange(&port, false);
    EXPECT_EQ(s.led->State(), lsOff);
    port.UnregisterLink(&probe);
}

TEST(ComLed, ReceiveActivityWithinOneEventIsShownOnTheScreen) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetConnected(true);
    TShownLed s;
    s.led->SetKind(lkGreenLight);
    s.led->SetLedSignal(lsRx);
    s.led->SetComPort(&port);
    s.changes.clear();

    // On and off follow within one evRxChar handling: the lit glyph is painted with the received data
    // when the event has been handled, and held.
    QByteArray received;
    TComLink probe;
    probe.OnRxBuf = [&](TCustomComPort*, const void* b, int n) {
        received.append(static_cast<const char*>(b), n);
    };
    port.RegisterLink(&probe);
    std::vector<bool> paintedLit;
    TPaintWatch watch([&](const QRegion&) { paintedLit.push_back(s.led->ShowsLit()); });
    s.led->installEventFilter(&watch);

    // The change of Kind is painted at the next turn of the event loop.
    const QRgb background = BackgroundOnceShown(*s.led, "LEDGREENOFF");
    paintedLit.clear();
    pty.Write("x");
    ASSERT_TRUE(WaitUntil([&] { return received == "x" && !paintedLit.empty(); }));
    EXPECT_EQ(s.changes, (std::vector<TLedState>{lsOn, lsOff}));
    EXPECT_EQ(s.led->State(), lsOff);
    EXPECT_TRUE(paintedLit.front()) << "the lit glyph was painted although State is off again";
    // Dark again once the activity's hold is over.
    EXPECT_TRUE(WaitUntil([&] { return Shown(*s.led, "LEDGREENOFF", background); }));
    s.led->removeEventFilter(&watch);
    port.UnregisterLink(&probe);
}

TEST(ComLed, ActivityStaysLitOnTheScreenForTheHoldWhileStateAndOnChangeFollowAtOnce) {
    // The links are called directly, as the port calls them; the port stays closed.
    TComPort port;
    struct TCase {
        TComLedSignal signal;
        TComLink::TSignal TComLink::*slot;
        bool held;
        bool painted; // the lit glyph at once, or with the update that ends the port's event
    };
    const TCase cases[] = {
        {lsRx, &TComLink::OnRxChange, true, false},
        {lsTx, &TComLink::OnTxChange, true, true},
        {lsConn, &TComLink::OnConnChange, false, true},
        {lsCTS, &TComLink::OnCTSChange, false, true},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(int(c.signal));
        TShownLed s(c.signal, &port);
        const QRgb background = BackgroundOnceShown(*s.led, "LEDREDOFF");
        int paints = 0;
        TPaintWatch counter([&](const QRegion&) { ++paints; });
        s.led->installEventFilter(&counter);
        auto signal = [&](bool on) { ((*s.led->ComLink()).*c.slot)(&port, on); };

        // Three reports within one hold: every change is told, the lit glyph is painted once and stays.
        QElapsedTimer sinceOff;
        for (int i = 0; i < 3; ++i) {
            signal(true);
            if (!c.painted) {
                EXPECT_EQ(paints, i == 0 ? 0 : 1);
                QCoreApplication::sendPostedEvents(); // the event has ended: its update runs
            }
            EXPECT_TRUE(Shown(*s.led, "LEDREDON", background));
            sinceOff.start();
            signal(false);
        }
        EXPECT_EQ(s.changes, (std::vector<TLedState>{lsOn, lsOff, lsOn, lsOff, lsOn, lsOff}));
        EXPECT_EQ(s.led->State(), lsOff);
        EXPECT_EQ(s.led->ShowsLit(), c.held);
        EXPECT_EQ(paints, c.held ? 1 : 6);
        EXPECT_TRUE(Shown(*s.led, c.held ? "LEDREDON" : "LEDREDOFF", background));
        ASSERT_TRUE(WaitUntil([&] { return Shown(*s.led, "LEDREDOFF", background); }));
        if (c.held) {
            EXPECT_GE(sinceOff.elapsed(), TComLed::kActivityHoldMs);
        }

        // Dropping a hold (the port closed) or leaving the port paints the present state at once.
        signal(true);
        signal(false);
        EXPECT_EQ(s.led->Holding(), c.held);
        s.led->DropHold();
        EXPECT_FALSE(s.led->Holding());
        EXPECT_TRUE(Shown(*s.led, "LEDREDOFF", background));
        signal(true);
        s.led->DropHold();
        EXPECT_TRUE(s.led->ShowsLit()) << "State is kept";
        signal(false);
        s.led->SetComPort(nullptr);
        EXPECT_FALSE(s.led->ShowsLit());
        EXPECT_FALSE(s.led->Holding());
        s.led->removeEventFilter(&counter);
    }
}

TEST(ComLed, ADestroyedLampLeavesThePortAndAnotherThreadsCallIsHandedOver) {
    TPtyPair pty;
    TComPort port;
    port.SetPort(QString::fromStdString(pty.SlavePath()));
    port.SetConnected(true);
    {
        TShownLed s(lsTx, &port);
        s.led->OnChange = [](TComLed*, TLedState) { ADD_FAILURE() << "no change while destroyed"; };
    }
    // The link is gone from the port: a write and a close call nothing of the lamp.
    EXPECT_EQ(port.WriteText("abc"), 3);
    EXPECT_EQ(pty.Read(3), QByteArray("abc"));

    // A ring (which a pty never reports) called from another thread lights the lamp and starts its
    // timer in the lamp's own thread.
    TShownLed s(lsRing, &port);
    std::thread other([&] { s.led->ComLink()->OnRing(&port); });
    other.join();
    EXPECT_EQ(s.led->State(), lsOff) << "not touched from the other thread";
    ASSERT_TRUE(WaitUntil([&] { return s.led->State() == lsOn; }));
    EXPECT_TRUE(s.led->RingOffTimer().isActive());
    port.SetConnected(false);
}

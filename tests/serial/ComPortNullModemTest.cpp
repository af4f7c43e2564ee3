// Modem lines, line errors, breaks, rings and the remaining line events, which a pseudo-terminal
// cannot show, through the in-process null-modem cable.
#include "serial/ComPort.h"
#include "serial/ComPortWindow.h"
#include "serial/platform/VirtualSerialDevice.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QRegularExpression>

namespace {

// A cable with a port on each end; only `near` is opened by the fixture.
class NullModem : public ::testing::Test {
protected:
    void SetUp() override {
        static int serial = 0;
        m_pair = TVirtualSerialPair::Create("VNULLTEST" + std::to_string(++serial));
        ASSERT_NE(m_pair, nullptr);
        near.SetPort(QString::fromStdString(m_pair->EndName(TVirtualSerialPair::kEndA)));
        far.SetPort(QString::fromStdString(m_pair->EndName(TVirtualSerialPair::kEndB)));
    }
    TVirtualSerialPair& Pair() { return *m_pair; }

    TEventLog log; // outlives the ports, whose destruction still reports
    std::unique_ptr<TVirtualSerialPair> m_pair;
    TComPort near, far;
};

} // namespace

TEST_F(NullModem, DtrAndRtsShowAsDsrRlsdAndCtsAtTheOtherEnd) {
    near.SetEvents({});
    far.SetEvents({});
    near.OpenPort();
    far.OpenPort();
    EXPECT_EQ(far.ModemSignals(), TModemSignals());
    near.SetDTRLine(true);
    EXPECT_EQ(far.ModemSignals(), TModemSignals(msDSR | msRLSD));
    near.SetRTSLine(true);
    EXPECT_EQ(far.ModemSignals(), TModemSignals(msCTS | msDSR | msRLSD));
    near.SetDTRLine(false);
    EXPECT_EQ(far.ModemSignals(), TModemSignals(msCTS));
    EXPECT_EQ(near.ModemSignals(), TModemSignals()) << "the far end raised nothing";
}

TEST_F(NullModem, LineErrorsAreMappedAndClearedByTheQuery) {
    near.SetEvents({});
    near.OpenPort();
    Pair().InjectLineErrors(TVirtualSerialPair::kEndA, 0x8118);
    EXPECT_EQ(near.LineErrors(), TComErrors(ceMode | ceTxFull | ceBreak | ceFrame));
    EXPECT_EQ(near.LineErrors(), TComErrors());

    // A parity error counts only while parity checking is on; other bits are ignored.
    Pair().InjectLineErrors(TVirtualSerialPair::kEndA, 0x0004 | 0x0020);
    EXPECT_EQ(near.LineErrors(), TComErrors());
    near.Parity()->SetCheck(true);
    Pair().InjectLineErrors(TVirtualSerialPair::kEndA, 0x0004 | 0x0001 | 0x0002 | 0x0400);
    EXPECT_EQ(near.LineErrors(), TComErrors(ceRxParity | ceRxOver | ceOverrun | ceIO));

    // The input count uses the same query: errors flagged before it are gone afterwards.
    Pair().InjectLineErrors(TVirtualSerialPair::kEndA, 0x0008);
    EXPECT_EQ(near.InputQueueCount(), 0);
    EXPECT_EQ(near.LineErrors(), TComErrors());
}

// Opening reports the lines as they are; closing reports them off before the device goes.
TEST_F(NullModem, OpenAndCloseReportThePresentLineStates) {
    far.SetEvents({});
    far.OpenPort();
    far.SetDTRLine(true);
    far.SetRTSLine(true);
    HookPort(near, log);
    TComLink link;
    FillLink(link, "L", log, false);
    near.RegisterLink(&link);
    near.OpenPort();
    EXPECT_EQ(log.Lines,
              (QStringList{"OnBeforeOpen", "L.Conn(1)", "OnAfterOpen", "L.CTS(1)", "OnCTSChange(1)",
                           "L.DSR(1)", "OnDSRChange(1)", "L.RLSD(1)", "OnRLSDChange(1)"}));
    log.Lines.clear();
    near.ClosePort();
    EXPECT_EQ(log.Lines, (QStringList{"L.CTS(0)", "L.DSR(0)", "L.RLSD(0)", "OnCTSChange(0)", "OnDSRChange(0)",
                                      "OnRLSDChange(0)", "OnBeforeClose", "L.Conn(0)", "OnAfterClose"}));
    near.UnregisterLink(&link);
}

TEST_F(NullModem, LineEventsReachLinksThenHandlersInTheMainThread) {
    HookPort(near, log);
    TComLink link;
    FillLink(link, "L", log, false);
    near.RegisterLink(&link);
    near.SetEventChar('!');
    near.OpenPort();
    far.OpenPort();
    log.Lines.clear();

    far.SetRTSLine(true);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnCTSChange(1)"); }));
    far.SetDTRLine(true);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRLSDChange(1)"); }));
    Pair().PulseRing(TVirtualSerialPair::kEndA);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRing"); }));
    Pair().InjectBreak(TVirtualSerialPair::kEndA);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnBreak"); }));
    // The break is still flagged: the first error query reports it together with the framing error.
    Pair().InjectLineErrors(TVirtualSerialPair::kEndA, 0x0008);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnError(9)"); }));
    far.WriteText("x!");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRxFlag"); }));

    const QStringList order = log.Lines.filter(
        QRegularExpression("^(L\\.(CTS|DSR|RLSD|Ring|RxFlag)|On(CTS|DSR|RLSD|Ring|RxFlag))"));
    EXPECT_EQ(order.indexOf("L.CTS(1)") + 1, order.indexOf("OnCTSChange(1)")) << "the link hears first";
    EXPECT_EQ(order.indexOf("L.Ring") + 1, order.indexOf("OnRing"));
    EXPECT_EQ(order.indexOf("L.RxFlag") + 1, order.indexOf("OnRxFlag"));
    EXPECT_TRUE(log.Contains("L.DSR(1)"));
    EXPECT_TRUE(log.Contains("OnRxChar(2)")) << "no data link: the handler gets the count";
    EXPECT_TRUE(log.AllInMainThread);
    near.ClosePort();
    near.UnregisterLink(&link);
}

TEST_F(NullModem, InputQueueAtEightyPercentRaisesRx80Full) {
    HookPort(near, log);
    near.OnRxChar = nullptr; // leave the bytes waiting
    near.Buffer()->SetInputSize(100);
    near.OpenPort();
    far.OpenPort();
    far.WriteText(QByteArray(79, 'a'));
    far.WriteText(QByteArray(2, 'b'));
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRx80Full"); }));
    EXPECT_GE(near.InputQueueCount(), 80);
}

TEST_F(NullModem, WindowSyncSendsExactlyOneMessagePerEventAndHandlesInMainThread) {
    near.SetSyncMethod(smWindowSync);
    near.SetEvents(TComEvents(evRLSD) | evRing | evRxChar);
    HookPort(near, log);
    TComLink link;
    FillLink(link, "L", log);
    near.RegisterLink(&link);
    near.OpenPort();
    far.OpenPort();
    ASSERT_NE(near.Window(), nullptr);
    TMessageSpy spy;
    near.Window()->installEventFilter(&spy);
    far.WriteText("w");
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("L.RxBuf(w)"); }));
    EXPECT_EQ(spy.WParams, QList<uint32_t>{0x0001});
    spy.WParams.clear();
    far.SetDTRLine(true);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRLSDChange(1)"); }));
    EXPECT_EQ(spy.WParams, QList<uint32_t>{0x0020});
    spy.WParams.clear();
    Pair().PulseRing(TVirtualSerialPair::kEndA);
    ASSERT_TRUE(WaitUntil([&] { return log.Contains("OnRing"); }));
    EXPECT_EQ(spy.WParams, QList<uint32_t>{0x0100});
    EXPECT_TRUE(log.AllInMainThread);
    near.ClosePort();
    EXPECT_EQ(near.Window(), nullptr);
    near.UnregisterLink(&link);
}

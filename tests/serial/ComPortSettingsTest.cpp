// The settings model of the port: values at construction, setters and their apply rule, the composite
// flow control and the device control block, all without a device.
#include "serial/ComPort.h"
#include "serial/platform/SerialDevice.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

namespace {

// Counts the group applies that setters ask for.
class TCountingPort : public TComPort {
public:
    int LineApplies = 0, TimeoutApplies = 0, BufferApplies = 0;
    void ApplyLineSettings() override {
        ++LineApplies;
        TComPort::ApplyLineSettings();
    }
    void ApplyTimeoutSettings() override {
        ++TimeoutApplies;
        TComPort::ApplyTimeoutSettings();
    }
    void ApplyBufferSettings() override {
        ++BufferApplies;
        TComPort::ApplyBufferSettings();
    }
};

} // namespace

// The construction values no other test relies on (the rest show in the apply counts, the device control
// block, the timeout block and the stored groups below).
TEST(PortSettings, NewPortHoldsTheConstructionValues) {
    TComPort port;
    EXPECT_EQ(port.Port(), "COM1");
    EXPECT_EQ(port.CustomBaudRate(), 9600);
    EXPECT_EQ(port.DataBits(), dbEight);
    EXPECT_EQ(port.StopBits(), sbOneStopBit);
    EXPECT_EQ(int(port.Events()), 0x3FF);
    EXPECT_EQ(port.FlowControl()->XoffChar(), 19);
}

TEST(PortSettings, CompositeFlowControlReadsAndWritesTheFields) {
    TComFlowControl flow;
    flow.SetFlowControl(fcHardware);
    EXPECT_EQ(flow.ControlRTS(), rtsHandshake);
    EXPECT_TRUE(flow.OutCTSFlow());
    EXPECT_FALSE(flow.XonXoffIn());
    EXPECT_FALSE(flow.XonXoffOut());
    EXPECT_EQ(flow.FlowControl(), fcHardware);
    flow.SetOutDSRFlow(true); // plays no part in the summary
    EXPECT_EQ(flow.FlowControl(), fcHardware);

    flow.SetFlowControl(fcSoftware);
    EXPECT_EQ(flow.ControlRTS(), rtsDisable);
    EXPECT_FALSE(flow.OutCTSFlow());
    EXPECT_TRUE(flow.XonXoffIn() && flow.XonXoffOut());
    EXPECT_EQ(flow.FlowControl(), fcSoftware);
    EXPECT_TRUE(flow.OutDSRFlow()) << "fields outside the summary stay";

    flow.SetFlowControl(fcCustom); // changes nothing
    EXPECT_EQ(flow.FlowControl(), fcSoftware);

    TComFlowControl fresh;
    fresh.SetControlRTS(rtsEnable);
    EXPECT_EQ(fresh.FlowControl(), fcCustom);
}

TEST(PortSettings, SettersApplyOnlyOnChangeAndTheCompositeAlways) {
    TCountingPort port;
    port.Buffer()->SetInputSize(1025);
    EXPECT_EQ(port.Buffer()->InputSize(), 1024);
    EXPECT_EQ(port.BufferApplies, 1) << "compared with the value passed in, before evening";
    port.Buffer()->SetInputSize(1024);
    EXPECT_EQ(port.BufferApplies, 1);
    port.Buffer()->SetOutputSize(1);
    EXPECT_EQ(port.Buffer()->OutputSize(), 0);
    port.Buffer()->SetOutputSize(-3);
    EXPECT_EQ(port.Buffer()->OutputSize(), -3);

    port.SetBaudRate(br9600);
    port.Parity()->SetBits(prNone);
    port.Timeouts()->SetReadInterval(-1);
    EXPECT_EQ(port.LineApplies, 0);
    EXPECT_EQ(port.TimeoutApplies, 0);
    port.SetBaudRate(br38400);
    port.Parity()->SetCheck(true);
    port.FlowControl()->SetXonChar(1);
    port.Timeouts()->SetReadTotalConstant(10);
    EXPECT_EQ(port.LineApplies, 3);
    EXPECT_EQ(port.TimeoutApplies, 1);
    port.FlowControl()->SetFlowControl(fcCustom);
    port.FlowControl()->SetFlowControl(fcNone);
    EXPECT_EQ(port.LineApplies, 5);

    // Object-valued setters copy and apply once; the port keeps its own objects.
    TComParity given;
    given.SetBits(prEven);
    TComParity* own = port.Parity();
    port.SetParity(&given);
    EXPECT_EQ(port.Parity(), own);
    EXPECT_EQ(own->Bits(), prEven);
    EXPECT_EQ(port.LineApplies, 6);
}

TEST(PortSettings, AssignCopiesFieldsAndRefusesAnotherClass) {
    TComTimeouts a, b;
    a.SetReadInterval(50);
    a.SetWriteTotalConstant(7);
    b.Assign(&a);
    EXPECT_EQ(b.ReadInterval(), 50);
    EXPECT_EQ(b.WriteTotalConstant(), 7);
    TComBuffer buffer;
    EXPECT_THROW(b.Assign(&buffer), EConvertError);
    EXPECT_EQ(MessageOf([&] { b.Assign(&buffer); }), "Cannot assign a TComBuffer to a TComTimeouts");
}

TEST(PortSettings, DeviceControlBlock) {
    TComPort port;
    port.SetBaudRate(brCustom);
    port.SetCustomBaudRate(12345);
    port.SetDataBits(dbSeven);
    port.SetStopBits(sbTwoStopBits);
    port.Parity()->SetBits(prMark);
    port.Parity()->SetReplace(true); // without Check: neither flag
    port.Parity()->SetReplaceChar('?');
    port.SetEventChar('\n');
    port.SetDiscardNull(true);
    port.FlowControl()->SetControlDTR(dtrEnable);
    port.FlowControl()->SetFlowControl(fcHardware);
    port.Buffer()->SetInputSize(1026);

    TDcb dcb = BuildDcb(port);
    EXPECT_EQ(dcb.DCBlength, 28u);
    EXPECT_EQ(dcb.BaudRate, 12345u);
    EXPECT_EQ(dcb.Flags,
              kDcbBinary | kDcbNull | kDcbOutxCtsFlow | kDcbDtrControlEnable | kDcbRtsControlHandshake);
    EXPECT_EQ(dcb.ErrorChar, 0);
    EXPECT_EQ(dcb.XonLim, 256);
    EXPECT_EQ(dcb.XoffLim, 256);
    EXPECT_EQ(dcb.ByteSize, 7);
    EXPECT_EQ(dcb.Parity, kMarkParity);
    EXPECT_EQ(dcb.StopBits, kTwoStopBits);
    EXPECT_EQ(dcb.EvtChar, '\n');
    EXPECT_EQ(dcb.XonChar, 17);

    port.Parity()->SetCheck(true);
    port.SetBaudRate(br56000); // CustomBaudRate is ignored now
    port.Buffer()->SetInputSize(2);
    port.FlowControl()->SetFlowControl(fcSoftware);
    port.FlowControl()->SetControlRTS(rtsToggle);
    port.FlowControl()->SetDSRSensitivity(true);
    port.FlowControl()->SetTxContinueOnXoff(true);
    dcb = BuildDcb(port);
    EXPECT_EQ(dcb.BaudRate, 56000u);
    EXPECT_EQ(dcb.Flags & (kDcbParity | kDcbErrorChar), kDcbParity | kDcbErrorChar);
    EXPECT_EQ(dcb.ErrorChar, '?');
    EXPECT_EQ(dcb.Flags & kDcbRtsControlMask, kDcbRtsControlToggle);
    EXPECT_EQ(dcb.Flags & (kDcbOutX | kDcbInX | kDcbDsrSensitivity | kDcbTxContinueOnXoff),
              kDcbOutX | kDcbInX | kDcbDsrSensitivity | kDcbTxContinueOnXoff);
    EXPECT_EQ(dcb.XonLim, 0);
}

TEST(PortSettings, TimeoutBlockCarriesMinusOneAsMaximum) {
    TComTimeouts t;
    t.SetReadTotalMultiplier(50);
    const TCommTimeouts block = BuildCommTimeouts(t);
    EXPECT_EQ(block.ReadIntervalTimeout, 0xFFFFFFFFu);
    EXPECT_EQ(block.ReadTotalTimeoutMultiplier, 50u);
    EXPECT_EQ(block.WriteTotalTimeoutMultiplier, 100u);
    EXPECT_EQ(block.WriteTotalTimeoutConstant, 1000u);
}

TEST(PortSettings, EventSetAndMaskConvertBothWays) {
    EXPECT_EQ(EventsToMask(TComEvents(evError)), 0x0080u);
    EXPECT_EQ(EventsToMask(TComEvents(evRLSD)), 0x0020u);
    EXPECT_EQ(EventsToMask(TComEvents(evRing)), 0x0100u);
    EXPECT_EQ(EventsToMask(TComEvents(evTxEmpty) | evRxFlag), 0x0006u);
    EXPECT_EQ(EventsToMask(TComEvents(CPort::kAllComEvents)), 0x05FFu);
    EXPECT_EQ(MaskToEvents(0x05FF | 0x1000 | 0x0200), TComEvents(CPort::kAllComEvents))
        << "unknown bits ignored";
}

TEST(PortErrors, MessagesCarryTheSystemErrorWhenThereIsOne) {
    EComPort withError(1, 2);
    EXPECT_EQ(withError.Message(), "Unable to open com port (win error code: 2)");
    EXPECT_EQ(withError.Code(), 1);
    EXPECT_EQ(withError.SystemError(), 2);
    EComPort plain(14);
    EXPECT_EQ(plain.Message(), "Cannot set property while connected");
    EXPECT_EQ(plain.SystemError(), -1);
    EXPECT_EQ(EComPort(23, -5).Message(), "Registry error (win error code: -5)");
    EXPECT_EQ(EComPort::CodeMessage(19), "Cannot change led state if ComPort is selected");
}

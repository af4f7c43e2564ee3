// Storing the port's settings in the registry-shaped store and an INI file, and loading them back.
#include "runtime/IniFile.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "support/TestSupport.h"

#include "PortTestSupport.h"

#include <gtest/gtest.h>

#include <QDir>

namespace {

// An open key in a private settings store.
struct TRegistryKey {
    TTempConfigHome home;
    TRegistry reg;
    TRegistryKey() {
        reg.SetRootKey(HKEY_CURRENT_USER);
        EXPECT_TRUE(reg.OpenKey("Software\\Test\\Port", true));
    }
};

} // namespace

TEST(PortStore, BasicGroupWritesItsSixValuesAndTheCustomRateOnlyWhenUsed) {
    TRegistryKey key;
    TComPort port;
    port.SetPort("ttyUSB3");
    port.SetBaudRate(br57600);
    port.SetCustomBaudRate(31250);
    port.SaveToRegistry(key.reg);
    QStringList names = key.reg.GetValueNames();
    names.sort();
    EXPECT_EQ(names, (QStringList{"BaudRate", "DataBits", "FlowControl", "Parity", "Port", "StopBits"}));
    EXPECT_EQ(key.reg.ReadString("BaudRate"), "57600");
    EXPECT_EQ(key.reg.ReadString("FlowControl"), "None");

    port.SetBaudRate(brCustom);
    port.SaveToRegistry(key.reg);
    EXPECT_EQ(key.reg.ReadString("BaudRate"), "Custom");
    EXPECT_EQ(key.reg.ReadInteger("CustomBaudRate"), 31250);
}

TEST(PortStore, EveryGroupRoundTripsThroughTheRegistry) {
    TRegistryKey key;
    TComPort a;
    a.SetStoredGroups(sgBasic | sgFlowControl | sgBuffer | sgTimeouts | sgParity | sgOthers);
    a.SetPort("COM7");
    a.SetBaudRate(brCustom);
    a.SetCustomBaudRate(250000);
    a.SetStopBits(sbOne5StopBits);
    a.SetDataBits(dbSeven);
    a.SetEventChar(17);
    a.SetDiscardNull(true);
    a.Parity()->SetBits(prSpace);
    a.Parity()->SetCheck(true);
    a.Parity()->SetReplace(true);
    a.Parity()->SetReplaceChar('?');
    a.Buffer()->SetInputSize(4096);
    a.Buffer()->SetOutputSize(512);
    a.Timeouts()->SetReadInterval(50);
    a.Timeouts()->SetReadTotalConstant(10);
    a.Timeouts()->SetWriteTotalMultiplier(3);
    a.FlowControl()->SetFlowControl(fcHardware);
    a.FlowControl()->SetControlDTR(dtrHandshake);
    a.FlowControl()->SetDSRSensitivity(true);
    a.FlowControl()->SetXonChar('A');
    a.SaveToRegistry(key.reg);
    EXPECT_EQ(key.reg.ReadString("EventChar"), "#17");
    EXPECT_EQ(key.reg.ReadString("DiscardNull"), "Yes");
    EXPECT_EQ(key.reg.ReadString("FlowControl.ControlRTS"), "Handshake");
    EXPECT_EQ(key.reg.ReadInteger("Timeouts.ReadInterval"), 50);

    TComPort b;
    b.SetStoredGroups(a.StoredGroups());
    b.LoadFromRegistry(key.reg);
    EXPECT_EQ(b.Port(), "COM7");
    EXPECT_EQ(b.BaudRate(), brCustom);
    EXPECT_EQ(b.CustomBaudRate(), 250000);
    EXPECT_EQ(b.StopBits(), sbOne5StopBits);
    EXPECT_EQ(b.DataBits(), dbSeven);
    EXPECT_EQ(b.EventChar(), 17);
    EXPECT_TRUE(b.DiscardNull());
    EXPECT_EQ(b.Parity()->Bits(), prSpace);
    EXPECT_TRUE(b.Parity()->Check() && b.Parity()->Replace());
    EXPECT_EQ(b.Parity()->ReplaceChar(), '?');
    EXPECT_EQ(b.Buffer()->InputSize(), 4096);
    EXPECT_EQ(b.Buffer()->OutputSize(), 512);
    EXPECT_EQ(b.Timeouts()->ReadInterval(), 50);
    EXPECT_EQ(b.Timeouts()->ReadTotalConstant(), 10);
    EXPECT_EQ(b.Timeouts()->WriteTotalMultiplier(), 3);
    EXPECT_EQ(b.FlowControl()->FlowControl(), fcHardware);
    EXPECT_EQ(b.FlowControl()->ControlDTR(), dtrHandshake);
    EXPECT_TRUE(b.FlowControl()->DSRSensitivity());
    EXPECT_EQ(b.FlowControl()->XonChar(), 'A');
}

TEST(PortStore, EmptyRegistryKeyGivesDefaultsAndAMissingNumberFails) {
    TRegistryKey key;
    TComPort port;
    port.SetPort("COM9");
    port.SetBaudRate(br115200);
    port.Parity()->SetBits(prOdd);
    port.LoadFromRegistry(key.reg);
    EXPECT_EQ(port.Port(), "");
    EXPECT_EQ(port.BaudRate(), br9600);
    EXPECT_EQ(port.Parity()->Bits(), prNone);
    EXPECT_EQ(port.FlowControl()->FlowControl(), fcNone) << "'Custom' changes no field";

    port.SetStoredGroups(sgBuffer);
    EXPECT_EQ(MessageOf([&] { port.LoadFromRegistry(key.reg); }),
              "Failed to get data for 'Buffer.OutputSize'");
}

TEST(PortStore, IniDefaultsLeaveMissingKeysUnchanged) {
    TTempConfigHome home;
    TIniFile ini(home.Path() + "/port.ini");
    TComPort port;
    port.setObjectName("ComPort1");
    port.SetPort("COM4");
    port.SetBaudRate(br19200);
    port.SetStoredGroups(sgBasic | sgTimeouts);
    port.LoadFromIni(ini); // empty section: nothing changes
    EXPECT_EQ(port.Port(), "COM4");
    EXPECT_EQ(port.BaudRate(), br19200);

    ini.WriteString("ComPort1", "BaudRate", "Custom");
    ini.WriteInteger("ComPort1", "Timeouts.ReadInterval", 77);
    port.SetCustomBaudRate(12345);
    port.LoadFromIni(ini);
    EXPECT_EQ(port.BaudRate(), brCustom);
    EXPECT_EQ(port.CustomBaudRate(), 9600) << "the custom rate's default is 9600, not the present value";
    EXPECT_EQ(port.Timeouts()->ReadInterval(), 77);
    EXPECT_EQ(port.Timeouts()->ReadTotalConstant(), 0);
    EXPECT_EQ(port.Port(), "COM4");

    port.SaveToIni(ini);
    EXPECT_EQ(ini.ReadString("ComPort1", "Port", ""), "COM4");
    EXPECT_EQ(ini.ReadInteger("ComPort1", "CustomBaudRate", 0), 9600);
    EXPECT_FALSE(ini.ValueExists("ComPort1", "DiscardNull")) << "only the chosen groups";
}

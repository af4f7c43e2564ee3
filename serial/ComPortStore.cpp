// Storing and loading the port's settings under fixed value names, by setting group.
#include "runtime/IniFile.h"
#include "runtime/Registry.h"
#include "serial/ComPort.h"
#include "serial/PortNames.h"

#include <functional>

namespace {

// One store seen through the four operations the port needs. Reads get the setting's present value as
// their default; the registry ignores it (a missing text reads empty, a missing number fails).
class TSettingsStore {
public:
    virtual ~TSettingsStore() = default;
    virtual void WriteText(const QString& name, const QString& value) = 0;
    virtual void WriteInteger(const QString& name, int value) = 0;
    virtual QString ReadText(const QString& name, const QString& present) = 0;
    virtual int ReadInteger(const QString& name, int present) = 0;
};

class TRegistryStore final : public TSettingsStore {
public:
    explicit TRegistryStore(TRegistry& reg) : m_reg(reg) {}
    void WriteText(const QString& name, const QString& value) override { m_reg.WriteString(name, value); }
    void WriteInteger(const QString& name, int value) override { m_reg.WriteInteger(name, value); }
    QString ReadText(const QString& name, const QString&) override { return m_reg.ReadString(name); }
    int ReadInteger(const QString& name, int) override { return m_reg.ReadInteger(name); }

private:
    TRegistry& m_reg;
};

class TIniStore final : public TSettingsStore {
public:
    TIniStore(TCustomIniFile& ini, QString section) : m_ini(ini), m_section(std::move(section)) {}
    void WriteText(const QString& name, const QString& value) override {
        m_ini.WriteString(m_section, name, value);
    }
    void WriteInteger(const QString& name, int value) override { m_ini.WriteInteger(m_section, name, value); }
    QString ReadText(const QString& name, const QString& present) override {
        return m_ini.ReadString(m_section, name, present);
    }
    int ReadInteger(const QString& name, int present) override {
        return m_ini.ReadInteger(m_section, name, present);
    }

private:
    TCustomIniFile& m_ini;
    QString m_section;
};

// A stored value: its name, group, and how it reads and writes the port, as text or as a number.
struct TStoredValue {
    const char* Name;
    TSettingGroup Group;
    std::function<QString(TCustomComPort&)> Text;
    std::function<void(TCustomComPort&, const QString&)> SetText;
    std::function<int(TCustomComPort&)> Number;
    std::function<void(TCustomComPort&, int)> SetNumber;
};

TStoredValue Text(const char* name, TSettingGroup group, std::function<QString(TCustomComPort&)> get,
                  std::function<void(TCustomComPort&, const QString&)> set) {
    return {name, group, std::move(get), std::move(set), nullptr, nullptr};
}

TStoredValue Number(const char* name, TSettingGroup group, std::function<int(TCustomComPort&)> get,
                    std::function<void(TCustomComPort&, int)> set) {
    return {name, group, nullptr, nullptr, std::move(get), std::move(set)};
}

constexpr const char* kCustomBaudRate = "CustomBaudRate";
constexpr int kIniCustomBaudRateDefault = 9600;

// Groups in the order basic, others, parity, buffer, timeouts, flow control; values as stored.
const std::vector<TStoredValue>& StoredValues() {
    using P = TCustomComPort;
    static const std::vector<TStoredValue> values = {
        Text(
            "Port", sgBasic, [](P& p) { return p.Port(); }, [](P& p, const QString& t) { p.SetPort(t); }),
        Text(
            "BaudRate", sgBasic, [](P& p) { return BaudRateText(p.BaudRate()); },
            [](P& p, const QString& t) { p.SetBaudRate(TextToBaudRate(t)); }),
        Number(
            kCustomBaudRate, sgBasic, [](P& p) { return p.CustomBaudRate(); },
            [](P& p, int v) { p.SetCustomBaudRate(v); }),
        Text(
            "StopBits", sgBasic, [](P& p) { return StopBitsText(p.StopBits()); },
            [](P& p, const QString& t) { p.SetStopBits(TextToStopBits(t)); }),
        Text(
            "DataBits", sgBasic, [](P& p) { return DataBitsText(p.DataBits()); },
            [](P& p, const QString& t) { p.SetDataBits(TextToDataBits(t)); }),
        Text(
            "Parity", sgBasic, [](P& p) { return ParityText(p.Parity()->Bits()); },
            [](P& p, const QString& t) { p.Parity()->SetBits(TextToParity(t)); }),
        Text(
            "FlowControl", sgBasic, [](P& p) { return FlowControlText(p.FlowControl()->FlowControl()); },
            [](P& p, const QString& t) { p.FlowControl()->SetFlowControl(TextToFlowControl(t)); }),
        Text(
            "EventChar", sgOthers, [](P& p) { return CharText(p.EventChar()); },
            [](P& p, const QString& t) { p.SetEventChar(TextToChar(t)); }),
        Text(
            "DiscardNull", sgOthers, [](P& p) { return BoolToYesNo(p.DiscardNull()); },
            [](P& p, const QString& t) { p.SetDiscardNull(YesNoToBool(t)); }),
        Text(
            "Parity.Check", sgParity, [](P& p) { return BoolToYesNo(p.Parity()->Check()); },
            [](P& p, const QString& t) { p.Parity()->SetCheck(YesNoToBool(t)); }),
        Text(
            "Parity.Replace", sgParity, [](P& p) { return BoolToYesNo(p.Parity()->Replace()); },
            [](P& p, const QString& t) { p.Parity()->SetReplace(YesNoToBool(t)); }),
        Text(
            "Parity.ReplaceChar", sgParity, [](P& p) { return CharText(p.Parity()->ReplaceChar()); },
            [](P& p, const QString& t) { p.Parity()->SetReplaceChar(TextToChar(t)); }),
        Number(
            "Buffer.OutputSize", sgBuffer, [](P& p) { return p.Buffer()->OutputSize(); },
            [](P& p, int v) { p.Buffer()->SetOutputSize(v); }),
        Number(
            "Buffer.InputSize", sgBuffer, [](P& p) { return p.Buffer()->InputSize(); },
            [](P& p, int v) { p.Buffer()->SetInputSize(v); }),
        Number(
            "Timeouts.ReadInterval", sgTimeouts, [](P& p) { return p.Timeouts()->ReadInterval(); },
            [](P& p, int v) { p.Timeouts()->SetReadInterval(v); }),
        Number(
            "Timeouts.ReadTotalConstant", sgTimeouts, [](P& p) { return p.Timeouts()->ReadTotalConstant(); },
            [](P& p, int v) { p.Timeouts()->SetReadTotalConstant(v); }),
        Number(
            "Timeouts.ReadTotalMultiplier", sgTimeouts,
            [](P& p) { return p.Timeouts()->ReadTotalMultiplier(); },
            [](P& p, int v) { p.Timeouts()->SetReadTotalMultiplier(v); }),
        Number(
            "Timeouts.WriteTotalConstant", sgTimeouts,
            [](P& p) { return p.Timeouts()->WriteTotalConstant(); },
            [](P& p, int v) { p.Timeouts()->SetWriteTotalConstant(v); }),
        Number(
            "Timeouts.WriteTotalMultiplier", sgTimeouts,
            [](P& p) { return p.Timeouts()->WriteTotalMultiplier(); },
            [](P& p, int v) { p.Timeouts()->SetWriteTotalMultiplier(v); }),
        Text(
            "FlowControl.ControlRTS", sgFlowControl,
            [](P& p) { return RTSControlText(p.FlowControl()->ControlRTS()); },
            [](P& p, const QString& t) { p.FlowControl()->SetControlRTS(TextToRTSControl(t)); }),
        Text(
            "FlowControl.ControlDTR", sgFlowControl,
            [](P& p) { return DTRControlText(p.FlowControl()->ControlDTR()); },
            [](P& p, const QString& t) { p.FlowControl()->SetControlDTR(TextToDTRControl(t)); }),
        Text(
            "FlowControl.DSRSensitivity", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->DSRSensitivity()); },
            [](P& p, const QString& t) { p.FlowControl()->SetDSRSensitivity(YesNoToBool(t)); }),
        Text(
            "FlowControl.OutCTSFlow", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->OutCTSFlow()); },
            [](P& p, const QString& t) { p.FlowControl()->SetOutCTSFlow(YesNoToBool(t)); }),
        Text(
            "FlowControl.OutDSRFlow", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->OutDSRFlow()); },
            [](P& p, const QString& t) { p.FlowControl()->SetOutDSRFlow(YesNoToBool(t)); }),
        Text(
            "FlowControl.TxContinueOnXoff", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->TxContinueOnXoff()); },
            [](P& p, const QString& t) { p.FlowControl()->SetTxContinueOnXoff(YesNoToBool(t)); }),
        Text(
            "FlowControl.XonXoffIn", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->XonXoffIn()); },
            [](P& p, const QString& t) { p.FlowControl()->SetXonXoffIn(YesNoToBool(t)); }),
        Text(
            "FlowControl.XonXoffOut", sgFlowControl,
            [](P& p) { return BoolToYesNo(p.FlowControl()->XonXoffOut()); },
            [](P& p, const QString& t) { p.FlowControl()->SetXonXoffOut(YesNoToBool(t)); }),
        Text(
            "FlowControl.XoffChar", sgFlowControl, [](P& p) { return CharText(p.FlowControl()->XoffChar()); },
            [](P& p, const QString& t) { p.FlowControl()->SetXoffChar(TextToChar(t)); }),
        Text(
            "FlowControl.XonChar", sgFlowControl, [](P& p) { return CharText(p.FlowControl()->XonChar()); },
            [](P& p, const QString& t) { p.FlowControl()->SetXonChar(TextToChar(t)); }),
    };
    return values;
}

void Save(TCustomComPort& port, TSettingsStore& store) {
    for (const TStoredValue& v : StoredValues()) {
        if (!(port.StoredGroups() & v.Group))
            continue;
        if (v.Text)
            store.WriteText(v.Name, v.Text(port));
        else if (qstrcmp(v.Name, kCustomBaudRate) != 0 || port.BaudRate() == brCustom)
            store.WriteInteger(v.Name, v.Number(port));
    }
}

void LoadValues(TCustomComPort& port, TSettingsStore& store, bool customRateHasOwnDefault) {
    for (const TStoredValue& v : StoredValues()) {
        if (!(port.StoredGroups() & v.Group))
            continue;
        if (v.Text) {
            v.SetText(port, store.ReadText(v.Name, v.Text(port)));
        } else if (qstrcmp(v.Name, kCustomBaudRate) == 0) {
            if (port.BaudRate() == brCustom)
                v.SetNumber(port,
                            store.ReadInteger(v.Name, customRateHasOwnDefault ? kIniCustomBaudRateDefault
                                                                              : v.Number(port)));
        } else {
            v.SetNumber(port, store.ReadInteger(v.Name, v.Number(port)));
        }
    }
}

// The line settings read are applied once, after the last of them: the hardware handshake's halves
// (ControlRTS and OutCTSFlow) only work together on an open port.
void Load(TCustomComPort& port, TSettingsStore& store, bool customRateHasOwnDefault) {
    port.BeginUpdate();
    try {
        LoadValues(port, store, customRateHasOwnDefault);
    } catch (...) {
        try {
            port.EndUpdate();
        } catch (...) {
            // the first failure is the one reported
        }
        throw;
    }
    port.EndUpdate();
}

} // namespace

void TCustomComPort::SaveToRegistry(TRegistry& reg) {
    TRegistryStore store(reg);
    Save(*this, store);
}

void TCustomComPort::SaveToIni(TCustomIniFile& ini) {
    TIniStore store(ini, Name());
    Save(*this, store);
}

void TCustomComPort::LoadFromRegistry(TRegistry& reg) {
    TRegistryStore store(reg);
    Load(*this, store, false);
}

void TCustomComPort::LoadFromIni(TCustomIniFile& ini) {
    TIniStore store(ini, Name());
    Load(*this, store, true);
}

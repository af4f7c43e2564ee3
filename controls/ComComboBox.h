#pragma once

#include "runtime/Component.h"
#include "serial/ComPort.h"
#include "serial/ComTypes.h"

#include <QComboBox>
#include <QString>

#include <functional>
#include <memory>

class TComSelect;

// A drop-down list bound to one setting of a port: it lists the setting's possible values as their
// fixed texts, shows the port's value when told to (RefreshFromPort; it does not listen to the port),
// and hands the user's choice to its TComSelect, which holds it and, with AutoApply, writes it into
// the port at once.
//
// Edge rules:
// - Only the user's choice (QComboBox::activated: a pick in the list, a key or wheel step) is taken
//   and applied; selecting through code (Text, ItemIndex, RefreshFromPort, ComProperty) never writes
//   into the port.
// - A port value whose text is not listed, no port, or cpNone: no item is selected.
// - An error of the port's setter while applying the choice goes to the application's exception
//   report; the held value has changed already and OnChange is not raised.
// - Setting ComProperty always refills the list (cpPort reads the port list again); a port list that
//   cannot be read leaves the list empty and the error propagates to the caller.
// - When the port is removed the reference is dropped and the first item (if any) is selected.
// - The port list gives each item what the system knows of that port as its tooltip, and is read again
//   each time the list drops down, so a device plugged in since appears; the selected text stays
//   selected while it is listed (otherwise nothing is selected), and the held value does not change.
//   A list that cannot be read then keeps the items it had and goes to the application's report.
class TComComboBox : public QComboBox, public TComponent {
    Q_OBJECT
    Q_PROPERTY(TCustomComPort* ComPort READ ComPort WRITE SetComPort)
    Q_PROPERTY(TComProperty ComProperty READ ComProperty WRITE SetComProperty)
    Q_PROPERTY(bool AutoApply READ AutoApply WRITE SetAutoApply)
    Q_PROPERTY(QString Text READ Text WRITE SetText)
    Q_PROPERTY(int ItemIndex READ ItemIndex WRITE SetItemIndex)
    Q_PROPERTY(int DropDownCount READ maxVisibleItems WRITE setMaxVisibleItems)
    Q_PROPERTY(bool Enabled READ isEnabled WRITE setEnabled)
    Q_PROPERTY(bool Visible READ IsShown WRITE setVisible)
    Q_CLASSINFO("Default.ComProperty", "cpNone")
    Q_CLASSINFO("Default.AutoApply", "false")
    Q_CLASSINFO("Default.DropDownCount", "10")
    Q_CLASSINFO("Default.Enabled", "true")
    Q_CLASSINFO("Default.Visible", "true")
public:
    enum TComProperty { cpNone, cpPort, cpBaudRate, cpDataBits, cpStopBits, cpParity, cpFlowControl };
    Q_ENUM(TComProperty)

    using TNotifyEvent = std::function<void(TComComboBox* sender)>;

    explicit TComComboBox(QWidget* parent = nullptr);
    ~TComComboBox() override;

    TCustomComPort* ComPort() const;
    void SetComPort(TCustomComPort* port);
    TComProperty ComProperty() const;
    void SetComProperty(TComProperty value);
    bool AutoApply() const;
    void SetAutoApply(bool value);

    // The selected item's text, empty when nothing is selected. Writing selects the item whose text
    // equals the value without regard to case; an unlisted value changes nothing.
    QString Text() const;
    void SetText(const QString& value);
    int ItemIndex() const { return currentIndex(); }
    void SetItemIndex(int value) { setCurrentIndex(value); }

    // Selects the port's present value of the shown setting (no selection when it is not listed).
    void RefreshFromPort();

    TComSelect& Select() const { return *m_select; }

    // Raised after the user's choice was taken (and applied, with AutoApply).
    TNotifyEvent OnChange;

    void showPopup() override;

protected:
    virtual void DoChange();
    void Notification(TComponent* component, TOperation operation) override;

private:
    void UserChose();
    bool IsShown() const { return !isHidden(); }

    std::unique_ptr<TComSelect> m_select;
};

using TComProperty = TComComboBox::TComProperty;
using enum TComComboBox::TComProperty;

// The work behind a TComComboBox: fills its item list, finds the port's value in it, holds the
// value of the chosen text and writes it into the port. One held value per setting, so switching
// ComProperty keeps what was held for the others.
class TComSelect {
public:
    explicit TComSelect(QComboBox* items) : m_items(items) {}

    // Stores the property, empties the list and fills it with that setting's texts.
    void FillItems(TComProperty value);
    // For cpPort: reads the port list again, refills the items and selects the
    // item of the text selected before (none when it is gone). Raises like ListPortNames, items kept.
    void RefreshPortItems();
    // Converts the text into the held value of the shown setting; with AutoApply, ApplyToPort.
    void TakeText(const QString& text);
    // Writes the held value of the shown setting into the port (nothing without a port or for cpNone).
    void ApplyToPort();
    // The index of the port's present value in the list, -1 when it is not listed, without a port or
    // for cpNone; when found, that item's value becomes the held one.
    int FindPortValue();

    TComProperty ComProperty() const { return m_comProperty; }
    TCustomComPort* ComPort() const { return m_comPort; }
    void SetComPort(TCustomComPort* port) { m_comPort = port; }
    bool AutoApply() const { return m_autoApply; }
    void SetAutoApply(bool value) { m_autoApply = value; }

    // The held values.
    QString Port() const { return m_port; }
    TBaudRate BaudRate() const { return m_baudRate; }
    TDataBits DataBits() const { return m_dataBits; }
    TStopBits StopBits() const { return m_stopBits; }
    TParityBits Parity() const { return m_parity; }
    TFlowControl FlowControl() const { return m_flowControl; }

private:
    QString m_port;
    TBaudRate m_baudRate = brCustom;
    TDataBits m_dataBits = dbFive;
    TStopBits m_stopBits = sbOneStopBit;
    TParityBits m_parity = prNone;
    TFlowControl m_flowControl = fcHardware;
    QComboBox* m_items; // not owned
    TComProperty m_comProperty = cpNone;
    TCustomComPort* m_comPort = nullptr; // not owned
    bool m_autoApply = false;
};

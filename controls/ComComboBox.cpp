#include "controls/ComComboBox.h"

#include "runtime/Exception.h"
#include "serial/PortNames.h"
#include "serial/RemotePorts.h"

#include <QStringList>

namespace {

// The texts of every value of a setting enumeration, in enumeration order.
template <class E> QStringList ValueTexts(E first, E last, QString (*text)(E)) {
    QStringList texts;
    for (int v = int(first); v <= int(last); ++v)
        texts.append(text(E(v)));
    return texts;
}

// The list's search: the first item whose text equals `text` without regard to case.
int IndexOfText(const QComboBox& items, const QString& text) {
    return items.findText(text, Qt::MatchFixedString);
}

// Sets the port list's items with what the system knows of each port as its tooltip.
void SetPortItems(QComboBox& items, const QStringList& names) {
    items.clear();
    items.addItems(names);
    for (int i = 0; i < names.size(); ++i)
        items.setItemData(i, DescribePort(names[i]), Qt::ToolTipRole);
}

} // namespace

// ---- TComSelect -------------------------------------------------------------------------------------

void TComSelect::FillItems(TComProperty value) {
    m_comProperty = value;
    m_items->clear();
    QStringList texts;
    switch (value) {
    case cpPort:
        ListPortNames(texts);
        ListRemotePortNames(texts);
        SetPortItems(*m_items, texts);
        return;
    case cpBaudRate:
        texts = ValueTexts(brCustom, br256000, BaudRateText);
        break;
    case cpDataBits:
        texts = ValueTexts(dbFive, dbEight, DataBitsText);
        break;
    case cpStopBits:
        texts = ValueTexts(sbOneStopBit, sbTwoStopBits, StopBitsText);
        break;
    case cpParity:
        texts = ValueTexts(prNone, prSpace, ParityText);
        break;
    case cpFlowControl:
        texts = ValueTexts(fcHardware, fcCustom, FlowControlText);
        break;
    case cpNone:
        break;
    }
    m_items->addItems(texts);
}

void TComSelect::RefreshPortItems() {
    if (m_comProperty != cpPort)
        return;
    QStringList names;
    ListPortNames(names);
    ListRemotePortNames(names);
    const int selected = m_items->currentIndex();
    const QString selectedText = selected >= 0 ? m_items->itemText(selected) : QString();
    // A remote port that is set but not stored stays listed, as when the list was first filled.
    if (selected >= 0 && IsRemotePortName(selectedText) && !names.contains(selectedText))
        names.append(selectedText);
    SetPortItems(*m_items, names);
    m_items->setCurrentIndex(selected >= 0 ? int(names.indexOf(selectedText)) : -1);
}

void TComSelect::TakeText(const QString& text) {
    switch (m_comProperty) {
    case cpPort:
        m_port = text;
        break;
    case cpBaudRate:
        m_baudRate = TextToBaudRate(text);
        break;
    case cpDataBits:
        m_dataBits = TextToDataBits(text);
        break;
    case cpStopBits:
        m_stopBits = TextToStopBits(text);
        break;
    case cpParity:
        m_parity = TextToParity(text);
        break;
    case cpFlowControl:
        m_flowControl = TextToFlowControl(text);
        break;
    case cpNone:
        break;
    }
    if (m_autoApply)
        ApplyToPort();
}

void TComSelect::ApplyToPort() {
    if (!m_comPort)
        return;
    switch (m_comProperty) {
    case cpPort:
        m_comPort->SetPort(m_port);
        break;
    case cpBaudRate:
        m_comPort->SetBaudRate(m_baudRate);
        break;
    case cpDataBits:
        m_comPort->SetDataBits(m_dataBits);
        break;
    case cpStopBits:
        m_comPort->SetStopBits(m_stopBits);
        break;
    case cpParity:
        m_comPort->Parity()->SetBits(m_parity);
        break;
    case cpFlowControl:
        m_comPort->FlowControl()->SetFlowControl(m_flowControl);
        break;
    case cpNone:
        break;
    }
}

int TComSelect::FindPortValue() {
    if (!m_comPort)
        return -1;
    int index = -1;
    switch (m_comProperty) {
    case cpPort:
        index = IndexOfText(*m_items, m_comPort->Port());
        // A remote port set by the program (the command line, the remembered port) is listed too: it
        // cannot be found on the machine.
        if (index < 0 && IsRemotePortName(m_comPort->Port())) {
            m_items->addItem(m_comPort->Port());
            index = m_items->count() - 1;
        }
        if (index >= 0)
            m_port = m_items->itemText(index);
        break;
    case cpBaudRate:
        index = IndexOfText(*m_items, BaudRateText(m_comPort->BaudRate()));
        if (index >= 0)
            m_baudRate = TextToBaudRate(m_items->itemText(index));
        break;
    case cpDataBits:
        index = IndexOfText(*m_items, DataBitsText(m_comPort->DataBits()));
        if (index >= 0)
            m_dataBits = TextToDataBits(m_items->itemText(index));
        break;
    case cpStopBits:
        index = IndexOfText(*m_items, StopBitsText(m_comPort->StopBits()));
        if (index >= 0)
            m_stopBits = TextToStopBits(m_items->itemText(index));
        break;
    case cpParity:
        index = IndexOfText(*m_items, ParityText(m_comPort->Parity()->Bits()));
        if (index >= 0)
            m_parity = TextToParity(m_items->itemText(index));
        break;
    case cpFlowControl:
        index = IndexOfText(*m_items, FlowControlText(m_comPort->FlowControl()->FlowControl()));
        if (index >= 0)
            m_flowControl = TextToFlowControl(m_items->itemText(index));
        break;
    case cpNone:
        break;
    }
    return index;
}

// ---- TComComboBox -----------------------------------------------------------------------------------

TComComboBox::TComComboBox(QWidget* parent)
    : QComboBox(parent), TComponent(this), m_select(std::make_unique<TComSelect>(this)) {
    // A drop-down list: the user picks an item and cannot type.
    setEditable(false);
    // `activated` is raised for the user's choices only, never for a selection made by code.
    connect(this, &QComboBox::activated, this, [this](int) { GuardedCall([this] { UserChose(); }); });
}

TComComboBox::~TComComboBox() = default;

TCustomComPort* TComComboBox::ComPort() const {
    return m_select->ComPort();
}

void TComComboBox::SetComPort(TCustomComPort* port) {
    TCustomComPort* old = m_select->ComPort();
    if (port == old)
        return;
    if (old)
        RemoveFreeNotification(old);
    m_select->SetComPort(port);
    if (port) {
        FreeNotification(port);
        RefreshFromPort();
    }
}

TComProperty TComComboBox::ComProperty() const {
    return m_select->ComProperty();
}

void TComComboBox::SetComProperty(TComProperty value) {
    m_select->FillItems(value);
    if (count() == 0)
        return;
    setCurrentIndex(m_select->ComPort() ? m_select->FindPortValue() : 0);
}

bool TComComboBox::AutoApply() const {
    return m_select->AutoApply();
}

void TComComboBox::SetAutoApply(bool value) {
    m_select->SetAutoApply(value);
}

QString TComComboBox::Text() const {
    const int index = currentIndex();
    return index >= 0 ? itemText(index) : QString();
}

void TComComboBox::SetText(const QString& value) {
    const int index = IndexOfText(*this, value);
    if (index >= 0)
        setCurrentIndex(index);
}

void TComComboBox::RefreshFromPort() {
    setCurrentIndex(m_select->FindPortValue());
}

void TComComboBox::showPopup() {
    GuardedCall([this] { m_select->RefreshPortItems(); });
    QComboBox::showPopup();
}

void TComComboBox::UserChose() {
    m_select->TakeText(Text());
    DoChange();
}

void TComComboBox::DoChange() {
    if (OnChange)
        OnChange(this);
}

void TComComboBox::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation != TOperation::opRemove || !m_select->ComPort() ||
        component != static_cast<TComponent*>(m_select->ComPort()))
        return;
    m_select->SetComPort(nullptr);
    if (count() > 0)
        setCurrentIndex(0);
}

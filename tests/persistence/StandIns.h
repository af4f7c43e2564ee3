#pragma once

// Stand-ins for the console's window and port, and a class with a property of every kind the stream
// knows, for the persistence tests. Their class names are the ones the stored streams carry.

#include "persistence/Collection.h"
#include "persistence/PropReader.h"
#include "persistence/PropWriter.h"
#include "persistence/TypeInfo.h"
#include "runtime/Component.h"
#include "runtime/widgets/Form.h"
#include "serial/ComTypes.h"

#include <QBuffer>
#include <QIODevice>
#include <QObject>
#include <QVariant>

class TComParity : public QObject {
    Q_OBJECT
    Q_PROPERTY(CPort::TParityBits Bits MEMBER Bits)
    Q_PROPERTY(bool Check MEMBER Check)

public:
    using QObject::QObject;
    CPort::TParityBits Bits = CPort::prNone;
    bool Check = false;
};

class TComPort : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(CPort::TBaudRate BaudRate READ BaudRate WRITE SetBaudRate)
    Q_PROPERTY(QString Port READ Port WRITE SetPort)
    Q_PROPERTY(TComParity* Parity READ Parity WRITE SetParity)
    Q_PROPERTY(CPort::TComEvents Events MEMBER Events)

public:
    explicit TComPort(QObject* owner = nullptr)
        : QObject(owner), TComponent(this), m_parity(new TComParity(this)) {}
    CPort::TBaudRate BaudRate() const { return m_baudRate; }
    void SetBaudRate(CPort::TBaudRate v) {
        m_baudRate = v;
        ++SetCount;
    }
    QString Port() const { return m_port; }
    void SetPort(const QString& v) {
        m_port = v;
        ++SetCount;
    }
    TComParity* Parity() const { return m_parity; }
    // Object-valued settings take the values of the object they are given.
    void SetParity(TComParity* v) {
        if (v)
            m_parity->Bits = v->Bits, m_parity->Check = v->Check;
    }
    CPort::TComEvents Events;
    int SetCount = 0;

private:
    CPort::TBaudRate m_baudRate = CPort::br38400;
    QString m_port = QStringLiteral("COM1");
    TComParity* m_parity;
};

class TMainFormF : public TForm {
    Q_OBJECT

public:
    explicit TMainFormF(QWidget* parent = nullptr) : TForm(parent) {
        setObjectName(QStringLiteral("MainFormF"));
        ComPort1 = new TComPort(this);
        ComPort1->setObjectName(QStringLiteral("ComPort1"));
    }
    ~TMainFormF() override { DoDestroy(); }
    TComPort* ComPort1;
};

// Another window class, to see the nearest interceptor registration win.
class TOtherForm : public TForm {
    Q_OBJECT
};

class TItem : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER Caption)
    Q_PROPERTY(int Width MEMBER Width)

public:
    Q_INVOKABLE explicit TItem(QObject* parent = nullptr) : TCollectionItem(parent) {}
    QString Caption;
    int Width = 0;
};

// Every kind of value, plus defined properties: "Extra" (plain, an integer) and "Blob" (binary).
class TAllKinds : public QObject, public TComponent, public TDefinesProperties {
    Q_OBJECT
    Q_CLASSINFO("IntegerIdents:Root", "HKEY")
    Q_PROPERTY(int Number MEMBER Number)
    Q_PROPERTY(uint Root MEMBER Root)
    Q_PROPERTY(char Letter MEMBER Letter)
    Q_PROPERTY(bool Flag MEMBER Flag)
    Q_PROPERTY(CPort::TStopBits Stop MEMBER Stop)
    Q_PROPERTY(CPort::TComEvents Events MEMBER Events)
    Q_PROPERTY(double Ratio MEMBER Ratio)
    Q_PROPERTY(qint64 Big MEMBER Big)
    Q_PROPERTY(QByteArray Narrow MEMBER Narrow)
    Q_PROPERTY(QString Wide MEMBER Wide)
    Q_PROPERTY(QVariant Any MEMBER Any)
    Q_PROPERTY(TCollection* Items READ Items WRITE SetItems)
    Q_PROPERTY(QObject* Link MEMBER Link)
    Q_PROPERTY(TComParity* Parity READ Parity WRITE SetParity)
    Q_PROPERTY(int ReadOnly READ ReadOnlyValue)

public:
    explicit TAllKinds(QObject* owner = nullptr)
        : QObject(owner), TComponent(this), m_items(new TCollection(&TItem::staticMetaObject, this)),
          m_parity(new TComParity(this)) {}
    void DefineProperties(TFiler& filer) override {
        filer.DefineProperty(
            QStringLiteral("Extra"), [this](TPropReaderEh& r) { Extra = int(r.ReadInteger()); },
            [this](TPropWriterEh& w) { w.WriteInteger(Extra); }, Extra != 0);
        filer.DefineBinaryProperty(
            QStringLiteral("Blob"), [this](QIODevice& s) { Blob = s.readAll(); },
            [this](QIODevice& s) { s.write(Blob); }, !Blob.isEmpty());
    }
    TCollection* Items() const { return m_items; }
    void SetItems(TCollection*) {}
    TComParity* Parity() const { return m_parity; }
    void SetParity(TComParity* v) {
        if (v)
            m_parity->Bits = v->Bits;
    }
    int ReadOnlyValue() const { return 5; }

    int Number = 0;
    uint Root = 0;
    char Letter = 'a';
    bool Flag = false;
    CPort::TStopBits Stop = CPort::sbOneStopBit;
    CPort::TComEvents Events;
    double Ratio = 0;
    qint64 Big = 0;
    QByteArray Narrow;
    QString Wide;
    QVariant Any;
    QObject* Link = nullptr;
    int Extra = 0;
    QByteArray Blob;

private:
    TCollection* m_items;
    TComParity* m_parity;
};

// A device that accepts the first Limit bytes and then refuses every write.
class TFailDevice : public QBuffer {
public:
    explicit TFailDevice(qint64 limit) : m_limit(limit) { open(QIODevice::ReadWrite); }

protected:
    qint64 writeData(const char* data, qint64 len) override {
        if (pos() + len > m_limit)
            return -1;
        return QBuffer::writeData(data, len);
    }

private:
    qint64 m_limit;
};

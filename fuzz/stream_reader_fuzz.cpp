// fuzz-libs: persistence runtime
// Reads arbitrary bytes as a component stream into a window with a port-like component (enumeration,
// text, set, sub-object, collection, reference), as the property storage does when it loads. The load
// may fail, but only with the stream's own exceptions, and it must never apply part of a value.
#include "persistence/Collection.h"
#include "persistence/PropReader.h"
#include "persistence/ValueStream.h"
#include "runtime/widgets/Form.h"

#include <QApplication>
#include <QBuffer>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

namespace {

void Check(bool condition) {
    if (!condition)
        std::abort();
}

class TFuzzItem : public TCollectionItem {
    Q_OBJECT
    Q_PROPERTY(QString Caption MEMBER Caption)
    Q_PROPERTY(int Width MEMBER Width)

public:
    Q_INVOKABLE explicit TFuzzItem(QObject* parent = nullptr) : TCollectionItem(parent) {}
    QString Caption;
    int Width = 0;
};

class TFuzzParity : public QObject {
    Q_OBJECT
    Q_PROPERTY(int Bits MEMBER Bits)
    Q_PROPERTY(bool Check MEMBER Check)

public:
    int Bits = 0;
    bool Check = false;
};

class TFuzzPort : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(TRate BaudRate MEMBER BaudRate)
    Q_PROPERTY(QString Port MEMBER Port)
    Q_PROPERTY(QByteArray Narrow MEMBER Narrow)
    Q_PROPERTY(TEvents Events READ GetEvents WRITE SetEvents)
    Q_PROPERTY(double Ratio MEMBER Ratio)
    Q_PROPERTY(qint64 Big MEMBER Big)
    Q_PROPERTY(char Letter MEMBER Letter)
    Q_PROPERTY(QVariant Any MEMBER Any)
    Q_PROPERTY(QObject* Link MEMBER Link)
    Q_PROPERTY(TFuzzParity* Parity READ Parity WRITE SetParity)
    Q_PROPERTY(TCollection* Items READ Items WRITE SetItems)

public:
    enum TRate { br9600, br38400, br57600 };
    Q_ENUM(TRate)
    enum TEvent { evRxChar = 1, evTxEmpty = 2, evRing = 4 };
    Q_DECLARE_FLAGS(TEvents, TEvent)
    Q_FLAG(TEvents)

    explicit TFuzzPort(QObject* owner)
        : QObject(owner), TComponent(this), m_parity(new TFuzzParity),
          m_items(new TCollection(&TFuzzItem::staticMetaObject, this)) {
        m_parity->setParent(this);
    }
    TFuzzParity* Parity() const { return m_parity; }
    void SetParity(TFuzzParity* p) {
        if (p)
            m_parity->Bits = p->Bits;
    }
    TCollection* Items() const { return m_items; }
    TEvents GetEvents() const { return Events; }
    void SetEvents(TEvents v) { Events = v; }
    void SetItems(TCollection*) {}

    TRate BaudRate = br38400;
    QString Port = QStringLiteral("COM1");
    QByteArray Narrow;
    TEvents Events;
    double Ratio = 0;
    qint64 Big = 0;
    char Letter = 'a';
    QVariant Any;
    QObject* Link = nullptr;

private:
    TFuzzParity* m_parity;
    TCollection* m_items;
};

class TMainFormF : public TForm {
    Q_OBJECT

public:
    TMainFormF() {
        setObjectName(QStringLiteral("MainFormF"));
        ComPort1 = new TFuzzPort(this);
        ComPort1->setObjectName(QStringLiteral("ComPort1"));
        auto* nested = new TFuzzPort(ComPort1);
        nested->setObjectName(QStringLiteral("Sub"));
    }
    ~TMainFormF() override { DoDestroy(); }
    TFuzzPort* ComPort1;
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static QApplication app(*argc, *argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TMainFormF form;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    try {
        TPropReaderEh reader(&buffer);
        reader.ReadOwnerProperties(&form);
    } catch (const EFilerError&) {
    }
    // A value is either the old one or a whole new one; text values never exceed the input.
    Check(form.ComPort1->Port == QLatin1String("COM1") || form.ComPort1->Port.size() <= qsizetype(size));
    Check(form.ComPort1->Narrow.size() <= qsizetype(size));
    Check(form.ComPort1->Items()->UpdateCount() == 0);
    Check(form.ComPort1->Items()->Count() <= int(size));
    return 0;
}

#include "stream_reader_fuzz.moc"

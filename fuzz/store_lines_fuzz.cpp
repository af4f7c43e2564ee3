// fuzz-libs: persistence runtime
// The settings store's readers on arbitrary input: the store file parser (which must refuse garbled
// input whole, and whose accepted content must serialize back to the same bytes), and the line loader
// of the registry storage manager: input lines taken as the stored Line values, turned into a stream
// (text form or hexadecimal) and loaded into a window as at show time.
#include "persistence/PropStorage.h"
#include "persistence/PropStorageManager.h"
#include "persistence/ValueStream.h"
#include "runtime/Registry.h"
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

class TFuzzPort : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(TRate BaudRate MEMBER BaudRate)
    Q_PROPERTY(QString Port MEMBER Port)

public:
    enum TRate { br9600, br38400, br57600 };
    Q_ENUM(TRate)
    explicit TFuzzPort(QObject* owner) : QObject(owner), TComponent(this) {}
    TRate BaudRate = br38400;
    QString Port = QStringLiteral("COM1");
};

class TMainFormF : public TForm {
    Q_OBJECT

public:
    TMainFormF() {
        setObjectName(QStringLiteral("MainFormF"));
        ComPort1 = new TFuzzPort(this);
        ComPort1->setObjectName(QStringLiteral("ComPort1"));
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
    const QByteArray input(reinterpret_cast<const char*>(data), qsizetype(size));

    TRegistryData store;
    if (store.Parse(input)) {
        const QByteArray saved = store.Serialize();
        TRegistryData again;
        Check(again.Parse(saved));
        // The first rewrite may still move a comment line across a blank line (a line above a key whose
        // earlier header follows a section kept as it stands joins that section); after it the text is
        // stable.
        const QByteArray twice = again.Serialize();
        TRegistryData third;
        Check(third.Parse(twice) && third.Serialize() == twice);
    } else {
        Check(store.Empty());
    }

    const QStringList lines = QString::fromLatin1(input).split(QLatin1Char('\n'));
    QByteArray stream = TRegPropStorageManEh::StreamFromLines(lines);
    Check(stream.size() <= qsizetype(size) + 2 * lines.size());
    TMainFormF form;
    TPropStorageEh storage(&form);
    storage.SetStoredProps({"ComPort1.<P>.BaudRate", "ComPort1.<P>.Port"});
    TRegPropStorageManEh manager;
    QBuffer buffer(&stream);
    buffer.open(QIODevice::ReadOnly);
    try {
        manager.LoadPropertiesFromStream(buffer, &storage);
    } catch (const Exception&) {
    }
    Check(form.ComPort1->Port == QLatin1String("COM1") || form.ComPort1->Port.size() <= qsizetype(size));
    return 0;
}

#include "store_lines_fuzz.moc"

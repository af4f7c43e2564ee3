#include "persistence/PropStorageManager.h"

#include "persistence/ObjectText.h"
#include "persistence/PropStorage.h"
#include "persistence/ValueStream.h"
#include "runtime/HexDigit.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QFileInfo>
#include <QPointer>

namespace {

constexpr int kHexDigitsPerValue = 80;

QPointer<TPropStorageManagerEh>& DefaultManager() {
    static QPointer<TPropStorageManagerEh> manager;
    return manager;
}

// Text to lines at CR, LF or CR LF; a line end at the very end starts no further line.
QStringList SplitLines(const QByteArray& text) {
    QStringList lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != '\r' && text[i] != '\n')
            continue;
        lines.append(QString::fromLatin1(text.mid(start, i - start)));
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < text.size())
        lines.append(QString::fromLatin1(text.mid(start)));
    return lines;
}

} // namespace

void SetDefaultPropStorageManager(TPropStorageManagerEh* manager) {
    DefaultManager() = manager;
}
TPropStorageManagerEh* DefaultPropStorageManager() {
    return DefaultManager();
}

// ---- TPropStorageManagerEh

TPropStorageManagerEh::TPropStorageManagerEh(QObject* owner) : QObject(owner), TComponent(this) {}

TPropStorageManagerEh::~TPropStorageManagerEh() {
    // Tell the storages while this manager is still whole.
    NotifyRemoval();
}

void TPropStorageManagerEh::ReadProperties(TPropStorageEh*) {}
void TPropStorageManagerEh::WritePropertiesStream(TPropStorageEh*, QIODevice&) {}
void TPropStorageManagerEh::WritePropertiesText(TPropStorageEh*, const QByteArray&) {}

void TPropStorageManagerEh::SaveProperties(TPropStorageEh* storage) {
    QByteArray bytes;
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadWrite);
    storage->WritePropsToStream(stream);
    stream.seek(0);
    if (WriteAsText())
        WritePropertiesText(storage, ObjectBinaryToText(bytes));
    else
        WritePropertiesStream(storage, stream);
}

void TPropStorageManagerEh::LoadPropertiesFromStream(QIODevice& stream, TPropStorageEh* storage) {
    switch (TestStreamFormat(stream)) {
    case TStreamOriginalFormat::sofBinary:
        storage->ReadPropsFromStream(stream);
        return;
    case TStreamOriginalFormat::sofText: {
        QByteArray binary;
        QBuffer converted(&binary);
        converted.open(QIODevice::ReadWrite);
        ObjectTextToBinary(stream, converted);
        converted.seek(0);
        storage->ReadPropsFromStream(converted);
        return;
    }
    case TStreamOriginalFormat::sofUnknown:
        throw EFilerError(QStringLiteral("Invalid stream format."));
    }
}

// ---- TRegPropStorageManEh

TRegPropStorageManEh::TRegPropStorageManEh(QObject* owner) : TPropStorageManagerEh(owner) {}

void TRegPropStorageManEh::SetRegistryKey(TRegistryKeyEh key) {
    if (key == m_registryKey)
        return;
    m_registryKey = key;
    if (key != rkCustomRegistryKeyEh)
        m_rootKey = HKEY_CLASSES_ROOT + HKEY(key);
}

QString TRegPropStorageManEh::DefaultPath() {
    QString title = QCoreApplication::applicationName();
    if (title.isEmpty())
        title = QFileInfo(QCoreApplication::applicationFilePath()).completeBaseName();
    return QStringLiteral("Software\\") + title;
}

QString TRegPropStorageManEh::EffectivePath() const {
    return m_path.isEmpty() ? DefaultPath() : m_path;
}

QString TRegPropStorageManEh::LineName(int index) {
    return QStringLiteral("Line%1").arg(index, 10, 10, QLatin1Char('0'));
}

void TRegPropStorageManEh::WriteLines(TPropStorageEh* storage, const QStringList& lines) {
    TRegistry reg;
    reg.SetRootKey(m_rootKey);
    const QString key = EffectivePath() + QLatin1Char('\\') + storage->EffectiveSection();
    // One write of the store for all lines; an exception leaves the store as it was.
    reg.BeginUpdate();
    if (!reg.OpenKey(key, true))
        throw ERegistryException(QStringLiteral("Failed to set data for '%1'").arg(LineName(0)));
    for (int i = 0; i < lines.size(); ++i)
        reg.WriteString(LineName(i), lines[i]);
    for (int n = int(lines.size()); reg.ValueExists(LineName(n)); ++n)
        reg.DeleteValue(LineName(n));
    reg.EndUpdate();
}

void TRegPropStorageManEh::WritePropertiesText(TPropStorageEh* storage, const QByteArray& text) {
    WriteLines(storage, SplitLines(text));
}

void TRegPropStorageManEh::WritePropertiesStream(TPropStorageEh* storage, QIODevice& stream) {
    const QByteArray hex = stream.readAll().toHex().toUpper();
    QStringList pieces;
    for (qsizetype i = 0; i < hex.size(); i += kHexDigitsPerValue)
        pieces.append(QString::fromLatin1(hex.mid(i, kHexDigitsPerValue)));
    WriteLines(storage, pieces);
}

QByteArray TRegPropStorageManEh::StreamFromLines(const QStringList& lines) {
    QByteArray bytes;
    if (lines.isEmpty())
        return bytes;
    if (TestStreamFormat(lines[0].toLatin1()) == TStreamOriginalFormat::sofText) {
        for (const QString& line : lines)
            bytes += line.toLatin1() + "\r\n";
        return bytes;
    }
    const QByteArray hex = lines.join(QString()).toLatin1();
    bytes.reserve(hex.size() / 2);
    for (qsizetype i = 0; i + 1 < hex.size(); i += 2) {
        const int hi = HexValue(hex[i]), lo = HexValue(hex[i + 1]);
        if (hi < 0 || lo < 0)
            break;
        bytes.append(char(hi * 16 + lo));
    }
    return bytes;
}

void TRegPropStorageManEh::ReadProperties(TPropStorageEh* storage) {
    const QString path = EffectivePath();
    const QString section = storage->EffectiveSection();
    // One reading of the store for the whole section; the stream is applied after it.
    QByteArray bytes;
    bool legacy = false, found = false;
    {
        TRegistry reg;
        reg.SetRootKey(m_rootKey);
        reg.BeginRead();
        // An older single value holding the whole stream: read, apply, delete.
        if (reg.OpenKeyReadOnly(path) && reg.ValueExists(section)) {
            legacy = found = true;
            bytes = reg.GetDataType(section) == TRegDataType::rdBinary ? reg.ReadBinaryData(section)
                                                                       : reg.ReadString(section).toLatin1();
        } else {
            reg.CloseKey();
            if (reg.OpenKeyReadOnly(path + QLatin1Char('\\') + section)) {
                QStringList lines;
                for (int i = 0; reg.ValueExists(LineName(i)); ++i)
                    lines.append(reg.ReadString(LineName(i)));
                found = !lines.isEmpty();
                bytes = StreamFromLines(lines);
            }
        }
        reg.EndRead();
    }
    if (!found)
        return;
    QBuffer stream(&bytes);
    stream.open(QIODevice::ReadOnly);
    LoadPropertiesFromStream(stream, storage);
    if (legacy) {
        TRegistry reg;
        reg.SetRootKey(m_rootKey);
        if (reg.OpenKey(QStringLiteral("\\") + path, false))
            reg.DeleteValue(section);
    }
}

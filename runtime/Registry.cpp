#include "runtime/Registry.h"

#include "runtime/Exception.h"
#include "runtime/RegistryStore.h"

using namespace regstore;

namespace {

QString Msg(const char* format, const QString& name) {
    return QString::fromLatin1(format).arg(name);
}

[[noreturn]] void FailGet(const QString& name) {
    throw ERegistryException(Msg("Failed to get data for '%1'", name));
}
[[noreturn]] void FailType(const QString& name) {
    throw ERegistryException(Msg("Invalid data type for '%1'", name));
}
[[noreturn]] void FailSet(const QString& name) {
    throw ERegistryException(Msg("Failed to set data for '%1'", name));
}

QByteArray IntegerBytes(int32_t value) {
    QByteArray out;
    for (int i = 0; i < 4; ++i)
        out.append(char((uint32_t(value) >> (8 * i)) & 0xFF));
    return out;
}

// Whether a key of that path may be created. A key path is one line of the store, and one longer or
// deeper than the store's bounds is refused with a message saying so.
bool MayCreate(const QString& path) {
    if (TRegistryData::PathAllowed(path))
        return true;
    const qsizetype depth = path.count(QLatin1Char('\\')) + 1;
    const qsizetype bytes = path.toUtf8().size();
    if (depth <= TRegistryData::kMaxKeyDepth && bytes <= TRegistryData::kMaxKeyPathBytes)
        return false;
    throw ERegistryException(QStringLiteral("Failed to create key '%1': a key path may have at most %2 names "
                                            "and %3 bytes, this one has %4 names and %5 bytes")
                                 .arg(path.left(40) + (path.size() > 40 ? QStringLiteral("...") : QString()))
                                 .arg(TRegistryData::kMaxKeyDepth)
                                 .arg(TRegistryData::kMaxKeyPathBytes)
                                 .arg(depth)
                                 .arg(bytes));
}

} // namespace

struct TRegistry::TBatch {
    int Depth = 0;
    bool Ok = false;
    QString Path;
    std::unique_ptr<TStoreLock> Lock;
    TRegistryData Data;
    bool Changed = false;
    QString LastName; // the value named when the batch fails to be written
    // The key the last read found; forgotten at every change.
    const TRegistryData::TKey* CachedKey = nullptr;
    HKEY CachedRoot = 0;
    QString CachedPath;
};

TRegistry::TRegistry() = default;
TRegistry::~TRegistry() = default; // an update that was not ended is dropped, and its lock released

void TRegistry::Begin(bool forChange) {
    if (m_batch) {
        ++m_batch->Depth;
        return;
    }
    auto batch = std::make_unique<TBatch>();
    if (forChange) {
        batch->Path = RegistryStorePath();
        batch->Lock = LockForChange(batch->Path, batch->Data);
        batch->Ok = batch->Lock != nullptr;
    } else {
        batch->Data = LoadStore();
        batch->Ok = false; // no lock held: nothing may be written
    }
    m_batch = std::move(batch);
}

void TRegistry::BeginUpdate() {
    Begin(true);
}

void TRegistry::BeginRead() {
    Begin(false);
}

void TRegistry::EndUpdate() {
    if (!m_batch)
        return;
    if (m_batch->Depth > 0) {
        --m_batch->Depth;
        return;
    }
    std::unique_ptr<TBatch> batch = std::move(m_batch);
    if (batch->Changed && (!batch->Ok || !WriteStoreFile(batch->Path, batch->Data)))
        FailSet(batch->LastName);
}

const TRegistryData& TRegistry::Snapshot(TRegistryData& scratch) const {
    if (m_batch)
        return m_batch->Data;
    scratch = LoadStore();
    return scratch;
}

template <class F> bool TRegistry::Change(const QString& name, F&& change) {
    if (!m_batch)
        return ModifyStore(std::forward<F>(change));
    m_batch->LastName = name;
    m_batch->CachedKey = nullptr;
    if (!m_batch->Ok)
        return false;
    if (change(m_batch->Data))
        m_batch->Changed = true;
    return true;
}

void TRegistry::SetRootKey(HKEY root) {
    CloseKey();
    m_root = root;
}

QString TRegistry::Resolve(const QString& key) const {
    if (key.startsWith(QLatin1Char('\\')) || !m_keyOpen)
        return TRegistryData::NormalizePath(key);
    return TRegistryData::NormalizePath(m_currentPath + QLatin1Char('\\') + key);
}

bool TRegistry::OpenKey(const QString& key, bool canCreate) {
    if (!IsRootKey(m_root))
        return false;
    const QString path = Resolve(key);
    bool exists = false;
    if (canCreate) {
        if (!MayCreate(path))
            return false;
        exists = Change(path, [&](TRegistryData& data) {
            if (data.FindKey(m_root, path))
                return false;
            data.CreateKey(m_root, path);
            return true;
        });
    } else {
        TRegistryData scratch;
        exists = path.isEmpty() || Snapshot(scratch).FindKey(m_root, path) != nullptr;
    }
    if (!exists)
        return false;
    m_currentPath = path;
    m_keyOpen = true;
    m_readOnly = false;
    return true;
}

bool TRegistry::OpenKeyReadOnly(const QString& key) {
    if (!OpenKey(key, false))
        return false;
    m_readOnly = true;
    return true;
}

void TRegistry::CloseKey() {
    m_keyOpen = false;
    m_readOnly = false;
    m_currentPath.clear();
}

bool TRegistry::CreateKey(const QString& key) {
    if (!IsRootKey(m_root))
        return false;
    const QString path = Resolve(key);
    if (!MayCreate(path))
        return false;
    return Change(path, [&](TRegistryData& data) {
        if (data.FindKey(m_root, path))
            return false;
        data.CreateKey(m_root, path);
        return true;
    });
}

bool TRegistry::DeleteKey(const QString& key) {
    const QString path = Resolve(key);
    bool deleted = false;
    const bool written = Change(path, [&](TRegistryData& data) {
        deleted = data.DeleteKey(m_root, path);
        return deleted;
    });
    return written && deleted;
}

bool TRegistry::KeyExists(const QString& key) const {
    if (!IsRootKey(m_root))
        return false;
    const QString path = Resolve(key);
    TRegistryData scratch;
    return path.isEmpty() || Snapshot(scratch).FindKey(m_root, path) != nullptr;
}

std::optional<TRegistryData::TValue> TRegistry::LoadValue(const QString& name) const {
    if (!m_keyOpen)
        return std::nullopt;
    TRegistryData scratch;
    const TRegistryData::TKey* key = nullptr;
    if (m_batch && m_batch->CachedKey && m_batch->CachedRoot == m_root &&
        m_batch->CachedPath == m_currentPath) {
        key = m_batch->CachedKey;
    } else {
        key = Snapshot(scratch).FindKey(m_root, m_currentPath);
        if (m_batch && key) {
            // Reads of one key in an update or read find it once.
            m_batch->CachedKey = key;
            m_batch->CachedRoot = m_root;
            m_batch->CachedPath = m_currentPath;
        }
    }
    if (!key)
        return std::nullopt;
    if (const TRegistryData::TValue* v = TRegistryData::FindValue(*key, name))
        return *v;
    return std::nullopt;
}

bool TRegistry::ValueExists(const QString& name) const {
    return LoadValue(name).has_value();
}

QStringList TRegistry::GetValueNames() const {
    QStringList names;
    if (!m_keyOpen)
        return names;
    TRegistryData scratch;
    if (const TRegistryData::TKey* key = Snapshot(scratch).FindKey(m_root, m_currentPath))
        for (const auto& v : key->Values)
            if (!v.Removed)
                names.append(v.Name);
    return names;
}

QStringList TRegistry::GetKeyNames() const {
    if (!m_keyOpen)
        return {};
    TRegistryData scratch;
    return Snapshot(scratch).SubKeyNames(m_root, m_currentPath);
}

TRegDataType TRegistry::GetDataType(const QString& name) const {
    auto v = LoadValue(name);
    return v ? v->Type : TRegDataType::rdUnknown;
}

int TRegistry::GetDataSize(const QString& name) const {
    auto v = LoadValue(name);
    if (!v)
        return -1;
    // Text is counted as the operating system counts it: UTF-16 units with the terminating zero.
    if (v->Type == TRegDataType::rdString || v->Type == TRegDataType::rdExpandString)
        return int(TRegistryData::DecodeText(v->Data).size() + 1) * 2;
    return int(v->Data.size());
}

bool TRegistry::GetDataInfo(const QString& name, TRegDataInfo& info) const {
    info = TRegDataInfo();
    if (!LoadValue(name))
        return false;
    info.RegData = GetDataType(name);
    info.DataSize = GetDataSize(name);
    return true;
}

QString TRegistry::ReadString(const QString& name) const {
    auto v = LoadValue(name);
    if (!v)
        return QString();
    if (v->Type != TRegDataType::rdString && v->Type != TRegDataType::rdExpandString)
        FailType(name);
    return TRegistryData::DecodeText(v->Data);
}

int32_t TRegistry::ReadInteger(const QString& name) const {
    auto v = LoadValue(name);
    if (!v)
        FailGet(name);
    if (v->Type != TRegDataType::rdInteger || v->Data.size() != 4)
        FailType(name);
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i)
        u |= uint32_t(uint8_t(v->Data[i])) << (8 * i);
    return int32_t(u);
}

QByteArray TRegistry::ReadBinaryData(const QString& name) const {
    auto v = LoadValue(name);
    if (!v)
        FailGet(name);
    if (v->Type != TRegDataType::rdBinary && v->Type != TRegDataType::rdUnknown)
        FailType(name);
    return v->Data;
}

void TRegistry::WriteValue(const QString& name, TRegDataType type, const QByteArray& data) {
    if (!m_keyOpen || m_readOnly || !IsRootKey(m_root) ||
        TRegistryData::EncodeText(name).size() > qsizetype(kMaxNameBytes) ||
        data.size() > qsizetype(kMaxDataBytes))
        FailSet(name);
    bool keyFound = true;
    const bool written = Change(name, [&](TRegistryData& store) {
        TRegistryData::TKey* key = store.FindKey(m_root, m_currentPath);
        if (!key && !m_currentPath.isEmpty()) {
            keyFound = false; // deleted by someone else since it was opened
            return false;
        }
        if (!key)
            key = &store.CreateKey(m_root, m_currentPath);
        TRegistryData::TValue value;
        value.Name = name;
        value.Type = type;
        value.Data = data;
        TRegistryData::SetValue(*key, std::move(value));
        return true;
    });
    if (!written || !keyFound)
        FailSet(name);
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    WriteValue(name, TRegDataType::rdString, TRegistryData::EncodeText(value));
}

void TRegistry::WriteExpandString(const QString& name, const QString& value) {
    WriteValue(name, TRegDataType::rdExpandString, TRegistryData::EncodeText(value));
}

void TRegistry::WriteInteger(const QString& name, int32_t value) {
    WriteValue(name, TRegDataType::rdInteger, IntegerBytes(value));
}

void TRegistry::WriteBinaryData(const QString& name, const QByteArray& value) {
    WriteValue(name, TRegDataType::rdBinary, value);
}

bool TRegistry::DeleteValue(const QString& name) {
    if (!m_keyOpen || m_readOnly)
        return false;
    bool deleted = false;
    const bool written = Change(name, [&](TRegistryData& store) {
        TRegistryData::TKey* key = store.FindKey(m_root, m_currentPath);
        if (!key)
            return false;
        deleted = TRegistryData::RemoveValue(*key, name);
        return deleted;
    });
    return written && deleted;
}

#include "runtime/Registry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <array>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcRegistry, "corvantel.registry", QtCriticalMsg)

namespace {

// clang-format off
constexpr std::array<const char*, 7> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
// clang-format on

constexpr char kMagic[8] = {'C', 'V', 'R', 'E', 'G', '\x01', '\r', '\n'};
// Bounds of the file form: a store larger than this is not read at all, and no single name or datum
// may exceed its bound (the operating system's registry has similar limits).
constexpr qint64 kMaxStoreBytes = 64 * 1024 * 1024;
constexpr uint32_t kMaxNameBytes = 16 * 1024;
constexpr uint32_t kMaxPathBytes = 32 * 1024;
constexpr uint32_t kMaxDataBytes = 16 * 1024 * 1024;

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

// Holds a flock on the store's lock file for the lifetime of the object.
class TStoreLock {
public:
    TStoreLock(const QString& storePath, bool exclusive) {
        const QByteArray lockPath = QFile::encodeName(storePath + QStringLiteral(".lock"));
        m_fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return;
        int rc;
        do {
            rc = ::flock(m_fd, exclusive ? LOCK_EX : LOCK_SH);
        } while (rc != 0 && errno == EINTR);
        m_locked = rc == 0;
    }
    ~TStoreLock() {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    TStoreLock(const TStoreLock&) = delete;
    TStoreLock& operator=(const TStoreLock&) = delete;
    bool Locked() const { return m_locked; }

private:
    int m_fd = -1;
    bool m_locked = false;
};

enum class TLoadResult { lrMissing, lrOk, lrGarbled };

TLoadResult ReadStoreFile(const QString& path, TRegistryData& data) {
    data = TRegistryData();
    QFile file(path);
    if (!file.exists())
        return TLoadResult::lrMissing;
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcRegistry) << "cannot read the settings store" << path << file.errorString();
        return TLoadResult::lrMissing;
    }
    if (file.size() > kMaxStoreBytes) {
        qCWarning(lcRegistry) << "settings store too large, ignored" << path;
        return TLoadResult::lrGarbled;
    }
    const QByteArray bytes = file.readAll(); // size checked above
    if (bytes.isEmpty())
        return TLoadResult::lrMissing;
    if (!data.Parse(bytes)) {
        qCWarning(lcRegistry) << "garbled settings store ignored" << path;
        return TLoadResult::lrGarbled;
    }
    return TLoadResult::lrOk;
}

TRegistryData LoadStore() {
    const QString path = RegistryStorePath();
    TRegistryData data;
    if (!QFileInfo::exists(path))
        return data;
    TStoreLock lock(path, false);
    ReadStoreFile(path, data);
    return data;
}

// Takes the exclusive lock and reads the current content for a change; nullptr when the store's folder
// cannot be made or locked. A garbled store is kept aside before it is replaced.
std::unique_ptr<TStoreLock> LockForChange(const QString& path, TRegistryData& data) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return nullptr;
    auto lock = std::make_unique<TStoreLock>(path, true);
    if (!lock->Locked())
        return nullptr;
    if (ReadStoreFile(path, data) == TLoadResult::lrGarbled) {
        const QString keep = path + QStringLiteral(".corrupt");
        QFile::remove(keep);
        QFile::copy(path, keep);
    }
    return lock;
}

// Writes the content atomically (the caller holds the lock).
bool WriteStoreFile(const QString& path, const TRegistryData& data) {
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly))
        return false;
    const QByteArray bytes = data.Serialize();
    if (out.write(bytes) != bytes.size()) {
        out.cancelWriting();
        return false;
    }
    return out.commit(); // flushes to disk, then renames over the old store
}

// Runs change on the current content under the exclusive lock and writes the result back atomically.
// change returns false when it changed nothing. Returns false when the store could not be written.
template <class F> bool ModifyStore(F&& change) {
    const QString path = RegistryStorePath();
    TRegistryData data;
    auto lock = LockForChange(path, data);
    if (!lock)
        return false;
    if (!change(data))
        return true;
    return WriteStoreFile(path, data);
}

// Little-endian reader over a byte array that never reads past its end.
class TByteReader {
public:
    explicit TByteReader(const QByteArray& bytes) : m_bytes(bytes) {}
    qsizetype Left() const { return m_bytes.size() - m_pos; }
    bool U8(uint8_t& v) {
        if (Left() < 1)
            return false;
        v = uint8_t(m_bytes[m_pos++]);
        return true;
    }
    bool U32(uint32_t& v) {
        if (Left() < 4)
            return false;
        v = 0;
        for (int i = 0; i < 4; ++i)
            v |= uint32_t(uint8_t(m_bytes[m_pos + i])) << (8 * i);
        m_pos += 4;
        return true;
    }
    bool Bytes(uint32_t bound, QByteArray& out) {
        uint32_t n;
        if (!U32(n) || n > bound || qsizetype(n) > Left())
            return false;
        out = m_bytes.mid(m_pos, n);
        m_pos += n;
        return true;
    }
    bool Text(uint32_t bound, QString& out) {
        QByteArray raw;
        if (!Bytes(bound, raw))
            return false;
        out = QString::fromUtf8(raw);
        return true;
    }

private:
    const QByteArray& m_bytes;
    qsizetype m_pos = 0;
};

void PutU32(QByteArray& out, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.append(char((v >> (8 * i)) & 0xFF));
}

void PutBytes(QByteArray& out, const QByteArray& bytes) {
    PutU32(out, uint32_t(bytes.size()));
    out.append(bytes);
}

QByteArray IntegerBytes(int32_t value) {
    QByteArray out;
    PutU32(out, uint32_t(value));
    return out;
}

} // namespace

std::optional<QString> RootKeyToIdent(int64_t handle) {
    if (!IsRootKey(handle))
        return std::nullopt;
    return QString::fromLatin1(kRootNames[size_t(handle - HKEY_CLASSES_ROOT)]);
}

std::optional<HKEY> IdentToRootKey(const QString& ident) {
    for (size_t i = 0; i < kRootNames.size(); ++i)
        if (ident.compare(QLatin1String(kRootNames[i]), Qt::CaseInsensitive) == 0)
            return HKEY(HKEY_CLASSES_ROOT + i);
    return std::nullopt;
}

bool IsRootKey(int64_t handle) {
    return handle >= HKEY_CLASSES_ROOT && handle <= HKEY_DYN_DATA;
}

QString RegistryStorePath() {
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/corvantel/registry.dat");
}

// ---- TRegistryData

QString TRegistryData::NormalizePath(const QString& path) {
    if (!path.startsWith(QLatin1Char('\\')) && !path.endsWith(QLatin1Char('\\')) &&
        !path.contains(QLatin1String("\\\\")))
        return path; // already normal: the usual case, without building a list
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts).join(QLatin1Char('\\'));
}

TRegistryData::TKey* TRegistryData::FindKey(HKEY root, const QString& path) {
    auto it = m_keys.find(Id(root, NormalizePath(path)));
    return it == m_keys.end() ? nullptr : &it->second;
}

TRegistryData::TKey& TRegistryData::CreateKey(HKEY root, const QString& path) {
    const QStringList parts = NormalizePath(path).split(QLatin1Char('\\'), Qt::SkipEmptyParts);
    QString sofar;
    TKey* key = nullptr;
    // The root itself is a key with an empty path.
    for (int i = -1; i < parts.size(); ++i) {
        if (i >= 0)
            sofar = sofar.isEmpty() ? parts[i] : sofar + QLatin1Char('\\') + parts[i];
        auto [it, inserted] = m_keys.try_emplace(Id(root, sofar));
        if (inserted) {
            it->second.Root = root;
            it->second.Path = sofar;
        }
        key = &it->second;
    }
    return *key;
}

bool TRegistryData::DeleteKey(HKEY root, const QString& path) {
    const QString norm = NormalizePath(path);
    if (norm.isEmpty())
        return false; // a root cannot be deleted
    const QString folded = norm.toCaseFolded();
    const QString prefix = folded + QLatin1Char('\\');
    bool found = false;
    for (auto it = m_keys.begin(); it != m_keys.end();) {
        if (it->first.first == root && (it->first.second == folded || it->first.second.startsWith(prefix))) {
            it = m_keys.erase(it);
            found = true;
        } else {
            ++it;
        }
    }
    return found;
}

QStringList TRegistryData::SubKeyNames(HKEY root, const QString& path) const {
    const QString folded = NormalizePath(path).toCaseFolded();
    const QString prefix = folded.isEmpty() ? QString() : folded + QLatin1Char('\\');
    QStringList names;
    for (const auto& [id, key] : m_keys) {
        if (id.first != root || id.second.isEmpty() || !id.second.startsWith(prefix))
            continue;
        const QString rest = key.Path.mid(prefix.size());
        if (!rest.isEmpty() && !rest.contains(QLatin1Char('\\')))
            names.append(rest);
    }
    return names;
}

TRegistryData::TValue* TRegistryData::FindValue(TKey& key, const QString& name) {
    auto it = key.Index.constFind(name.toCaseFolded());
    return it == key.Index.constEnd() ? nullptr : &key.Values[size_t(*it)];
}

const TRegistryData::TValue* TRegistryData::FindValue(const TKey& key, const QString& name) {
    auto it = key.Index.constFind(name.toCaseFolded());
    return it == key.Index.constEnd() ? nullptr : &key.Values[size_t(*it)];
}

const TRegistryData::TKey* TRegistryData::FindKey(HKEY root, const QString& path) const {
    auto it = m_keys.find(Id(root, NormalizePath(path)));
    return it == m_keys.end() ? nullptr : &it->second;
}

void TRegistryData::SetValue(TKey& key, TValue value) {
    if (TValue* existing = FindValue(key, value.Name)) {
        existing->Type = value.Type;
        existing->Data = std::move(value.Data);
        return;
    }
    key.Index.insert(value.Name.toCaseFolded(), qsizetype(key.Values.size()));
    key.Values.push_back(std::move(value));
}

bool TRegistryData::RemoveValue(TKey& key, const QString& name) {
    auto it = key.Index.find(name.toCaseFolded());
    if (it == key.Index.end())
        return false;
    const size_t pos = size_t(*it);
    key.Index.erase(it);
    key.Values.erase(key.Values.begin() + qsizetype(pos));
    // Removing the last value (the usual case: a shorter save) moves nothing.
    if (pos < key.Values.size())
        for (auto& index : key.Index)
            if (size_t(index) > pos)
                --index;
    return true;
}

QByteArray TRegistryData::Serialize() const {
    QByteArray out(kMagic, sizeof kMagic);
    PutU32(out, uint32_t(m_keys.size()));
    for (const auto& [id, key] : m_keys) {
        PutU32(out, key.Root);
        PutBytes(out, key.Path.toUtf8());
        PutU32(out, uint32_t(key.Values.size()));
        for (const TValue& v : key.Values) {
            PutBytes(out, v.Name.toUtf8());
            out.append(char(v.Type));
            PutBytes(out, v.Data);
        }
    }
    return out;
}

bool TRegistryData::Parse(const QByteArray& bytes) {
    m_keys.clear();
    if (bytes.size() < qsizetype(sizeof kMagic) || std::memcmp(bytes.constData(), kMagic, sizeof kMagic) != 0)
        return false;
    const QByteArray body = bytes.mid(sizeof kMagic);
    TByteReader in(body);
    // Smallest encodings: a key takes 12 bytes (root, empty path, no values), a value 9.
    constexpr qsizetype kMinKeyBytes = 12;
    constexpr qsizetype kMinValueBytes = 9;
    uint32_t keyCount;
    bool ok = in.U32(keyCount) && qsizetype(keyCount) <= in.Left() / kMinKeyBytes;
    for (uint32_t k = 0; ok && k < keyCount; ++k) {
        uint32_t root, valueCount;
        QString path;
        ok = in.U32(root) && IsRootKey(root) && in.Text(kMaxPathBytes, path) && in.U32(valueCount) &&
             qsizetype(valueCount) <= in.Left() / kMinValueBytes;
        if (!ok)
            break;
        TKey& key = CreateKey(root, path);
        for (uint32_t i = 0; ok && i < valueCount; ++i) {
            TValue v;
            uint8_t type;
            ok = in.Text(kMaxNameBytes, v.Name) && in.U8(type) && type <= uint8_t(TRegDataType::rdBinary) &&
                 in.Bytes(kMaxDataBytes, v.Data);
            if (!ok)
                break;
            v.Type = TRegDataType(type);
            if (v.Type == TRegDataType::rdInteger && v.Data.size() != 4) {
                ok = false;
                break;
            }
            SetValue(key, std::move(v));
        }
    }
    if (ok && in.Left() != 0)
        ok = false;
    if (!ok)
        m_keys.clear();
    return ok;
}

// ---- TRegistry

struct TRegistry::TBatch {
    int Depth = 0;
    bool Ok = false;
    QString Path;
    std::unique_ptr<TStoreLock> Lock;
    TRegistryData Data;
    bool Changed = false;
    QString LastName; // the value named when the batch fails to be written
};

TRegistry::TRegistry() = default;
TRegistry::~TRegistry() = default; // an update that was not ended is dropped, and its lock released

void TRegistry::BeginUpdate() {
    if (m_batch) {
        ++m_batch->Depth;
        return;
    }
    auto batch = std::make_unique<TBatch>();
    batch->Path = RegistryStorePath();
    batch->Lock = LockForChange(batch->Path, batch->Data);
    batch->Ok = batch->Lock != nullptr;
    m_batch = std::move(batch);
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

void TRegistry::BeginRead() {
    if (m_batch) {
        ++m_batch->Depth;
        return;
    }
    auto batch = std::make_unique<TBatch>();
    batch->Data = LoadStore();
    batch->Ok = false; // no lock held: nothing may be written
    m_batch = std::move(batch);
}

template <class F> bool TRegistry::Change(const QString& name, F&& change) {
    if (!m_batch)
        return ModifyStore(std::forward<F>(change));
    m_batch->LastName = name;
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
    const TRegistryData::TKey* key = Snapshot(scratch).FindKey(m_root, m_currentPath);
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
        return int(QString::fromUtf8(v->Data).size() + 1) * 2;
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
    return QString::fromUtf8(v->Data);
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
    if (!m_keyOpen || m_readOnly || !IsRootKey(m_root) || name.toUtf8().size() > qsizetype(kMaxNameBytes) ||
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
        TRegistryData::SetValue(*key, {name, type, data});
        return true;
    });
    if (!written || !keyFound)
        FailSet(name);
}

void TRegistry::WriteString(const QString& name, const QString& value) {
    WriteValue(name, TRegDataType::rdString, value.toUtf8());
}

void TRegistry::WriteExpandString(const QString& name, const QString& value) {
    WriteValue(name, TRegDataType::rdExpandString, value.toUtf8());
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

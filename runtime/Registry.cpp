#include "runtime/Registry.h"

#include "runtime/Exception.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QSaveFile>

#include <algorithm>
#include <array>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <set>
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
    TStoreLock(const QString& lockFile, bool exclusive) {
        const QByteArray lockPath = QFile::encodeName(lockFile);
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

enum class TLoadResult { lrMissing, lrOk, lrGarbled, lrUnreadable };

bool g_failReads = false;

QString LockPath() {
    return LegacyRegistryStorePath() + QStringLiteral(".lock");
}

TLoadResult ReadStoreFile(const QString& path, TRegistryData& data) {
    data = TRegistryData();
    QFile file(path);
    if (!file.exists())
        return TLoadResult::lrMissing;
    if (g_failReads || !file.open(QIODevice::ReadOnly)) {
        qCWarning(lcRegistry) << "cannot read the settings store" << path << file.errorString();
        return TLoadResult::lrUnreadable;
    }
    if (file.size() > kMaxStoreBytes) {
        qCWarning(lcRegistry) << "settings store too large, ignored" << path;
        return TLoadResult::lrGarbled;
    }
    const QByteArray bytes = file.readAll(); // size checked above
    if (file.error() != QFileDevice::NoError) {
        qCWarning(lcRegistry) << "cannot read the settings store" << path << file.errorString();
        return TLoadResult::lrUnreadable;
    }
    if (bytes.isEmpty())
        return TLoadResult::lrMissing;
    if (!data.Parse(bytes)) {
        qCWarning(lcRegistry) << "garbled settings store ignored" << path;
        return TLoadResult::lrGarbled;
    }
    return TLoadResult::lrOk;
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

// Keeps a garbled store file aside and tells the user, once: the next write replaces it.
void KeepAside(const QString& path) {
    const QString keep = path + QStringLiteral(".corrupt");
    QFile::remove(keep);
    if (!QFile::rename(path, keep))
        QFile::copy(path, keep);
    ReportException(QStringLiteral("The settings store %1 could not be understood; it was kept as %2 and "
                                   "the settings start afresh.")
                        .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(keep)));
}

// With the exclusive lock held: turns an existing binary store of an earlier version into the text
// store, once, keeping the binary file as a backup. False when it exists but cannot be read.
bool ConvertLegacyStore(const QString& path) {
    const QString legacy = LegacyRegistryStorePath();
    if (QFileInfo::exists(path) || !QFileInfo::exists(legacy))
        return true;
    TRegistryData data;
    switch (ReadStoreFile(legacy, data)) {
    case TLoadResult::lrUnreadable:
        return false;
    case TLoadResult::lrGarbled:
        KeepAside(legacy);
        return true;
    case TLoadResult::lrMissing:
    case TLoadResult::lrOk:
        break;
    }
    if (!WriteStoreFile(path, data))
        return false;
    const QString backup = legacy + QStringLiteral(".bak");
    QFile::remove(backup);
    QFile::rename(legacy, backup);
    return true;
}

TRegistryData LoadStore() {
    const QString path = RegistryStorePath();
    TRegistryData data;
    if (!QFileInfo::exists(path)) {
        if (!QFileInfo::exists(LegacyRegistryStorePath()))
            return data;
        TStoreLock lock(LockPath(), true);
        if (!lock.Locked() || !ConvertLegacyStore(path)) {
            ReadStoreFile(LegacyRegistryStorePath(), data);
            return data;
        }
    }
    TStoreLock lock(LockPath(), false);
    ReadStoreFile(path, data);
    return data;
}

// Takes the exclusive lock and reads the current content for a change; nullptr when the store's folder
// cannot be made or locked, or the store exists but cannot be read (it must not be written over). A
// garbled store is kept aside before it is replaced.
std::unique_ptr<TStoreLock> LockForChange(const QString& path, TRegistryData& data) {
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return nullptr;
    auto lock = std::make_unique<TStoreLock>(LockPath(), true);
    if (!lock->Locked() || !ConvertLegacyStore(path))
        return nullptr;
    switch (ReadStoreFile(path, data)) {
    case TLoadResult::lrUnreadable:
        return nullptr;
    case TLoadResult::lrGarbled:
        KeepAside(path);
        break;
    case TLoadResult::lrMissing:
    case TLoadResult::lrOk:
        break;
    }
    return lock;
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

bool HasControl(const QString& text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

// Length of the well-formed UTF-8 sequence at i, 0 when the bytes there are none.
int Utf8SequenceLength(const QByteArray& b, qsizetype i) {
    const auto at = [&](qsizetype k) { return k < b.size() ? uint8_t(b[k]) : 0u; };
    const unsigned c = at(i);
    const auto cont = [&](qsizetype k) { return (at(k) & 0xC0u) == 0x80u; };
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        return cont(i + 1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        const unsigned c1 = at(i + 1);
        const bool ok1 = c == 0xE0   ? (c1 >= 0xA0 && c1 <= 0xBF)
                         : c == 0xED ? (c1 >= 0x80 && c1 <= 0x9F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) ? 3 : 0;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        const unsigned c1 = at(i + 1);
        const bool ok1 = c == 0xF0   ? (c1 >= 0x90 && c1 <= 0xBF)
                         : c == 0xF4 ? (c1 >= 0x80 && c1 <= 0x8F)
                                     : cont(i + 1);
        return ok1 && cont(i + 2) && cont(i + 3) ? 4 : 0;
    }
    return 0;
}

const char kHexDigits[] = "0123456789abcdef";

// Bytes in double quotes: backslash, quote, CR, LF and tab escaped, other control bytes and bytes that
// are not UTF-8 as \xHH, the rest literal.
void AppendQuoted(QByteArray& out, const QByteArray& bytes) {
    out += '"';
    for (qsizetype i = 0; i < bytes.size();) {
        const uint8_t c = uint8_t(bytes[i]);
        switch (c) {
        case '\\':
            out += "\\\\";
            ++i;
            continue;
        case '"':
            out += "\\\"";
            ++i;
            continue;
        case '\n':
            out += "\\n";
            ++i;
            continue;
        case '\r':
            out += "\\r";
            ++i;
            continue;
        case '\t':
            out += "\\t";
            ++i;
            continue;
        default:
            break;
        }
        const int n = c < 0x20 || c == 0x7F ? 0 : Utf8SequenceLength(bytes, i);
        if (n == 0) {
            out += "\\x";
            out += kHexDigits[c >> 4];
            out += kHexDigits[c & 15];
            ++i;
        } else {
            out += bytes.mid(i, n);
            i += n;
        }
    }
    out += '"';
}

void AppendHexList(QByteArray& out, const QByteArray& bytes) {
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (i)
            out += ',';
        out += kHexDigits[uint8_t(bytes[i]) >> 4];
        out += kHexDigits[uint8_t(bytes[i]) & 15];
    }
}

void AppendValueLine(QByteArray& out, const TRegistryData::TValue& v) {
    if (v.Name.isEmpty())
        out += '@';
    else
        AppendQuoted(out, v.Name.toUtf8());
    out += '=';
    switch (v.Type) {
    case TRegDataType::rdString:
        AppendQuoted(out, v.Data);
        break;
    case TRegDataType::rdExpandString:
        out += "expand:";
        AppendQuoted(out, v.Data);
        break;
    case TRegDataType::rdInteger: {
        uint32_t u = 0;
        for (int i = 0; i < 4 && i < v.Data.size(); ++i)
            u |= uint32_t(uint8_t(v.Data[i])) << (8 * i);
        out += "dword:" + QByteArray::number(u, 16).rightJustified(8, '0');
        break;
    }
    case TRegDataType::rdBinary:
        out += "hex:";
        AppendHexList(out, v.Data);
        break;
    case TRegDataType::rdUnknown:
        out += "hex(0):";
        AppendHexList(out, v.Data);
        break;
    }
    out += '\n';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted text at pos (on the opening quote) into out; pos ends after the closing quote.
bool ReadQuoted(const QByteArray& line, qsizetype& pos, QByteArray& out) {
    if (pos >= line.size() || line[pos] != '"')
        return false;
    for (++pos; pos < line.size(); ++pos) {
        const char c = line[pos];
        if (c == '"') {
            ++pos;
            return true;
        }
        if (c != '\\') {
            // Copy the run up to the next quote or backslash at once.
            qsizetype end = pos + 1;
            while (end < line.size() && line[end] != '"' && line[end] != '\\')
                ++end;
            out.append(line.constData() + pos, end - pos);
            pos = end - 1;
            continue;
        }
        if (++pos >= line.size())
            return false;
        switch (line[pos]) {
        case '\\':
            out += '\\';
            break;
        case '"':
            out += '"';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'x': {
            const int hi = pos + 1 < line.size() ? HexValue(line[pos + 1]) : -1;
            const int lo = pos + 2 < line.size() ? HexValue(line[pos + 2]) : -1;
            if (hi < 0 || lo < 0)
                return false;
            out += char(hi * 16 + lo);
            pos += 2;
            break;
        }
        default:
            return false;
        }
    }
    return false; // no closing quote
}

void SkipBlanks(const QByteArray& line, qsizetype& pos) {
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t'))
        ++pos;
}

bool ReadHexList(const QByteArray& line, qsizetype& pos, QByteArray& out) {
    SkipBlanks(line, pos);
    if (pos >= line.size())
        return true; // no bytes
    for (;;) {
        SkipBlanks(line, pos);
        const int hi = pos < line.size() ? HexValue(line[pos]) : -1;
        const int lo = pos + 1 < line.size() ? HexValue(line[pos + 1]) : -1;
        if (hi < 0 || lo < 0)
            return false;
        out += char(hi * 16 + lo);
        pos += 2;
        SkipBlanks(line, pos);
        if (pos >= line.size())
            return true;
        if (line[pos] != ',')
            return false;
        ++pos;
    }
}

// One value line of the text form (already trimmed); false when the line is none.
bool ParseValueLine(const QByteArray& line, TRegistryData::TValue& v) {
    qsizetype pos = 0;
    QByteArray name;
    if (line.startsWith('@'))
        pos = 1;
    else if (!ReadQuoted(line, pos, name))
        return false;
    SkipBlanks(line, pos);
    if (pos >= line.size() || line[pos] != '=')
        return false;
    ++pos;
    SkipBlanks(line, pos);
    const QByteArray rest = line.mid(pos);
    qsizetype p = 0;
    QByteArray data;
    if (rest.startsWith('"')) {
        v.Type = TRegDataType::rdString;
        if (!ReadQuoted(rest, p, data))
            return false;
    } else if (rest.startsWith("expand:")) {
        v.Type = TRegDataType::rdExpandString;
        p = 7;
        if (!ReadQuoted(rest, p, data))
            return false;
    } else if (rest.startsWith("dword:")) {
        v.Type = TRegDataType::rdInteger;
        p = 6;
        uint32_t u = 0;
        int digits = 0;
        for (; p < rest.size() && HexValue(rest[p]) >= 0; ++p, ++digits)
            u = (u << 4) | uint32_t(HexValue(rest[p]));
        if (digits < 1 || digits > 8)
            return false;
        for (int i = 0; i < 4; ++i)
            data += char((u >> (8 * i)) & 0xFF);
    } else if (rest.startsWith("hex:") || rest.startsWith("hex(0):")) {
        v.Type = rest.startsWith("hex:") ? TRegDataType::rdBinary : TRegDataType::rdUnknown;
        p = v.Type == TRegDataType::rdBinary ? 4 : 7;
        if (!ReadHexList(rest, p, data))
            return false;
    } else {
        return false;
    }
    SkipBlanks(rest, p);
    if (p != rest.size())
        return false;
    v.Name = QString::fromUtf8(name);
    v.Data = std::move(data);
    return true;
}

QStringList DefaultPreamble() {
    return {QStringLiteral("; Corvantel per-user settings, UTF-8 text. One [root\\key] section per key, one "
                           "line per value:"),
            QStringLiteral(";   \"name\"=\"text\"   \"name\"=dword:0000002a (32-bit number, hexadecimal)   "
                           "\"name\"=hex:01,02 (bytes)"),
            QStringLiteral(
                "; In quotes \\\\ \\\" \\n \\r \\t stand for a backslash, a quote, line breaks and a tab, "
                "\\xHH for a byte."),
            QStringLiteral("; Lines starting with ; are comments and are kept.")};
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
    return base + QStringLiteral("/corvantel/registry.conf");
}

QString LegacyRegistryStorePath() {
    return QFileInfo(RegistryStorePath()).absolutePath() + QStringLiteral("/registry.dat");
}

void SetRegistryReadFailureForTesting(bool fail) {
    g_failReads = fail;
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
            it->second.Order = m_nextOrder++;
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
    QString folded = value.Name.toCaseFolded();
    if (auto it = key.Index.constFind(folded); it != key.Index.constEnd()) {
        key.Values[size_t(*it)].Type = value.Type;
        key.Values[size_t(*it)].Data = std::move(value.Data);
        return;
    }
    key.Index.insert(std::move(folded), qsizetype(key.Values.size()));
    key.Values.push_back(std::move(value));
}

bool TRegistryData::RemoveValue(TKey& key, const QString& name) {
    auto it = key.Index.find(name.toCaseFolded());
    if (it == key.Index.end())
        return false;
    const size_t pos = size_t(*it);
    key.Index.erase(it);
    // Its comments stay where they were: above the next value, or at the end of the key.
    QStringList& heir = pos + 1 < key.Values.size() ? key.Values[pos + 1].LinesBefore : key.Trailing;
    heir = key.Values[pos].LinesBefore + heir;
    key.Values.erase(key.Values.begin() + qsizetype(pos));
    // Removing the last value (the usual case: a shorter save) moves nothing.
    if (pos < key.Values.size())
        for (auto& index : key.Index)
            if (size_t(index) > pos)
                --index;
    return true;
}

bool TRegistryData::IsBinaryForm(const QByteArray& bytes) {
    return bytes.size() >= qsizetype(sizeof kMagic) &&
           std::memcmp(bytes.constData(), kMagic, sizeof kMagic) == 0;
}

bool TRegistryData::Parse(const QByteArray& bytes) {
    m_keys.clear();
    m_preamble.clear();
    m_fromText = false;
    m_nextOrder = 0;
    const bool ok = IsBinaryForm(bytes) ? ParseBinary(bytes) : ParseText(bytes);
    if (!ok) {
        m_keys.clear();
        m_preamble.clear();
        m_fromText = false;
    }
    return ok;
}

QByteArray TRegistryData::Serialize() const {
    QByteArray out;
    const QStringList& preamble = m_preamble.isEmpty() && !m_fromText ? DefaultPreamble() : m_preamble;
    for (const QString& line : preamble)
        out += line.toUtf8() + '\n';
    if (!preamble.isEmpty())
        out += '\n';

    // A key without values or kept lines is written only when no key below it implies it.
    std::set<std::pair<HKEY, QString>> implied;
    std::vector<const TKey*> keys;
    keys.reserve(m_keys.size());
    for (const auto& [id, key] : m_keys) {
        keys.push_back(&key);
        if (!id.second.isEmpty()) {
            const qsizetype cut = id.second.lastIndexOf(QLatin1Char('\\'));
            implied.insert({id.first, cut < 0 ? QString() : id.second.left(cut)});
        }
    }
    std::sort(keys.begin(), keys.end(), [](const TKey* a, const TKey* b) { return a->Order < b->Order; });
    for (const TKey* key : keys) {
        if (key->Values.empty() && key->Trailing.isEmpty() &&
            (key->Path.isEmpty() || implied.count(Id(key->Root, key->Path))))
            continue;
        out += '[' + RootKeyToIdent(key->Root).value_or(QString()).toUtf8();
        if (!key->Path.isEmpty())
            out += '\\' + key->Path.toUtf8();
        out += "]\n";
        for (const TValue& v : key->Values) {
            for (const QString& line : v.LinesBefore)
                out += line.toUtf8() + '\n';
            AppendValueLine(out, v);
        }
        for (const QString& line : key->Trailing)
            out += line.toUtf8() + '\n';
        out += '\n';
    }
    return out;
}

bool TRegistryData::ParseText(const QByteArray& input) {
    QByteArray bytes = input;
    while (bytes.startsWith("\xEF\xBB\xBF"))
        bytes.remove(0, 3); // byte order marks some editors add
    for (qsizetype i = 0; i < bytes.size();) {
        if (bytes[i] == '\0')
            return false;
        const int n = Utf8SequenceLength(bytes, i);
        if (n == 0)
            return false;
        i += n;
    }
    m_fromText = true;
    TKey* current = nullptr;
    bool unknownSection = false;
    QStringList pending; // comments and unknown lines not yet given a place
    const auto placePending = [&] {
        while (!pending.isEmpty() && pending.last().trimmed().isEmpty())
            pending.removeLast();
        (current ? current->Trailing : m_preamble) += pending;
        pending.clear();
    };
    qsizetype start = 0;
    while (start < bytes.size()) {
        qsizetype end = bytes.indexOf('\n', start);
        if (end < 0)
            end = bytes.size();
        QByteArray raw = bytes.mid(start, end - start);
        start = end + 1;
        while (raw.endsWith('\r'))
            raw.chop(1); // line ends of other systems; a kept line is written back without them
        while (raw.startsWith("\xEF\xBB\xBF"))
            raw.remove(0, 3); // a byte order mark within the file (files joined by hand) is no text either
        const QByteArray line = raw.trimmed();
        if (line.startsWith('[') && line.endsWith(']') && line.size() >= 2) {
            const QString inner = QString::fromUtf8(line.mid(1, line.size() - 2));
            const qsizetype cut = inner.indexOf(QLatin1Char('\\'));
            const auto root = IdentToRootKey(cut < 0 ? inner : inner.left(cut));
            const QString path = cut < 0 ? QString() : inner.mid(cut + 1);
            if (root && !HasControl(path)) {
                placePending();
                current = &CreateKey(*root, path);
                unknownSection = false;
                continue;
            }
            unknownSection = true;
        }
        TValue value;
        if (current && !unknownSection && ParseValueLine(line, value)) {
            value.LinesBefore = std::move(pending);
            pending.clear();
            QString folded = value.Name.toCaseFolded();
            if (auto it = current->Index.constFind(folded); it != current->Index.constEnd()) {
                TValue& existing = current->Values[size_t(*it)]; // a name given twice: the later wins
                existing.LinesBefore += value.LinesBefore;
                existing.Type = value.Type;
                existing.Data = std::move(value.Data);
            } else {
                current->Index.insert(std::move(folded), qsizetype(current->Values.size()));
                current->Values.push_back(std::move(value));
            }
            continue;
        }
        pending.append(QString::fromUtf8(raw));
    }
    placePending();
    return true;
}

QByteArray TRegistryData::SerializeBinary() const {
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

bool TRegistryData::ParseBinary(const QByteArray& bytes) {
    if (!IsBinaryForm(bytes))
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
        ok = in.U32(root) && IsRootKey(root) && in.Text(kMaxPathBytes, path) && !HasControl(path) &&
             in.U32(valueCount) && qsizetype(valueCount) <= in.Left() / kMinValueBytes;
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
    if (HasControl(path))
        return false; // a key path is one line of the store
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
    if (HasControl(path))
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
        TRegistryData::SetValue(*key, {name, type, data, {}});
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

#include "runtime/RegistryStore.h"

#include <array>

namespace {

// clang-format off
constexpr std::array<const char*, 7> kRootNames = {
    "HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER", "HKEY_LOCAL_MACHINE", "HKEY_USERS",
    "HKEY_PERFORMANCE_DATA", "HKEY_CURRENT_CONFIG", "HKEY_DYN_DATA"};
// clang-format on

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

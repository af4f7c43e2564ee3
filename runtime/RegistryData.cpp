#include "runtime/RegistryStore.h"

#include <algorithm>
#include <array>

using namespace regstore;

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

TRegistryData::TRegistryData() = default;
TRegistryData::~TRegistryData() = default;
TRegistryData::TRegistryData(TRegistryData&&) noexcept = default;
TRegistryData& TRegistryData::operator=(TRegistryData&&) noexcept = default;

void TRegistryData::Clear() {
    m_roots.clear();
    m_blocks.clear();
    m_preamble.clear();
    m_fromText = false;
    m_nextOrder = 0;
}

QString TRegistryData::TKey::Path() const {
    QStringList names;
    for (const TKey* k = this; k && k->Parent; k = k->Parent)
        names.append(k->Name);
    std::reverse(names.begin(), names.end());
    return names.join(QLatin1Char('\\'));
}

QString TRegistryData::NormalizePath(const QString& path) {
    if (!path.startsWith(QLatin1Char('\\')) && !path.endsWith(QLatin1Char('\\')) &&
        !path.contains(QLatin1String("\\\\")))
        return path; // already normal: the usual case, without building a list
    return path.split(QLatin1Char('\\'), Qt::SkipEmptyParts).join(QLatin1Char('\\'));
}

namespace {

bool HasLoneSurrogate(QStringView text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return true;
    }
    return false;
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

// A "]" followed by nothing but blanks and a comment would end the header early when read back.
bool EndsHeaderEarly(const QString& path) {
    for (qsizetype i = path.indexOf(QLatin1Char(']')); i >= 0; i = path.indexOf(QLatin1Char(']'), i + 1)) {
        qsizetype j = i + 1;
        while (j < path.size() && IsBlank(char(path[j].unicode())))
            ++j;
        if (j < path.size() && (path[j] == QLatin1Char(';') || path[j] == QLatin1Char('#')))
            return true;
    }
    return false;
}

void AppendCodePoint(QString& out, char32_t cp) {
    if (cp > 0xFFFF) {
        out += QChar(QChar::highSurrogate(cp));
        out += QChar(QChar::lowSurrogate(cp));
    } else {
        out += QChar(char16_t(cp));
    }
}

} // namespace

bool TRegistryData::PathAllowed(const QString& path) {
    if (path.isEmpty())
        return true;
    return path.count(QLatin1Char('\\')) < kMaxKeyDepth && path.toUtf8().size() <= kMaxKeyPathBytes &&
           !HasControl(path) && !HasLoneSurrogate(path) && !EndsHeaderEarly(path);
}

QByteArray TRegistryData::EncodeText(const QString& text) {
    if (!HasLoneSurrogate(text))
        return text.toUtf8();
    QByteArray out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t u = text[i].unicode();
        if (QChar::isHighSurrogate(u) && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            out += QStringView(text).mid(i, 2).toUtf8();
            ++i;
        } else if (QChar::isSurrogate(u)) {
            out += char(0xE0 | (u >> 12));
            out += char(0x80 | ((u >> 6) & 0x3F));
            out += char(0x80 | (u & 0x3F));
        } else {
            out += QStringView(text).mid(i, 1).toUtf8();
        }
    }
    return out;
}

QString TRegistryData::DecodeText(const QByteArray& bytes) {
    bool plain = !bytes.startsWith("\xEF\xBB\xBF");
    for (qsizetype i = bytes.indexOf('\xED'); plain && i >= 0; i = bytes.indexOf('\xED', i + 1))
        plain = i + 1 >= bytes.size() || (uint8_t(bytes[i + 1]) & 0xE0) != 0xA0;
    if (plain)
        return QString::fromUtf8(bytes);
    // Slow path: a leading byte order mark is text here, and a surrogate's pattern comes back as one.
    QString out;
    out.reserve(bytes.size());
    const auto at = [&](qsizetype k) { return char32_t(uint8_t(bytes[k])); };
    for (qsizetype i = 0; i < bytes.size();) {
        const int n = Utf8SequenceLength(bytes, i);
        if (n == 1) {
            AppendCodePoint(out, at(i));
        } else if (n == 2) {
            AppendCodePoint(out, ((at(i) & 0x1F) << 6) | (at(i + 1) & 0x3F));
        } else if (n == 3) {
            AppendCodePoint(out, ((at(i) & 0x0F) << 12) | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
        } else if (n == 4) {
            AppendCodePoint(out, ((at(i) & 0x07) << 18) | ((at(i + 1) & 0x3F) << 12) |
                                     ((at(i + 2) & 0x3F) << 6) | (at(i + 3) & 0x3F));
        } else if (at(i) == 0xED && i + 2 < bytes.size() && (at(i + 1) & 0xE0) == 0xA0 &&
                   (at(i + 2) & 0xC0) == 0x80) {
            AppendCodePoint(out, 0xD000 | ((at(i + 1) & 0x3F) << 6) | (at(i + 2) & 0x3F));
            i += 3;
            continue;
        } else {
            out += QChar::ReplacementCharacter;
            ++i;
            continue;
        }
        i += n;
    }
    return out;
}

namespace {

template <class Key> Key* Descend(Key* node, const QString& path) {
    for (qsizetype start = 0; node && start < path.size();) {
        qsizetype end = path.indexOf(QLatin1Char('\\'), start);
        if (end < 0)
            end = path.size();
        auto it = node->Children.find(path.mid(start, end - start).toCaseFolded());
        node = it == node->Children.end() ? nullptr : it->second.get();
        start = end + 1;
    }
    return node;
}

} // namespace

TRegistryData::TKey* TRegistryData::FindKey(HKEY root, const QString& path) {
    auto it = m_roots.find(root);
    return it == m_roots.end() ? nullptr : Descend<TKey>(it->second.get(), NormalizePath(path));
}

const TRegistryData::TKey* TRegistryData::FindKey(HKEY root, const QString& path) const {
    auto it = m_roots.find(root);
    return it == m_roots.end() ? nullptr : Descend<const TKey>(it->second.get(), NormalizePath(path));
}

TRegistryData::TKey& TRegistryData::CreateKey(HKEY root, const QString& path) {
    auto& slot = m_roots[root];
    if (!slot) {
        slot = std::make_unique<TKey>();
        slot->Root = root;
        slot->Order = m_nextOrder++;
    }
    TKey* node = slot.get();
    const QString norm = NormalizePath(path);
    for (qsizetype start = 0; start < norm.size();) {
        qsizetype end = norm.indexOf(QLatin1Char('\\'), start);
        if (end < 0)
            end = norm.size();
        const QString name = norm.mid(start, end - start);
        auto& child = node->Children[name.toCaseFolded()];
        if (!child) {
            child = std::make_unique<TKey>();
            child->Root = root;
            child->Name = name;
            child->Parent = node;
            child->Order = m_nextOrder++;
        }
        node = child.get();
        start = end + 1;
    }
    return *node;
}

bool TRegistryData::DeleteKey(HKEY root, const QString& path) {
    TKey* key = FindKey(root, path);
    if (!key || !key->Parent)
        return false; // a root cannot be deleted
    return key->Parent->Children.erase(key->Name.toCaseFolded()) > 0;
}

QStringList TRegistryData::SubKeyNames(HKEY root, const QString& path) const {
    QStringList names;
    if (const TKey* key = FindKey(root, path))
        for (const auto& [folded, child] : key->Children)
            names.append(child->Name);
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

void TRegistryData::SetValue(TKey& key, TValue value) {
    QString folded = value.Name.toCaseFolded();
    if (auto it = key.Index.constFind(folded); it != key.Index.constEnd()) {
        key.Values[size_t(*it)].Type = value.Type;
        key.Values[size_t(*it)].Data = std::move(value.Data);
        return;
    }
    key.Index.insert(std::move(folded), qsizetype(key.Values.size()));
    value.Removed = false;
    key.Values.push_back(std::move(value));
}

bool TRegistryData::RemoveValue(TKey& key, const QString& name) {
    auto it = key.Index.find(name.toCaseFolded());
    if (it == key.Index.end())
        return false;
    TValue& gone = key.Values[size_t(*it)];
    key.Index.erase(it);
    // Only marked: its kept lines are written where it stood. Deleting many values one by one stays
    // linear because the list is compacted only when half of it is marked.
    gone.Removed = true;
    gone.Data = QByteArray();
    gone.Comment.clear();
    if (++key.RemovedCount * 2 <= qsizetype(key.Values.size()))
        return true;
    std::vector<TValue> live;
    live.reserve(key.Values.size() - size_t(key.RemovedCount));
    QStringList carried; // kept lines of marked values go above the next value, or to the key's end
    for (TValue& v : key.Values) {
        if (v.Removed) {
            carried += v.LinesBefore;
            continue;
        }
        if (!carried.isEmpty()) {
            v.LinesBefore = carried + v.LinesBefore;
            carried.clear();
        }
        live.push_back(std::move(v));
    }
    key.Trailing = carried + key.Trailing;
    key.Values = std::move(live);
    key.RemovedCount = 0;
    key.Index.clear();
    for (size_t i = 0; i < key.Values.size(); ++i)
        key.Index.insert(key.Values[i].Name.toCaseFolded(), qsizetype(i));
    return true;
}

std::vector<const TRegistryData::TKey*> TRegistryData::KeysInOrder() const {
    std::vector<const TKey*> keys;
    for (const auto& [root, key] : m_roots)
        keys.push_back(key.get());
    for (size_t i = 0; i < keys.size(); ++i)
        for (const auto& [folded, child] : keys[i]->Children)
            keys.push_back(child.get());
    std::sort(keys.begin(), keys.end(), [](const TKey* a, const TKey* b) { return a->Order < b->Order; });
    return keys;
}

bool TRegistryData::Parse(const QByteArray& bytes) {
    Clear();
    const bool ok = IsBinaryForm(bytes) ? ParseBinary(bytes) : ParseText(bytes);
    if (!ok)
        Clear();
    return ok;
}

#include "persistence/TypeInfo.h"

#include "persistence/PropertyNames.h"
#include "persistence/StoragePropertyInterceptor.h"
#include "runtime/Component.h"
#include "runtime/Registry.h"

#include <QHash>
#include <QWidget>

#include <algorithm>
#include <mutex>

namespace {

constexpr char kSubComponentProperty[] = "cvSubComponent";

TTypeKind KindOf(const QMetaProperty& p) {
    if (p.isFlagType())
        return TTypeKind::tkSet;
    if (p.isEnumType())
        return TTypeKind::tkEnumeration;
    const QMetaType type = p.metaType();
    if (type.flags() & QMetaType::PointerToQObject)
        return TTypeKind::tkClass;
    switch (type.id()) {
    case QMetaType::Bool:
        return TTypeKind::tkEnumeration;
    case QMetaType::Char:
        return TTypeKind::tkChar;
    case QMetaType::SChar:
    case QMetaType::UChar:
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::UInt:
        return TTypeKind::tkInteger;
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        return TTypeKind::tkInt64;
    case QMetaType::Float:
    case QMetaType::Double:
        return TTypeKind::tkFloat;
    case QMetaType::QByteArray:
        return TTypeKind::tkLString;
    case QMetaType::QString:
        return TTypeKind::tkUString;
    case QMetaType::QVariant:
        return TTypeKind::tkVariant;
    default:
        return TTypeKind::tkUnknown;
    }
}

bool IsQtClass(const QMetaObject* cls) {
    return cls->className()[0] == 'Q';
}

// The class that declares property index i of cls.
const QMetaObject* Declarer(const QMetaObject* cls, int index) {
    while (cls && index < cls->propertyOffset())
        cls = cls->superClass();
    return cls;
}

char16_t AsciiUpper(QChar c) {
    const char16_t u = c.unicode();
    return u >= u'a' && u <= u'z' ? char16_t(u - 32) : u;
}

struct TIdentTable {
    TIdentToInt IdentToInt;
    TIntToIdent IntToIdent;
};

QHash<QString, TIdentTable>& IdentTables() {
    static QHash<QString, TIdentTable> tables;
    return tables;
}

} // namespace

TPropInfo::TPropInfo(const QMetaObject* owner, QMetaProperty property)
    : m_owner(owner), m_property(property), m_kind(KindOf(property)) {}

bool TPropInfo::CanRead() const {
    if (!m_property.isReadable())
        return false;
    const int i = m_owner ? m_owner->indexOfClassInfo("WriteOnly") : -1;
    if (i < 0)
        return true;
    const QList<QByteArray> names = QByteArray(m_owner->classInfo(i).value()).split(',');
    return !names.contains(QByteArray(m_property.name()));
}

QString TPropInfo::IdentTable() const {
    if (!m_owner || m_kind != TTypeKind::tkInteger)
        return QString();
    const QByteArray key = QByteArray("IntegerIdents:") + m_property.name();
    const int i = m_owner->indexOfClassInfo(key.constData());
    return i < 0 ? QString() : QString::fromLatin1(m_owner->classInfo(i).value());
}

bool TPropInfo::Write(QObject* object, const QVariant& value) const {
    return m_property.write(object, value);
}

QObject* TPropInfo::ReadObject(const QObject* object) const {
    if (m_kind != TTypeKind::tkClass)
        return nullptr;
    return m_property.read(object).value<QObject*>();
}

TPropInfo FindPublishedProperty(const QMetaObject* cls, const QString& name) {
    if (!cls || name.isEmpty())
        return {};
    const QByteArray latin = name.toLatin1();
    const int exact = cls->indexOfProperty(latin.constData());
    if (exact >= 0 && !IsQtClass(Declarer(cls, exact)))
        return TPropInfo(cls, cls->property(exact));
    for (int i = cls->propertyCount() - 1; i >= 0; --i) {
        if (IsQtClass(Declarer(cls, i)))
            continue;
        if (SameAsciiText(QString::fromLatin1(cls->property(i).name()), name))
            return TPropInfo(cls, cls->property(i));
    }
    return {};
}

std::vector<TPropInfo> PublishedProperties(const QMetaObject* cls) {
    std::vector<TPropInfo> list;
    if (!cls)
        return list;
    for (int i = 0; i < cls->propertyCount(); ++i) {
        if (IsQtClass(Declarer(cls, i)))
            continue;
        const QMetaProperty p = cls->property(i);
        // A redeclared name is listed once, as the most derived class declares it.
        if (cls->indexOfProperty(p.name()) != i)
            continue;
        list.emplace_back(cls, p);
    }
    std::stable_sort(list.begin(), list.end(), [](const TPropInfo& a, const TPropInfo& b) {
        return CompareAsciiText(a.Name(), b.Name()) < 0;
    });
    return list;
}

int CompareAsciiText(const QString& a, const QString& b) {
    const qsizetype n = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t ca = AsciiUpper(a[i]);
        const char16_t cb = AsciiUpper(b[i]);
        if (ca != cb)
            return ca < cb ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

bool SameAsciiText(const QString& a, const QString& b) {
    return a.size() == b.size() && CompareAsciiText(a, b) == 0;
}

bool IsComponent(const QObject* object) {
    return object && (object->isWidgetType() || TComponent::From(const_cast<QObject*>(object)) != nullptr);
}

bool IsSubComponent(const QObject* object) {
    return object && object->property(kSubComponentProperty).toBool();
}

void SetSubComponent(QObject* object, bool value) {
    object->setProperty(kSubComponentProperty, value);
}

int InheritanceDistance(const QMetaObject* cls, const QMetaObject* ancestor) {
    int steps = 0;
    for (const QMetaObject* c = cls; c; c = c->superClass(), ++steps)
        if (c == ancestor)
            return steps;
    return -1;
}

void RegisterIntegerConsts(const QString& table, TIdentToInt identToInt, TIntToIdent intToIdent) {
    IdentTables().insert(table, TIdentTable{std::move(identToInt), std::move(intToIdent)});
}

bool HasIntegerConsts(const QString& table) {
    return !table.isEmpty() && IdentTables().contains(table);
}

std::optional<QString> IntegerToIdent(const QString& table, int64_t value) {
    auto it = IdentTables().constFind(table);
    if (it == IdentTables().constEnd() || !it->IntToIdent)
        return std::nullopt;
    return it->IntToIdent(value);
}

std::optional<int64_t> IdentToInteger(const QString& table, const QString& ident) {
    auto it = IdentTables().constFind(table);
    if (it == IdentTables().constEnd() || !it->IdentToInt)
        return std::nullopt;
    return it->IdentToInt(ident);
}

void EnsurePersistenceRegistered() {
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterIntegerConsts(
            QStringLiteral("HKEY"),
            [](const QString& ident) -> std::optional<int64_t> {
                if (auto key = IdentToRootKey(ident))
                    return int64_t(*key);
                return std::nullopt;
            },
            [](int64_t value) { return RootKeyToIdent(value); });
        RegisterStoragePropertyInterceptor(&TForm::staticMetaObject,
                                           &TFormStoragePropertyInterceptor::staticMetaObject);
    });
}

#include "persistence/PropWriter.h"

#include "persistence/Collection.h"

#include <QBuffer>

#include <algorithm>
#include <cmath>

namespace {

const QString kP = QStringLiteral("<P>");

QString ComponentNameEmpty() {
    return QStringLiteral("Component name is empty.");
}

// The class name as streams carry it: without any C++ namespace.
QByteArray StreamClassName(const QObject* object) {
    QByteArray name(object->metaObject()->className());
    const qsizetype colons = name.lastIndexOf("::");
    return colons < 0 ? name : name.mid(colons + 2);
}

// Collects the write procedures of an object's defined properties.
class TWriteProcFiler : public TFiler {
public:
    void DefineProperty(const QString& name, TReaderProc, TWriterProc write, bool) override {
        if (!Plain.count(name.toLower()))
            Plain.emplace(name.toLower(), std::move(write));
    }
    void DefineBinaryProperty(const QString& name, TStreamProc, TStreamProc write, bool) override {
        if (!Binary.count(name.toLower()))
            Binary.emplace(name.toLower(), std::move(write));
    }
    std::map<QString, TWriterProc> Plain;
    std::map<QString, TStreamProc> Binary;
};

} // namespace

TPropWriterEh::TPropWriterEh(QIODevice* stream, int bufSize) : TBinaryOutput(stream, bufSize) {
    EnsurePersistenceRegistered();
}

TPropWriterEh::~TPropWriterEh() = default;

void TPropWriterEh::WritePropName(const QString& name) {
    WriteShortStr((m_prefix + name).toLatin1());
}

QString TPropWriterEh::ReferenceName(const QObject* x, const QObject* root) {
    if (!x)
        return QString();
    const QObject* owner = x->parent();
    if (owner && owner == root)
        return x->objectName();
    if (x == root)
        return QStringLiteral("Owner");
    if (owner && !owner->objectName().isEmpty() && !x->objectName().isEmpty()) {
        bool rootAbove = false;
        for (const QObject* o = owner; o; o = o->parent())
            rootAbove = rootAbove || o == root;
        if (rootAbove)
            return ReferenceName(owner, root) + QLatin1Char('.') + x->objectName();
        return owner->objectName() + QLatin1Char('.') + x->objectName();
    }
    if (!x->objectName().isEmpty())
        return x->objectName() + QStringLiteral(".Owner");
    return QString();
}

void TPropWriterEh::OpenBlock(QObject* component) {
    WriteShortStr(StreamClassName(component));
    WriteShortStr(component->objectName().toLatin1());
    m_blocks.push_back(component);
}

void TPropWriterEh::WriteOwnerProperties(QObject* root, const QStringList& paths) {
    m_root = root;
    m_blocks.clear();
    m_interceptors.clear();
    // The grouping below needs the paths in their list order; a caller's plain list is sorted first.
    QStringList sorted = paths;
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const QString& a, const QString& b) { return ComparePropertyPaths(a, b) < 0; });

    Write("TPF0", 4);
    WriteShortStr(StreamClassName(root));
    WriteShortStr(root->objectName().toLatin1());
    for (const QString& path : sorted) {
        if (!path.contains(QLatin1Char('.')))
            throw EFilerError(ComponentNameEmpty());
        if (FirstSegment(path) == kP) {
            m_prefix.clear();
            Expand(root, RemoveFirstSegment(path));
        }
    }
    if (OnWriteOwnerProps)
        OnWriteOwnerProps(*this);
    WriteListEnd();

    for (const QString& path : sorted) {
        if (FirstSegment(path) == kP)
            continue;
        // Resolve the component part first: a missing child skips the whole path, so nothing meant
        // for it can land in another component's block.
        std::vector<QObject*> chain;
        QString rest = path;
        QObject* parent = root;
        bool missing = false;
        for (QString name = FirstSegment(rest); name != kP; name = FirstSegment(rest)) {
            if (name.isEmpty())
                throw EFilerError(ComponentNameEmpty());
            if (!missing)
                parent = FindChildComponent(parent, root, name);
            missing = missing || !parent;
            chain.push_back(parent);
            rest = RemoveFirstSegment(rest);
            if (rest.isEmpty()) {
                missing = true; // no "<P>": nothing to write
                break;
            }
        }
        if (missing)
            continue;
        for (size_t level = 1; level <= chain.size(); ++level) {
            QObject* child = chain[level - 1];
            const size_t open = m_blocks.size();
            if (open < level) {
                if (open > 0)
                    WriteListEnd(); // the records of the innermost open block end
                OpenBlock(child);
            } else if (m_blocks[level - 1]->objectName() == child->objectName()) {
                // Already open.
            } else {
                WriteListEnd();
                while (m_blocks.size() >= level) {
                    m_blocks.pop_back();
                    WriteListEnd();
                }
                OpenBlock(child);
            }
        }
        m_prefix.clear();
        Expand(m_blocks.back(), RemoveFirstSegment(rest));
    }
    WriteListEnd();
    for (size_t i = 0; i < m_blocks.size(); ++i)
        WriteListEnd();
    m_blocks.clear();
    WriteListEnd();
    FlushBuffer();
    m_interceptors.clear();
}

QObject* TPropWriterEh::InterceptorFor(QObject* object, const QMetaObject* cls) {
    auto it = m_interceptors.find(object);
    if (it != m_interceptors.end())
        return it->second.get();
    QObject* made = cls->newInstance(Q_ARG(QObject*, object));
    m_interceptors.emplace(object, std::unique_ptr<QObject>(made));
    return made;
}

void TPropWriterEh::ExpandItem(TCollectionItem* item, int index, const QString& path) {
    const QString saved = m_prefix;
    m_prefix += QStringLiteral("__Item%1.").arg(index);
    Expand(item, path);
    m_prefix = saved;
}

void TPropWriterEh::Expand(QObject* object, const QString& path) {
    TNestingGuard guard(m_depth);
    if (path.isEmpty())
        throw EFilerError(QStringLiteral("Property name is empty."));
    const QString s = FirstSegment(path);
    const QString rest = RemoveFirstSegment(path);

    if (s == QLatin1String("<ForAllItems>") || s.left(5) == QLatin1String("<Item")) {
        auto* collection = qobject_cast<TCollection*>(object);
        if (!collection)
            throw EFilerError(QStringLiteral("Component type is not Collection."));
        if (s == QLatin1String("<ForAllItems>")) {
            if (rest.isEmpty() && collection->Count() > 0) {
                const QStringList names = GetAllPropertyNames(collection->Item(0));
                for (int i = 0; i < collection->Count(); ++i)
                    for (const QString& name : names)
                        ExpandItem(collection->Item(i), i, name);
            } else if (!rest.isEmpty()) {
                for (int i = 0; i < collection->Count(); ++i)
                    ExpandItem(collection->Item(i), i, rest);
            }
            return;
        }
        const QString digits = s.mid(5, s.size() - 6);
        bool ok = false;
        const int n = digits.toInt(&ok);
        if (!ok)
            throw EFilerError(QStringLiteral("'%1' is not a valid integer value").arg(digits));
        if (n < 0 || n >= collection->Count())
            throw EFilerError(QStringLiteral("List index out of bounds (%1)").arg(n));
        if (rest.isEmpty()) {
            for (const QString& name : GetAllPropertyNames(collection->Item(n)))
                ExpandItem(collection->Item(n), n, name);
        } else {
            ExpandItem(collection->Item(n), n, rest);
        }
        return;
    }

    QObject* holder = object;
    TPropInfo prop;
    if (const QMetaObject* interceptor = FindStoragePropertyInterceptor(object->metaObject())) {
        TPropInfo candidate = FindPublishedProperty(interceptor, s);
        if (candidate.IsValid() && candidate.CanRead()) {
            prop = candidate;
            holder = InterceptorFor(object, interceptor);
        }
    }
    if (!prop.IsValid())
        prop = FindPublishedProperty(object->metaObject(), s);
    if (!prop.IsValid()) {
        TWriteProcFiler filer;
        if (auto* defines = dynamic_cast<TDefinesProperties*>(object))
            defines->DefineProperties(filer);
        if (auto it = filer.Plain.find(s.toLower()); it != filer.Plain.end()) {
            if (it->second) {
                WritePropName(s);
                it->second(*this);
            }
            return;
        }
        if (auto it = filer.Binary.find(s.toLower()); it != filer.Binary.end()) {
            QByteArray bytes;
            if (it->second) {
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::WriteOnly);
                it->second(buffer);
            }
            WritePropName(s);
            WriteBinary(bytes);
            return;
        }
        throw EFilerError(QStringLiteral("Invalide property name: %1").arg(s));
    }
    if (!prop.CanRead())
        return;
    if (!prop.CanWrite()) {
        QObject* held = prop.ReadObject(holder);
        if (!(held && IsComponent(held) && IsSubComponent(held)))
            return;
    }
    WriteProperty(holder, prop, rest);
}

void TPropWriterEh::WriteProperty(QObject* object, const TPropInfo& prop, const QString& rest) {
    const QString name = prop.Name();
    const QVariant value = prop.Read(object);
    switch (prop.Kind()) {
    case TTypeKind::tkInteger: {
        const int64_t v = value.toLongLong();
        const QString table = prop.IdentTable();
        if (HasIntegerConsts(table)) {
            if (auto ident = IntegerToIdent(table, v)) {
                WritePropName(name);
                WriteIdent(*ident);
                return;
            }
        }
        WritePropName(name);
        WriteInteger(int32_t(uint32_t(uint64_t(v)))); // the integer kind is 32 bits wide
        return;
    }
    case TTypeKind::tkChar:
        WritePropName(name);
        WriteString(QString(QChar(char16_t(uint8_t(value.value<char>())))));
        return;
    case TTypeKind::tkEnumeration: {
        if (value.typeId() == QMetaType::Bool) {
            WritePropName(name);
            WriteBoolean(value.toBool());
            return;
        }
        const char* key = prop.Enum().valueToKey(value.toInt());
        if (!key)
            return; // a value the type does not name cannot be stored
        WritePropName(name);
        WriteIdent(QString::fromLatin1(key));
        return;
    }
    case TTypeKind::tkSet: {
        const QMetaEnum e = prop.Enum();
        const uint32_t bits = uint32_t(value.toInt());
        WritePropName(name);
        WriteValue(TValueType::vaSet);
        for (int n = 0; n < 32; ++n)
            if (bits & (uint32_t(1) << n))
                if (const char* key = e.valueToKey(int(uint32_t(1) << n)))
                    WriteShortStr(QByteArray(key));
        WriteShortStr(QByteArray());
        return;
    }
    case TTypeKind::tkFloat:
        WritePropName(name);
        WriteExtended(value.toDouble());
        return;
    case TTypeKind::tkInt64:
        WritePropName(name);
        WriteInt64(int64_t(value.toULongLong()));
        return;
    case TTypeKind::tkLString:
        WritePropName(name);
        WriteString(QString::fromLatin1(value.toByteArray()));
        return;
    case TTypeKind::tkUString:
        WritePropName(name);
        WriteString(value.toString());
        return;
    case TTypeKind::tkVariant:
        WritePropName(name);
        WriteVariant(value);
        return;
    case TTypeKind::tkClass: {
        QObject* held = prop.ReadObject(object);
        if (!held) {
            WritePropName(name);
            WriteValue(TValueType::vaNil);
            return;
        }
        if (IsComponent(held) && !IsSubComponent(held)) {
            const QString ref = ReferenceName(held, m_root);
            if (ref.isEmpty())
                return;
            WritePropName(name);
            WriteIdent(ref);
            return;
        }
        const QString saved = m_prefix;
        m_prefix += name + QLatin1Char('.');
        if (!rest.isEmpty()) {
            Expand(held, rest);
        } else {
            for (const QString& sub : GetAllPropertyNames(held))
                Expand(held, sub);
        }
        m_prefix = saved;
        if (rest.isEmpty())
            if (auto* collection = qobject_cast<TCollection*>(held)) {
                WritePropName(name);
                WriteCollection(collection);
            }
        return;
    }
    default:
        return;
    }
}

void TPropWriterEh::WriteCollection(TCollection* collection) {
    TNestingGuard guard(m_depth);
    WriteValue(TValueType::vaCollection);
    const QString saved = m_prefix;
    m_prefix.clear();
    for (int i = 0; i < collection->Count(); ++i) {
        WriteListBegin();
        for (const QString& name : GetAllPropertyNames(collection->Item(i)))
            Expand(collection->Item(i), name);
        WriteListEnd();
    }
    m_prefix = saved;
    WriteListEnd();
}

void TPropWriterEh::WriteVariant(const QVariant& value) {
    if (!value.isValid()) {
        WriteValue(TValueType::vaNil);
        return;
    }
    switch (value.typeId()) {
    case QMetaType::Nullptr:
        WriteValue(TValueType::vaNull);
        return;
    case QMetaType::Bool:
        WriteBoolean(value.toBool());
        return;
    case QMetaType::Short:
    case QMetaType::UShort:
    case QMetaType::Int:
    case QMetaType::SChar:
    case QMetaType::UChar:
        WriteInteger(value.toInt());
        return;
    case QMetaType::UInt:
    case QMetaType::Long:
    case QMetaType::ULong:
    case QMetaType::LongLong:
    case QMetaType::ULongLong:
        WriteInt64(value.toLongLong());
        return;
    case QMetaType::Float:
        WriteSingle(value.toFloat());
        return;
    case QMetaType::Double:
        WriteExtended(value.toDouble());
        return;
    case QMetaType::QByteArray:
        WriteString(QString::fromLatin1(value.toByteArray()));
        return;
    default:
        WriteString(value.toString());
        return;
    }
}

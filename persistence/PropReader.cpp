#include "persistence/PropReader.h"

#include "persistence/Collection.h"
#include "persistence/PropertyNames.h"
#include "persistence/StoragePropertyInterceptor.h"

#include <QApplication>
#include <QBuffer>
#include <QLoggingCategory>
#include <QPointer>

#include <cstring>

Q_LOGGING_CATEGORY(lcPersistence, "corvantel.persistence", QtCriticalMsg)

namespace {

bool g_reportLoadErrors = false;

[[noreturn]] void InvalidValue() {
    throw EFilerError(InvalidValueText());
}

bool IsInteger(TValueType t) {
    return t == TValueType::vaInt8 || t == TValueType::vaInt16 || t == TValueType::vaInt32 ||
           t == TValueType::vaInt64;
}

bool IsText(TValueType t) {
    return t == TValueType::vaString || t == TValueType::vaLString || t == TValueType::vaWString ||
           t == TValueType::vaUTF8String;
}

// Finds the value of an enumeration or set element by name, without regard to case.
std::optional<int> EnumValue(const QMetaEnum& e, const QString& name) {
    for (int i = 0; i < e.keyCount(); ++i)
        if (SameAsciiText(QString::fromLatin1(e.key(i)), name))
            return e.value(i);
    return std::nullopt;
}

// Collects the read procedures of an object's defined properties.
class TReadProcFiler : public TFiler {
public:
    explicit TReadProcFiler(const QString& name) : m_name(name) {}
    void DefineProperty(const QString& name, TReaderProc read, TWriterProc, bool) override {
        if (!Found && read && name.compare(m_name, Qt::CaseInsensitive) == 0) {
            Plain = std::move(read);
            Found = true;
        }
    }
    void DefineBinaryProperty(const QString& name, TStreamProc read, TStreamProc, bool) override {
        if (!Found && read && name.compare(m_name, Qt::CaseInsensitive) == 0) {
            Binary = std::move(read);
            Found = true;
        }
    }
    bool Found = false;
    TReaderProc Plain;
    TStreamProc Binary;

private:
    QString m_name;
};

} // namespace

void SetReportLoadErrors(bool on) {
    g_reportLoadErrors = on;
}
bool ReportLoadErrors() {
    return g_reportLoadErrors;
}

TPropReaderEh::TPropReaderEh(QIODevice* stream, int bufSize) : TBinaryInput(stream, bufSize) {
    EnsurePersistenceRegistered();
}

TPropReaderEh::~TPropReaderEh() = default;

void TPropReaderEh::ReadOwnerProperties(QObject* root) {
    char signature[4];
    Read(signature, 4);
    if (std::memcmp(signature, "TPF0", 4) != 0)
        throw EFilerError(InvalidFormatText());
    m_root = root;
    m_lookupParent = root;
    ReadBlock(root);
}

QObject* TPropReaderEh::InterceptorFor(QObject* object, const QMetaObject* cls) {
    for (auto& [target, interceptor] : m_interceptors)
        if (target == object)
            return interceptor.get();
    QObject* made = cls->newInstance(Q_ARG(QObject*, object));
    m_interceptors.emplace_back(object, std::unique_ptr<QObject>(made));
    return made;
}

void TPropReaderEh::ReadBlock(QObject* component) {
    TNestingGuard guard(m_depth);
    if ((PeekByte() & 0xF0) == 0xF0) {
        const int flags = ReadByte() & 0x0F;
        if (flags & 2) {
            const TValueType t = ReadValue();
            if (!IsInteger(t))
                throw EFilerError(InvalidFormatText());
            ReadIntegerData(t);
        }
    }
    ReadShortStr(); // the class name is not used
    const QString name = QString::fromLatin1(ReadShortStr());
    std::unique_ptr<QObject> scratch;
    if (!component) {
        component = FindChildComponent(m_lookupParent, m_root, name);
        if (!component) {
            qCDebug(lcPersistence) << "stream names a missing component; block dropped:" << name;
            scratch = std::make_unique<QObject>();
            component = scratch.get();
        }
    }

    // Collections put in update mode and interceptors made while this block's records are read; a
    // load that ends early still ends every update and frees every interceptor.
    struct TBlockCleanup {
        TPropReaderEh* reader;
        ~TBlockCleanup() {
            for (TCollection* c : reader->m_updatedCollections)
                c->EndUpdate();
            reader->m_updatedCollections.clear();
            reader->m_interceptors.clear();
        }
    } cleanup{this};
    QObject* const savedComponent = m_component;
    m_component = component;
    while (!EndOfList())
        ReadRecord(component, component);
    ReadByte();
    m_component = savedComponent;

    for (TCollection* c : m_updatedCollections)
        c->EndUpdate();
    m_updatedCollections.clear();
    while (!m_interceptors.empty()) {
        std::unique_ptr<QObject> interceptor = std::move(m_interceptors.back().second);
        m_interceptors.pop_back();
        if (auto* i = qobject_cast<TStoragePropertyInterceptor*>(interceptor.get()))
            i->ApplyValues();
    }

    QObject* const savedParent = m_lookupParent;
    m_lookupParent = component;
    while (!EndOfList())
        ReadBlock(nullptr);
    ReadByte();
    m_lookupParent = savedParent;
}

void TPropReaderEh::ReadRecord(QObject* component, QObject* target) {
    const QString name = QString::fromLatin1(ReadShortStr());
    const qint64 valueStart = Position();
    QString failure;
    try {
        ResolveAndRead(component, target, name);
        return;
    } catch (const Exception& e) {
        failure = e.Message();
    } catch (const std::exception& e) {
        failure = QString::fromLocal8Bit(e.what());
    }
    const QString owner = component->objectName().isEmpty()
                              ? QString::fromLatin1(component->metaObject()->className())
                              : component->objectName();
    const QString message =
        QStringLiteral("Error reading %1%2%3: %4").arg(owner, QStringLiteral("."), name, failure);
    const bool canHandle = m_canHandleExcepts;
    m_canHandleExcepts = true;
    if (!canHandle || g_reportLoadErrors)
        throw EFilerError(message);
    qCDebug(lcPersistence) << message;
    // The record is dropped: skip its value from the start and read on.
    Seek(valueStart);
    SkipValue();
}

void TPropReaderEh::ResolveAndRead(QObject* component, QObject* target, const QString& name) {
    const QStringList segments = name.split(QLatin1Char('.'));
    QObject* o = target;
    bool reachedCollection = false;
    for (qsizetype i = 0; i + 1 < segments.size(); ++i) {
        const QString& seg = segments[i];
        auto* collection = qobject_cast<TCollection*>(o);
        if (reachedCollection && collection && seg.startsWith(QLatin1String("__Item"))) {
            qsizetype p = 6;
            uint64_t n = 0;
            while (p < seg.size() && seg[p].isDigit() && seg[p].unicode() < 128) {
                n = std::min<uint64_t>(n * 10 + uint64_t(seg[p].unicode() - '0'), uint64_t(INT32_MAX));
                ++p;
            }
            if (p == 6)
                continue;
            if (std::find(m_updatedCollections.begin(), m_updatedCollections.end(), collection) ==
                m_updatedCollections.end()) {
                collection->BeginUpdate();
                m_updatedCollections.push_back(collection);
            }
            if (n < uint64_t(collection->Count())) {
                o = collection->Item(int(n));
                reachedCollection = false;
            }
            continue;
        }
        const TPropInfo prop = FindPublishedProperty(o->metaObject(), seg);
        if (!prop.IsValid())
            throw EFilerError(QStringLiteral("Property %1 does not exist").arg(seg));
        QObject* held = prop.Kind() == TTypeKind::tkClass ? prop.ReadObject(o) : nullptr;
        if (!held)
            throw EFilerError(QStringLiteral("Invalid property path"));
        o = held;
        reachedCollection = qobject_cast<TCollection*>(o) != nullptr;
    }
    const QString s = segments.last();
    m_propName = s;

    if (const QMetaObject* interceptorClass = FindStoragePropertyInterceptor(o->metaObject())) {
        QObject* interceptor = InterceptorFor(o, interceptorClass);
        const TPropInfo prop = FindPublishedProperty(interceptorClass, s);
        if (interceptor && prop.IsValid() && prop.CanWrite()) {
            ReadPropValue(interceptor, prop);
            return;
        }
    }
    if (o == component && OnReadOwnerProp) {
        bool processed = false;
        OnReadOwnerProp(*this, s, processed);
        if (processed)
            return;
    }
    if (const TPropInfo prop = FindPublishedProperty(o->metaObject(), s); prop.IsValid()) {
        ReadPropValue(o, prop);
        return;
    }
    if (auto* defines = dynamic_cast<TDefinesProperties*>(o)) {
        TReadProcFiler filer(s);
        defines->DefineProperties(filer);
        if (filer.Found) {
            // A failure of the object's own reading is not handled per record: it ends the load.
            m_canHandleExcepts = false;
            if (filer.Plain) {
                filer.Plain(*this);
            } else {
                if (ReadValue() != TValueType::vaBinary)
                    InvalidValue();
                QByteArray bytes = ReadLengthPrefixed();
                QBuffer buffer(&bytes);
                buffer.open(QIODevice::ReadOnly);
                filer.Binary(buffer);
            }
            m_canHandleExcepts = true;
            m_propName.clear();
        }
    }
    if (!m_propName.isEmpty())
        throw EFilerError(QStringLiteral("Property %1 does not exist").arg(s));
}

QString TPropReaderEh::ReadIdentLike(TValueType type) {
    switch (type) {
    case TValueType::vaIdent:
        return QString::fromLatin1(ReadShortStr());
    case TValueType::vaFalse:
        return QStringLiteral("False");
    case TValueType::vaTrue:
        return QStringLiteral("True");
    case TValueType::vaNil:
        return QStringLiteral("nil");
    case TValueType::vaNull:
        return QStringLiteral("Null");
    default:
        InvalidValue();
    }
}

void TPropReaderEh::ReadPropValue(QObject* object, const TPropInfo& prop) {
    if (!prop.CanWrite()) {
        QObject* held = prop.ReadObject(object);
        if (!(held && IsComponent(held) && IsSubComponent(held)))
            throw EFilerError(QStringLiteral("Property is read-only"));
    }
    QVariant value;
    bool apply = true;
    switch (prop.Kind()) {
    case TTypeKind::tkInteger: {
        const TValueType t = ReadValue();
        int64_t v;
        if (t == TValueType::vaIdent) {
            const QString table = prop.IdentTable();
            auto mapped = HasIntegerConsts(table) ? IdentToInteger(table, QString::fromLatin1(ReadShortStr()))
                                                  : std::nullopt;
            if (!mapped)
                InvalidValue();
            v = *mapped;
        } else if (t == TValueType::vaInt8 || t == TValueType::vaInt16 || t == TValueType::vaInt32) {
            v = ReadIntegerData(t);
        } else {
            InvalidValue();
        }
        value = QVariant::fromValue(qlonglong(v));
        break;
    }
    case TTypeKind::tkChar: {
        const TValueType t = ReadValue();
        if (!IsText(t))
            InvalidValue();
        const QString text = ReadTextData(t);
        if (text.size() != 1 || text[0].unicode() > 255)
            InvalidValue();
        value = QVariant::fromValue(char(uint8_t(text[0].unicode())));
        break;
    }
    case TTypeKind::tkEnumeration: {
        const QString ident = ReadIdentLike(ReadValue());
        if (prop.Read(object).typeId() == QMetaType::Bool) {
            if (SameAsciiText(ident, QStringLiteral("True")))
                value = true;
            else if (SameAsciiText(ident, QStringLiteral("False")))
                value = false;
            else
                InvalidValue();
            break;
        }
        auto v = EnumValue(prop.Enum(), ident);
        if (!v)
            InvalidValue();
        value = *v;
        break;
    }
    case TTypeKind::tkSet: {
        if (ReadValue() != TValueType::vaSet)
            InvalidValue();
        uint32_t bits = 0;
        for (;;) {
            const QString name = QString::fromLatin1(ReadShortStr());
            if (name.isEmpty())
                break;
            auto v = EnumValue(prop.Enum(), name);
            // Only single members count; bit n stands for the n-th element.
            if (!v || *v == 0 || (uint32_t(*v) & (uint32_t(*v) - 1)) != 0)
                InvalidValue();
            bits |= uint32_t(*v);
        }
        value = int(bits);
        break;
    }
    case TTypeKind::tkFloat: {
        const TValueType t = ReadValue();
        double d;
        if (t == TValueType::vaExtended)
            d = ReadExtendedData();
        else if (t == TValueType::vaSingle) {
            const uint32_t bits = ReadU32();
            float f;
            std::memcpy(&f, &bits, 4);
            d = f;
        } else if (t == TValueType::vaCurrency)
            d = double(ReadIntegerData(TValueType::vaInt64)) / 10000.0;
        else if (t == TValueType::vaDate) {
            const int64_t bits = ReadIntegerData(TValueType::vaInt64);
            std::memcpy(&d, &bits, 8);
        } else if (IsInteger(t))
            d = double(ReadIntegerData(t));
        else
            InvalidValue();
        value = d;
        break;
    }
    case TTypeKind::tkLString:
    case TTypeKind::tkUString: {
        const TValueType t = ReadValue();
        if (!IsText(t))
            InvalidValue();
        const QString text = ReadTextData(t);
        if (prop.Kind() == TTypeKind::tkUString) {
            value = text;
            break;
        }
        for (QChar c : text)
            if (c.unicode() > 255)
                InvalidValue(); // not expressible in 8-bit text
        value = text.toLatin1();
        break;
    }
    case TTypeKind::tkInt64: {
        const TValueType t = ReadValue();
        if (!IsInteger(t))
            InvalidValue();
        value = QVariant::fromValue(qlonglong(ReadIntegerData(t)));
        break;
    }
    case TTypeKind::tkVariant: {
        const TValueType t = ReadValue();
        if (t == TValueType::vaNil)
            value = QVariant();
        else if (t == TValueType::vaNull)
            value = QVariant::fromValue(nullptr);
        else if (t == TValueType::vaFalse || t == TValueType::vaTrue)
            value = t == TValueType::vaTrue;
        else if (t == TValueType::vaInt64)
            value = QVariant::fromValue(qlonglong(ReadIntegerData(t)));
        else if (IsInteger(t))
            value = int(ReadIntegerData(t));
        else if (t == TValueType::vaExtended)
            value = ReadExtendedData();
        else if (t == TValueType::vaSingle) {
            const uint32_t bits = ReadU32();
            float f;
            std::memcpy(&f, &bits, 4);
            value = f;
        } else if (t == TValueType::vaCurrency)
            value = double(ReadIntegerData(TValueType::vaInt64)) / 10000.0;
        else if (t == TValueType::vaDate) {
            const int64_t bits = ReadIntegerData(TValueType::vaInt64);
            double d;
            std::memcpy(&d, &bits, 8);
            value = d;
        } else if (IsText(t))
            value = ReadTextData(t);
        else if (t == TValueType::vaIdent)
            value = QString::fromLatin1(ReadShortStr());
        else
            InvalidValue();
        // A QVariant property takes the value as it is.
        if (!prop.Write(object, value))
            InvalidValue();
        return;
    }
    case TTypeKind::tkClass:
        value = ReadObjectValue(object, prop, apply);
        break;
    case TTypeKind::tkMethod:
        SkipValue();
        throw EFilerError(QStringLiteral("Unexpected Kind of Method: \"tkMethod\""));
    case TTypeKind::tkInterface: {
        const TValueType t = ReadValue();
        if (t != TValueType::vaNil) {
            Seek(Position() - 1);
            SkipValue();
        }
        return;
    }
    default:
        InvalidValue();
    }
    if (apply && !prop.Write(object, value))
        InvalidValue();
}

QVariant TPropReaderEh::ReadObjectValue(QObject* object, const TPropInfo& prop, bool& apply) {
    const TValueType t = ReadValue();
    if (t == TValueType::vaNil)
        return QVariant::fromValue<QObject*>(nullptr);
    if (t == TValueType::vaCollection) {
        auto* collection = qobject_cast<TCollection*>(prop.ReadObject(object));
        if (!collection)
            InvalidValue();
        ReadCollection(collection);
        apply = false;
        return {};
    }
    if (t != TValueType::vaIdent)
        InvalidValue();
    QObject* found = FindReference(QString::fromLatin1(ReadShortStr()));
    if (!found) {
        apply = false; // an unknown reference leaves the property as it is
        return {};
    }
    const QMetaObject* wanted = prop.ObjectClass();
    if (wanted && !found->metaObject()->inherits(wanted))
        InvalidValue();
    return QVariant::fromValue(found);
}

QObject* TPropReaderEh::FindReference(const QString& name) const {
    auto walk = [](QObject* from, const QStringList& parts) -> QObject* {
        QObject* current = from;
        for (const QString& part : parts) {
            QObject* next = FindChildComponent(current, nullptr, part);
            if (!next && part.compare(QLatin1String("Owner"), Qt::CaseInsensitive) == 0)
                continue; // "Owner" that names no component stays where it is
            if (!next)
                return nullptr;
            current = next;
        }
        return current;
    };
    const QStringList parts = name.split(QLatin1Char('.'));
    if (QObject* found = walk(m_root, parts))
        return found;
    if (parts.size() > 1) {
        for (QWidget* window : QApplication::topLevelWidgets()) {
            if (window->objectName().compare(parts[0], Qt::CaseInsensitive) == 0)
                if (QObject* found = walk(window, parts.mid(1)))
                    return found;
        }
    }
    return nullptr;
}

void TPropReaderEh::ReadCollection(TCollection* collection) {
    TNestingGuard guard(m_depth);
    // Items are built apart and handed over only when the whole collection has been read.
    std::vector<std::unique_ptr<TCollectionItem>> items;
    const bool any = !EndOfList();
    while (!EndOfList()) {
        const TValueType t = NextValue();
        if (t == TValueType::vaInt8 || t == TValueType::vaInt16 || t == TValueType::vaInt32)
            ReadIntegerData(ReadValue());
        if (ReadValue() != TValueType::vaList)
            InvalidValue();
        items.push_back(collection->NewFreeItem());
        TNestingGuard itemGuard(m_depth);
        while (!EndOfList())
            ReadRecord(m_component ? m_component : collection, items.back().get());
        ReadByte();
    }
    ReadByte();
    collection->BeginUpdate();
    if (any)
        collection->Clear();
    for (auto& item : items)
        collection->Adopt(std::move(item));
    collection->EndUpdate();
}

int64_t TPropReaderEh::ReadInteger() {
    const TValueType t = ReadValue();
    if (!IsInteger(t))
        InvalidValue();
    return ReadIntegerData(t);
}

bool TPropReaderEh::ReadBoolean() {
    const TValueType t = ReadValue();
    if (t != TValueType::vaTrue && t != TValueType::vaFalse)
        InvalidValue();
    return t == TValueType::vaTrue;
}

double TPropReaderEh::ReadFloat() {
    const TValueType t = ReadValue();
    if (t == TValueType::vaExtended)
        return ReadExtendedData();
    if (IsInteger(t))
        return double(ReadIntegerData(t));
    InvalidValue();
}

QString TPropReaderEh::ReadString() {
    const TValueType t = ReadValue();
    if (!IsText(t))
        InvalidValue();
    return ReadTextData(t);
}

QString TPropReaderEh::ReadIdent() {
    return ReadIdentLike(ReadValue());
}

void TPropReaderEh::ReadListBegin() {
    if (ReadValue() != TValueType::vaList)
        InvalidValue();
}

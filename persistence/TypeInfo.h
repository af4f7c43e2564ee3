#pragma once

#include <QMetaEnum>
#include <QMetaProperty>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariant>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

class QIODevice;
class TPropReaderEh;
class TPropWriterEh;

// The run-time description of published properties, on Qt's meta-object system.
//
// Published properties are the Q_PROPERTYs declared by the system's own classes; those declared by
// Qt's classes (names beginning with "Q", such as QObject's objectName or QWidget's geometry) are not
// published. Kinds follow the property's type: Q_ENUM types and bool are enumerations ("False",
// "True"), Q_FLAG types are sets (bit n is the n-th element), char is a character, QByteArray 8-bit
// text, QString wide text, QObject pointers objects, QVariant variants, 64-bit integers their own kind,
// other integers integers, float and double floating point. A QWidget or an object with the TComponent
// mixin is a component (stored by reference); any other QObject is a persistent sub-object whose
// properties are stored as records of their own, unless it is marked as a sub-component.
enum class TTypeKind {
    tkUnknown,
    tkInteger,
    tkChar,
    tkEnumeration,
    tkFloat,
    tkSet,
    tkClass,
    tkMethod,
    tkLString,
    tkUString,
    tkVariant,
    tkInterface,
    tkInt64
};

class TPropInfo {
public:
    TPropInfo() = default;
    explicit TPropInfo(const QMetaObject* owner, QMetaProperty property);

    bool IsValid() const { return m_property.isValid(); }
    QString Name() const { return QString::fromLatin1(m_property.name()); }
    TTypeKind Kind() const { return m_kind; }
    // Not readable also when the declaring class lists the property in its "WriteOnly" class info.
    bool CanRead() const;
    bool CanWrite() const { return m_property.isWritable(); }
    // The value names of an enumeration or the element names of a set.
    QMetaEnum Enum() const { return m_property.enumerator(); }
    // The identifier table of an integer property (see RegisterIntegerConsts), empty when none.
    QString IdentTable() const;

    QVariant Read(const QObject* object) const { return m_property.read(object); }
    bool Write(QObject* object, const QVariant& value) const;
    QObject* ReadObject(const QObject* object) const;
    // The class an object-valued property holds (nullptr for other kinds).
    const QMetaObject* ObjectClass() const { return m_property.metaType().metaObject(); }

private:
    const QMetaObject* m_owner = nullptr;
    QMetaProperty m_property;
    TTypeKind m_kind = TTypeKind::tkUnknown;
};

// Looks a published property up by name: the exact spelling first, then without regard to the case of
// the letters A to Z; the most derived declaration wins.
TPropInfo FindPublishedProperty(const QMetaObject* cls, const QString& name);
// Published properties sorted by name (without regard to case).
std::vector<TPropInfo> PublishedProperties(const QMetaObject* cls);

// Case-insensitive comparison of the letters A to Z only (names of properties).
bool SameAsciiText(const QString& a, const QString& b);
int CompareAsciiText(const QString& a, const QString& b);

// Objects.
bool IsComponent(const QObject* object);
bool IsSubComponent(const QObject* object);
void SetSubComponent(QObject* object, bool value);
// Number of derivation steps from cls up to ancestor, or -1 when ancestor is not one.
int InheritanceDistance(const QMetaObject* cls, const QMetaObject* ancestor);

// Integer identifier tables: a class names the table of an integer property by a class info entry
// Q_CLASSINFO("IntegerIdents:<property>", "<table>"); the table is registered once at start-up.
using TIdentToInt = std::function<std::optional<int64_t>(const QString&)>;
using TIntToIdent = std::function<std::optional<QString>(int64_t)>;
void RegisterIntegerConsts(const QString& table, TIdentToInt identToInt, TIntToIdent intToIdent);
std::optional<QString> IntegerToIdent(const QString& table, int64_t value);
std::optional<int64_t> IdentToInteger(const QString& table, const QString& ident);
bool HasIntegerConsts(const QString& table);

// Defined properties: values an object declares for streaming beside its published properties. An
// object takes part by deriving from TDefinesProperties; the filer it is offered records, reads or
// writes the declared values.
class TFiler {
public:
    using TReaderProc = std::function<void(TPropReaderEh& reader)>;
    using TWriterProc = std::function<void(TPropWriterEh& writer)>;
    using TStreamProc = std::function<void(QIODevice& stream)>;
    virtual ~TFiler() = default;
    virtual void DefineProperty(const QString& name, TReaderProc readData, TWriterProc writeData,
                                bool hasData) = 0;
    virtual void DefineBinaryProperty(const QString& name, TStreamProc readData, TStreamProc writeData,
                                      bool hasData) = 0;
};

class TDefinesProperties {
public:
    virtual ~TDefinesProperties() = default;
    virtual void DefineProperties(TFiler& filer) = 0;
};

// The collecting filer: records each declared name and does nothing else.
class TDefinePropertyFiler : public TFiler {
public:
    void DefineProperty(const QString& name, TReaderProc, TWriterProc, bool) override { Plain.append(name); }
    void DefineBinaryProperty(const QString& name, TStreamProc, TStreamProc, bool) override {
        Binary.append(name);
    }
    QStringList Plain;
    QStringList Binary;
};

// Registers the persistence's start-up tables once (root-key identifiers, the window interceptor).
void EnsurePersistenceRegistered();

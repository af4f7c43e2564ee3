#pragma once

#include "persistence/TypeInfo.h"
#include "persistence/ValueStream.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class TCollection;

// While on, a failure inside a record ends the load instead of dropping the record. Off by default;
// nothing in the system turns it on.
void SetReportLoadErrors(bool on);
bool ReportLoadErrors();

// Reads a component stream back into a root object and its components.
//
// Failures outside records (signature, block structure, a stream that ends early or nests deeper than
// kMaxNestingDepth) end the load. A failure inside a record (a property that no longer exists, a value
// of the wrong kind, a refusing setter) becomes "Error reading <component>.<record>: <failure>" and
// drops that record only: the reader goes back to the start of its value, skips it and reads on. A
// value is converted completely before it is set, so a dropped record leaves its property untouched.
// A block that names a component the root does not have is read into a scratch object and dropped,
// with all its children.
class TPropReaderEh : public TBinaryInput {
public:
    TPropReaderEh(QIODevice* stream, int bufSize = kFilerBufferSize);
    ~TPropReaderEh() override;

    // Offered each record that names a direct property of the component being read; setting processed
    // means the handler has read the value itself through the reader.
    std::function<void(TPropReaderEh& reader, const QString& name, bool& processed)> OnReadOwnerProp;

    void ReadOwnerProperties(QObject* root);

    QObject* Root() const { return m_root; }
    const QString& PropName() const { return m_propName; }

    // Value reading for read procedures of defined properties and OnReadOwnerProp handlers.
    int64_t ReadInteger();
    bool ReadBoolean();
    double ReadFloat();
    QString ReadString();
    QString ReadIdent();
    void ReadListBegin();

private:
    struct TBlockState;
    void ReadBlock(QObject* component);
    void ReadRecord(QObject* component, QObject* target);
    void ResolveAndRead(QObject* component, QObject* target, const QString& name);
    void ReadPropValue(QObject* object, const TPropInfo& prop);
    QVariant ReadObjectValue(QObject* object, const TPropInfo& prop, bool& apply);
    void ReadCollection(TCollection* collection);
    QObject* FindReference(const QString& name) const;
    QObject* InterceptorFor(QObject* object, const QMetaObject* cls);
    QString ReadIdentLike(TValueType type);

    QObject* m_root = nullptr;
    QObject* m_lookupParent = nullptr;
    QObject* m_component = nullptr; // the component whose block is being read
    QString m_propName;
    bool m_canHandleExcepts = true;
    std::vector<TCollection*> m_updatedCollections;
    std::vector<std::pair<QObject*, std::unique_ptr<QObject>>> m_interceptors;
};

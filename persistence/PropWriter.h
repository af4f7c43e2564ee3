#pragma once

#include "persistence/PropertyNames.h"
#include "persistence/TypeInfo.h"
#include "persistence/ValueStream.h"

#include <QObject>

#include <functional>
#include <map>
#include <memory>
#include <vector>

class TCollection;
class TCollectionItem;

// Writes the chosen properties of a root object and its components as a component stream:
//   "TPF0", root block (class, name, root records, 0, child blocks, 0), 0
// Paths are grouped by ComparePropertyPaths so that each component's block appears once; a path whose
// component part names a child that does not exist is skipped whole. Values follow the kind of their
// property (see TypeInfo.h); the writer's public value operations are for OnWriteOwnerProps handlers
// and the write procedures of defined properties.
class TPropWriterEh : public TBinaryOutput {
public:
    TPropWriterEh(QIODevice* stream, int bufSize = kFilerBufferSize);
    ~TPropWriterEh() override;

    // Called once the root's own records are written; what it writes are root records.
    std::function<void(TPropWriterEh& writer)> OnWriteOwnerProps;

    void WriteOwnerProperties(QObject* root, const QStringList& paths);
    // The record name (the prefix in force followed by name).
    void WritePropName(const QString& name);
    QObject* Root() const { return m_root; }
    // The name by which component is referred to from the root ("Owner", "ComPort1", "Form2.Button1").
    static QString ReferenceName(const QObject* component, const QObject* root);

private:
    void Expand(QObject* object, const QString& path);
    void ExpandItem(TCollectionItem* item, int index, const QString& path);
    void WriteProperty(QObject* object, const TPropInfo& prop, const QString& rest);
    void WriteCollection(TCollection* collection);
    void WriteVariant(const QVariant& value);
    QObject* InterceptorFor(QObject* object, const QMetaObject* cls);
    void OpenBlock(QObject* component);

    QObject* m_root = nullptr;
    QString m_prefix;
    std::vector<QObject*> m_blocks;
    std::map<QObject*, std::unique_ptr<QObject>> m_interceptors;
    int m_depth = 0;
};

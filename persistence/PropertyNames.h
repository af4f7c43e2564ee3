#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <utility>
#include <vector>

// Stored property paths name properties of a root object (a window) and of its components:
//   ComPort1.<P>.BaudRate          a property of the child ComPort1
//   <P>.Left                       a property of the root itself
//   ComPort1.<P>.Parity.Bits       a property of an object held by a property
//   Items.<P>.Items.<Item2>.Caption, ...<ForAllItems>   items of a collection
// Component names and property names are matched without regard to case.

// The first segment of a path (up to the first "."), and the path without it and its ".".
QString FirstSegment(const QString& path);
QString RemoveFirstSegment(const QString& path);

// Orders paths so that at every level "<P>" comes first, then plain names, then other segments that
// begin with "<": a component's own paths come before those of its children, and all paths of one
// component stand together (the stream writer relies on this grouping).
int ComparePropertyPaths(const QString& a, const QString& b);

// The child of parent named name (without regard to case; the first in creation order), or nullptr.
// The children of an object are its direct Qt children: for a window its non-visual components and
// direct child controls, for a container control the controls it contains.
QObject* FindChildComponent(QObject* parent, QObject* root, const QString& name);

// Property paths relative to object: its published properties by name (an object-valued property
// contributes the paths of the object it holds, or nothing when it holds a component, and its own name
// too when it holds a collection), then its defined properties, plain ones first.
QStringList GetAllPropertyNames(const QObject* object);
QStringList GetDefinedPropertyNames(QObject* object);

// The interceptor registry: an interceptor class publishes properties that stand in for properties of
// objects of its target class (and of classes derived from it). Registration replaces an earlier pair
// for the same target. Start-up registers the window interceptor for TForm.
void RegisterStoragePropertyInterceptor(const QMetaObject* target, const QMetaObject* interceptor);
// The pair whose target is the fewest derivation steps above cls; on a tie the first registered.
const QMetaObject* FindStoragePropertyInterceptor(const QMetaObject* cls);

// The list of stored property paths of a property storage: held in ComparePropertyPaths order, no
// two equal. Root is the object the paths are checked against; while Root is being loaded from its
// layout, paths are taken unchecked.
class TPropertyNamesEh {
public:
    TPropertyNamesEh() = default;

    QObject* Root() const { return m_root; }
    // Sets Root, then drops every path that does not check against it.
    void SetRoot(QObject* root);

    // Position of the new path, or -1 when it was refused or is already present. A path without a
    // "<P>" segment fails with "Invalide property path: ..." (the spelling is the stored message's).
    int Add(const QString& path);
    // Empties the list, then adds the paths one by one.
    void Assign(const QStringList& paths);
    void Delete(int index);
    void Clear() { m_lines.clear(); }
    int IndexOf(const QString& path) const;
    int Count() const { return int(m_lines.size()); }
    const QString& operator[](int index) const { return m_lines[index]; }
    const QStringList& Lines() const { return m_lines; }

    void CheckPropertyNames();
    bool CheckPropertyPath(const QString& path) const;

private:
    bool CheckPropertyPart(QObject* object, QString text) const;
    QObject* m_root = nullptr;
    QStringList m_lines;
};

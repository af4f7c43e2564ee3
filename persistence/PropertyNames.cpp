#include "persistence/PropertyNames.h"

#include "persistence/Collection.h"
#include "persistence/TypeInfo.h"
#include "persistence/ValueStream.h"
#include "runtime/Component.h"

#include <memory>
#include <set>

namespace {

const QString kP = QStringLiteral("<P>");
const QString kForAllItems = QStringLiteral("<ForAllItems>");
const QString kItem = QStringLiteral("<Item");

std::vector<std::pair<const QMetaObject*, const QMetaObject*>>& Interceptors() {
    static std::vector<std::pair<const QMetaObject*, const QMetaObject*>> list;
    return list;
}

void CollectNames(const QObject* object, const QString& prefix, QStringList& out,
                  std::set<const QObject*>& path) {
    if (!object || path.count(object) || int(path.size()) >= kMaxNestingDepth)
        return; // an object that holds itself, directly or further down, is listed once
    path.insert(object);
    for (const TPropInfo& prop : PublishedProperties(object->metaObject())) {
        if (prop.Kind() == TTypeKind::tkMethod)
            continue;
        if (prop.Kind() != TTypeKind::tkClass) {
            out.append(prefix + prop.Name());
            continue;
        }
        const QObject* held = prop.ReadObject(object);
        if (!held || IsComponent(held))
            continue;
        CollectNames(held, prefix + prop.Name() + QLatin1Char('.'), out, path);
        if (qobject_cast<const TCollection*>(held))
            out.append(prefix + prop.Name());
    }
    for (const QString& name : GetDefinedPropertyNames(const_cast<QObject*>(object)))
        out.append(prefix + name);
    path.erase(object);
}

// The number after "<Item" up to the last character; a text that is no number fails like the
// toolkit's conversion.
int ItemIndex(const QString& segment) {
    const QString digits = segment.mid(5, segment.size() - 6);
    bool ok = false;
    const int index = digits.toInt(&ok);
    if (!ok)
        throw EFilerError(QStringLiteral("'%1' is not a valid integer value").arg(digits));
    return index;
}

} // namespace

QString FirstSegment(const QString& path) {
    const qsizetype dot = path.indexOf(QLatin1Char('.'));
    return dot < 0 ? path : path.left(dot);
}

QString RemoveFirstSegment(const QString& path) {
    const qsizetype dot = path.indexOf(QLatin1Char('.'));
    return dot < 0 ? QString() : path.mid(dot + 1);
}

int ComparePropertyPaths(const QString& pathA, const QString& pathB) {
    QString a = pathA, b = pathB;
    for (;;) {
        if (a.isEmpty() && b.isEmpty())
            return 0;
        const QString sa = FirstSegment(a), sb = FirstSegment(b);
        const bool pa = sa.compare(kP, Qt::CaseInsensitive) == 0;
        const bool pb = sb.compare(kP, Qt::CaseInsensitive) == 0;
        if (pa && !pb)
            return -1;
        if (pb && !pa)
            return 1;
        const bool la = sa.startsWith(QLatin1Char('<')), lb = sb.startsWith(QLatin1Char('<'));
        if (la && !lb)
            return 1;
        if (lb && !la)
            return -1;
        const int c = sa.toLower().localeAwareCompare(sb.toLower());
        if (c != 0)
            return c < 0 ? -1 : 1;
        // Both lose as many characters as a's first segment has, plus the ".".
        const qsizetype cut = sa.size() + 1;
        a = a.mid(cut);
        b = b.mid(cut);
    }
}

QObject* FindChildComponent(QObject* parent, QObject* /*root*/, const QString& name) {
    if (!parent || name.isEmpty())
        return nullptr;
    for (QObject* child : parent->children())
        if (child->objectName().compare(name, Qt::CaseInsensitive) == 0)
            return child;
    return nullptr;
}

QStringList GetAllPropertyNames(const QObject* object) {
    QStringList names;
    std::set<const QObject*> path;
    CollectNames(object, QString(), names, path);
    return names;
}

QStringList GetDefinedPropertyNames(QObject* object) {
    auto* defines = dynamic_cast<TDefinesProperties*>(object);
    if (!defines)
        return {};
    TDefinePropertyFiler filer;
    defines->DefineProperties(filer);
    return filer.Plain + filer.Binary;
}

void RegisterStoragePropertyInterceptor(const QMetaObject* target, const QMetaObject* interceptor) {
    auto& list = Interceptors();
    std::erase_if(list, [target](const auto& pair) { return pair.first == target; });
    list.emplace_back(target, interceptor);
}

const QMetaObject* FindStoragePropertyInterceptor(const QMetaObject* cls) {
    EnsurePersistenceRegistered();
    const QMetaObject* best = nullptr;
    int bestDistance = -1;
    for (const auto& [target, interceptor] : Interceptors()) {
        const int d = InheritanceDistance(cls, target);
        if (d >= 0 && (bestDistance < 0 || d < bestDistance)) {
            best = interceptor;
            bestDistance = d;
        }
    }
    return best;
}

// ---- TPropertyNamesEh

void TPropertyNamesEh::SetRoot(QObject* root) {
    m_root = root;
    CheckPropertyNames();
}

int TPropertyNamesEh::Add(const QString& path) {
    TComponent* component = TComponent::From(m_root);
    const bool loading = component && component->Loading();
    if (m_root && !loading && !CheckPropertyPath(path))
        return -1;
    for (int i = 0; i < m_lines.size(); ++i) {
        const int c = ComparePropertyPaths(m_lines[i], path);
        if (c == 0)
            return -1;
        if (c > 0) {
            m_lines.insert(i, path);
            return i;
        }
    }
    m_lines.append(path);
    return int(m_lines.size()) - 1;
}

void TPropertyNamesEh::Assign(const QStringList& paths) {
    m_lines.clear();
    for (const QString& path : paths)
        Add(path);
}

void TPropertyNamesEh::Delete(int index) {
    if (index >= 0 && index < m_lines.size())
        m_lines.removeAt(index);
}

int TPropertyNamesEh::IndexOf(const QString& path) const {
    for (int i = 0; i < m_lines.size(); ++i)
        if (ComparePropertyPaths(m_lines[i], path) == 0)
            return i;
    return -1;
}

void TPropertyNamesEh::CheckPropertyNames() {
    for (int i = int(m_lines.size()) - 1; i >= 0; --i)
        if (!CheckPropertyPath(m_lines[i]))
            m_lines.removeAt(i);
}

bool TPropertyNamesEh::CheckPropertyPath(const QString& path) const {
    // A component that does not exist refuses the path, but only a path that has a "<P>" segment at
    // all: one without it is malformed and fails with the path's rest, whatever names it holds.
    QObject* current = m_root;
    QString rest = path;
    QString segment = FirstSegment(rest);
    while (!segment.isEmpty()) {
        if (segment.compare(kP, Qt::CaseInsensitive) == 0)
            return current && CheckPropertyPart(current, rest.mid(4));
        current = current ? FindChildComponent(current, m_root, segment) : nullptr;
        rest = RemoveFirstSegment(rest);
        segment = FirstSegment(rest);
    }
    throw EFilerError(QStringLiteral("Invalide property path: \"%1\"").arg(rest));
}

bool TPropertyNamesEh::CheckPropertyPart(QObject* object, QString text) const {
    std::vector<std::unique_ptr<QObject>> temporaries; // free-standing items, freed at the end
    QObject* o = object;
    for (int steps = 0;; ++steps) {
        if (steps > 4 * kMaxNestingDepth)
            return false;
        const QString s = FirstSegment(text);
        text = RemoveFirstSegment(text);
        auto* collection = qobject_cast<TCollection*>(o);
        if (collection &&
            (s.compare(kForAllItems, Qt::CaseInsensitive) == 0 || s.startsWith(kItem, Qt::CaseInsensitive))) {
            if (s.compare(kForAllItems, Qt::CaseInsensitive) == 0) {
                temporaries.push_back(collection->NewFreeItem());
                o = temporaries.back().get();
            } else if (s.startsWith(kItem)) {
                const int n = ItemIndex(s);
                if (n >= 0 && n < collection->Count())
                    o = collection->Item(n);
            }
            if (text.isEmpty())
                return true;
            continue;
        }
        TPropInfo prop;
        if (const QMetaObject* interceptor = FindStoragePropertyInterceptor(o->metaObject()))
            prop = FindPublishedProperty(interceptor, s);
        // An interceptor's property cannot be read on the object itself: go on with the object's own.
        if (!prop.IsValid() || (prop.Kind() == TTypeKind::tkClass && !text.isEmpty()))
            prop = FindPublishedProperty(o->metaObject(), s);
        if (!prop.IsValid()) {
            for (const QString& name : GetDefinedPropertyNames(o))
                if (name.compare(s, Qt::CaseInsensitive) == 0)
                    return text.isEmpty(); // nothing to go on with after a defined property
            return false;
        }
        if (text.isEmpty())
            return true;
        if (prop.Kind() != TTypeKind::tkClass)
            continue;
        QObject* held = prop.ReadObject(o);
        if (!held)
            return false;
        o = held;
    }
}

#pragma once

#include <QObject>

#include <memory>
#include <vector>

class TCollection;

// An element of a TCollection. Item classes derive from it, publish their stored values as properties
// and have an invokable default constructor, so that a collection can make new items of its class.
class TCollectionItem : public QObject {
    Q_OBJECT

public:
    Q_INVOKABLE explicit TCollectionItem(QObject* parent = nullptr) : QObject(parent) {}
    TCollection* Collection() const { return m_collection; }
    // Position in the collection; -1 for a free-standing item.
    int Index() const;

private:
    friend class TCollection;
    TCollection* m_collection = nullptr;
};

// An ordered list of items of one item class, owned by the collection. Stored as a whole (every item's
// properties) and addressed item by item by stored property paths. BeginUpdate/EndUpdate bracket bulk
// changes; Changed() is raised once at the outermost EndUpdate.
class TCollection : public QObject {
    Q_OBJECT

public:
    explicit TCollection(const QMetaObject* itemClass, QObject* parent = nullptr);
    ~TCollection() override;

    const QMetaObject* ItemClass() const { return m_itemClass; }
    int Count() const { return int(m_items.size()); }
    // nullptr when index is out of range.
    TCollectionItem* Item(int index) const;
    TCollectionItem* Add();
    // A new item of the item class that belongs to no collection (the caller owns it).
    std::unique_ptr<TCollectionItem> NewFreeItem() const;
    // Appends an item made by NewFreeItem.
    void Adopt(std::unique_ptr<TCollectionItem> item);
    void Delete(int index);
    void Clear();

    void BeginUpdate() { ++m_updateCount; }
    void EndUpdate();
    int UpdateCount() const { return m_updateCount; }

signals:
    void Changed();

private:
    void NotifyChanged();
    const QMetaObject* m_itemClass;
    std::vector<TCollectionItem*> m_items;
    int m_updateCount = 0;
    bool m_changedWhileUpdating = false;
};

#include "persistence/Collection.h"

#include <algorithm>

int TCollectionItem::Index() const {
    if (!m_collection)
        return -1;
    for (int i = 0; i < m_collection->Count(); ++i)
        if (m_collection->Item(i) == this)
            return i;
    return -1;
}

TCollection::TCollection(const QMetaObject* itemClass, QObject* parent)
    : QObject(parent), m_itemClass(itemClass ? itemClass : &TCollectionItem::staticMetaObject) {}

TCollection::~TCollection() {
    for (TCollectionItem* item : m_items)
        delete item;
}

TCollectionItem* TCollection::Item(int index) const {
    return index >= 0 && index < Count() ? m_items[size_t(index)] : nullptr;
}

std::unique_ptr<TCollectionItem> TCollection::NewFreeItem() const {
    QObject* made = m_itemClass->newInstance();
    auto* item = qobject_cast<TCollectionItem*>(made);
    if (!item) {
        delete made;
        item = new TCollectionItem();
    }
    return std::unique_ptr<TCollectionItem>(item);
}

void TCollection::Adopt(std::unique_ptr<TCollectionItem> item) {
    item->m_collection = this;
    m_items.push_back(item.release());
    NotifyChanged();
}

TCollectionItem* TCollection::Add() {
    auto item = NewFreeItem();
    TCollectionItem* raw = item.get();
    Adopt(std::move(item));
    return raw;
}

void TCollection::Delete(int index) {
    if (index < 0 || index >= Count())
        return;
    TCollectionItem* item = m_items[size_t(index)];
    m_items.erase(m_items.begin() + index);
    delete item;
    NotifyChanged();
}

void TCollection::Clear() {
    if (m_items.empty())
        return;
    std::vector<TCollectionItem*> items;
    items.swap(m_items);
    for (TCollectionItem* item : items)
        delete item;
    NotifyChanged();
}

void TCollection::EndUpdate() {
    if (m_updateCount == 0)
        return;
    if (--m_updateCount == 0 && m_changedWhileUpdating) {
        m_changedWhileUpdating = false;
        emit Changed();
    }
}

void TCollection::NotifyChanged() {
    if (m_updateCount > 0)
        m_changedWhileUpdating = true;
    else
        emit Changed();
}

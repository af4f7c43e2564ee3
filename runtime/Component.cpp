#include "runtime/Component.h"

#include <algorithm>

namespace {
void EraseOne(std::vector<TComponent*>& list, TComponent* item) {
    auto it = std::find(list.begin(), list.end(), item);
    if (it != list.end())
        list.erase(it);
}
} // namespace

TComponent::TComponent(QObject* self) : m_self(self) {}

TComponent::~TComponent() {
    NotifyRemoval();
    for (TComponent* watched : m_watched)
        EraseOne(watched->m_notifyOnFree, this);
}

TComponent* TComponent::From(QObject* object) {
    return dynamic_cast<TComponent*>(object);
}

void TComponent::Loaded() {
    m_loading = false;
}

void TComponent::FreeNotification(TComponent* component) {
    if (!component || component == this)
        return;
    if (std::find(component->m_notifyOnFree.begin(), component->m_notifyOnFree.end(), this) ==
        component->m_notifyOnFree.end()) {
        component->m_notifyOnFree.push_back(this);
        m_watched.push_back(component);
    }
}

void TComponent::RemoveFreeNotification(TComponent* component) {
    if (!component)
        return;
    EraseOne(component->m_notifyOnFree, this);
    EraseOne(m_watched, component);
}

void TComponent::Notification(TComponent*, TOperation) {}

void TComponent::NotifyRemoval() {
    if (m_removalSent)
        return;
    m_removalSent = true;
    // A listener may drop its own registration while being told, so walk a copy.
    std::vector<TComponent*> listeners = m_notifyOnFree;
    for (TComponent* listener : listeners) {
        if (std::find(m_notifyOnFree.begin(), m_notifyOnFree.end(), listener) == m_notifyOnFree.end())
            continue;
        EraseOne(listener->m_watched, this);
        EraseOne(m_notifyOnFree, listener);
        listener->Notification(this, TOperation::opRemove);
    }
}

void LoadComponents(const std::vector<TComponent*>& components) {
    for (TComponent* c : components)
        c->Loaded();
}

#pragma once

#include <QObject>
#include <QString>

#include <vector>

enum class TOperation { opInsert, opRemove };

// What every component of a window layout has besides being a QObject (or QWidget): the owner and name
// (the Qt parent and objectName), a loading flag with the after-loading hook, and free-notification.
//
// Free-notification: a component that keeps a reference to another calls FreeNotification on it and is
// told through Notification(.., opRemove) when that component goes away. The notice is sent by the
// removed component's own destructor (NotifyRemoval), while the object is still whole, so a listener
// may still call into it. A derived destructor that must notify earlier than this base destructor calls
// NotifyRemoval itself; the base destructor only sends what is still unsent.
class TComponent {
public:
    explicit TComponent(QObject* self);
    TComponent(const TComponent&) = delete;
    TComponent& operator=(const TComponent&) = delete;

    QObject* Self() const { return m_self; }
    QString Name() const { return m_self->objectName(); }
    void SetName(const QString& name) { m_self->setObjectName(name); }
    QObject* Owner() const { return m_self->parent(); }

    // True while the component's values are being set from a layout, until Loaded() has run.
    bool Loading() const { return m_loading; }
    void BeginLoading() { m_loading = true; }
    // There is no designer: components never run in design mode.
    bool Designing() const { return false; }

    // Called once the whole layout is built; overrides call the inherited version first.
    virtual void Loaded();

    void FreeNotification(TComponent* component);
    void RemoveFreeNotification(TComponent* component);

    // Finds the component interface of an object, or nullptr.
    static TComponent* From(QObject* object);

protected:
    virtual ~TComponent();
    virtual void Notification(TComponent* component, TOperation operation);
    void NotifyRemoval();

private:
    QObject* m_self;
    bool m_loading = false;
    bool m_removalSent = false;
    std::vector<TComponent*> m_notifyOnFree; // components to tell when this one goes away
    std::vector<TComponent*> m_watched;      // components that will tell this one
};

// Runs Loaded() on each component in creation order.
void LoadComponents(const std::vector<TComponent*>& components);

#pragma once

#include "persistence/PropStorageManager.h"
#include "persistence/PropertyNames.h"
#include "runtime/Component.h"
#include "runtime/widgets/Form.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <functional>

class QIODevice;
class TPropReaderEh;

class TPropWriterEh;

// Remembers chosen properties of its owner window and of the components on it (StoredProps, paths
// relative to the owner): loads them from its storage manager when the window is shown and saves them
// when the window may close, or at its destruction when nothing was saved since the last load.
//
// Once loaded from the window's layout (Loaded() after BeginLoading()), it hooks the window's show,
// close-query and destroy handlers, keeping the previous ones and calling them on: show loads first
// and then runs the previous handler; close query runs the previous handler first and saves only when
// closing is allowed; destroy saves first, then runs the previous handler. Load failures at show are
// swallowed; save failures go to the application's exception report and never stop the closing. When
// the storage goes away before its window, the kept handlers are put back.
class TPropStorageEh : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool Active READ Active WRITE SetActive)
    Q_PROPERTY(QString Section READ Section WRITE SetSection)
    Q_PROPERTY(TPropStorageManagerEh* StorageManager READ StorageManager WRITE SetStorageManager)
    Q_PROPERTY(QStringList StoredProps READ StoredPropsList WRITE SetStoredProps)

public:
    explicit TPropStorageEh(QObject* owner = nullptr);
    ~TPropStorageEh() override;

    bool Active() const { return m_active; }
    void SetActive(bool v) { m_active = v; }
    const QString& Section() const { return m_section; }
    void SetSection(const QString& v) { m_section = v; }
    // Section, or the default one derived from the owner (for a window: its class name).
    QString EffectiveSection() const;
    TPropStorageManagerEh* StorageManager() const { return m_storageManager; }
    void SetStorageManager(TPropStorageManagerEh* manager);
    TPropertyNamesEh& StoredProps() { return m_storedProps; }
    QStringList StoredPropsList() const { return m_storedProps.Lines(); }
    void SetStoredProps(const QStringList& paths) { m_storedProps.Assign(paths); }
    bool Saved() const { return m_saved; }

    TNotifyEvent AfterLoadProps;
    TNotifyEvent AfterSaveProps;
    TNotifyEvent BeforeLoadProps;
    TNotifyEvent BeforeSaveProps;
    std::function<void(QObject* sender, TPropWriterEh& writer)> OnWriteCustomProps;
    std::function<void(QObject* sender, TPropReaderEh& reader, const QString& propName, bool& processed)>
        OnReadProp;

    void SaveProperties();
    void LoadProperties();
    void WritePropsToStream(QIODevice& stream);
    void ReadPropsFromStream(QIODevice& stream);

    void Loaded() override;

protected:
    void Notification(TComponent* component, TOperation operation) override;

private:
    void HookOwner();
    void UnhookOwner();
    TPropStorageManagerEh* EffectiveManager() const;

    bool m_active = true;
    QString m_section;
    TPropStorageManagerEh* m_storageManager = nullptr;
    TPropertyNamesEh m_storedProps;
    bool m_saved = false;

    TForm* m_hookedForm = nullptr; // set while the window's handlers are replaced
    TNotifyEvent m_savedOnShow;
    TCloseQueryEvent m_savedOnCloseQuery;
    TNotifyEvent m_savedOnDestroy;
};

#include "persistence/PropStorage.h"

#include "persistence/PropReader.h"
#include "persistence/PropStorageManager.h"
#include "persistence/PropWriter.h"
#include "runtime/Exception.h"

#include <QWidget>

TPropStorageEh::TPropStorageEh(QObject* owner) : QObject(owner), TComponent(this) {
    m_storedProps.SetRoot(owner);
}

TPropStorageEh::~TPropStorageEh() {
    UnhookOwner();
    if (m_storageManager)
        RemoveFreeNotification(m_storageManager);
}

QString TPropStorageEh::EffectiveSection() const {
    if (!m_section.isEmpty())
        return m_section;
    QObject* owner = Owner();
    if (!owner)
        return QString();
    if (qobject_cast<TForm*>(owner))
        return QString::fromLatin1(owner->metaObject()->className());
    if (auto* control = qobject_cast<QWidget*>(owner)) {
        if (QWidget* window = control->window(); window && window != control)
            return QString::fromLatin1(window->metaObject()->className()) + control->objectName();
        if (QWidget* parent = control->parentWidget())
            return parent->objectName() + control->objectName();
        return control->objectName();
    }
    if (QObject* ownersOwner = owner->parent(); qobject_cast<TForm*>(ownersOwner))
        return QStringLiteral("%1.%2").arg(QString::fromLatin1(ownersOwner->metaObject()->className()),
                                           owner->objectName());
    return owner->objectName();
}

void TPropStorageEh::SetStorageManager(TPropStorageManagerEh* manager) {
    if (manager == m_storageManager)
        return;
    if (m_storageManager)
        RemoveFreeNotification(m_storageManager);
    m_storageManager = manager;
    if (manager)
        FreeNotification(manager);
}

void TPropStorageEh::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == TOperation::opRemove && component == m_storageManager)
        m_storageManager = nullptr;
}

TPropStorageManagerEh* TPropStorageEh::EffectiveManager() const {
    return m_storageManager ? m_storageManager : DefaultPropStorageManager();
}

void TPropStorageEh::SaveProperties() {
    if (BeforeSaveProps)
        BeforeSaveProps(this);
    if (TPropStorageManagerEh* manager = EffectiveManager()) {
        manager->SaveProperties(this);
        m_saved = true;
    }
    if (AfterSaveProps)
        AfterSaveProps(this);
}

void TPropStorageEh::LoadProperties() {
    if (BeforeLoadProps)
        BeforeLoadProps(this);
    m_saved = false;
    if (TPropStorageManagerEh* manager = EffectiveManager())
        manager->ReadProperties(this);
    if (AfterLoadProps)
        AfterLoadProps(this);
}

void TPropStorageEh::WritePropsToStream(QIODevice& stream) {
    if (!Owner())
        return;
    TPropWriterEh writer(&stream, kFilerBufferSize);
    if (OnWriteCustomProps)
        writer.OnWriteOwnerProps = [this](TPropWriterEh& w) { OnWriteCustomProps(this, w); };
    writer.WriteOwnerProperties(Owner(), m_storedProps.Lines());
}

void TPropStorageEh::ReadPropsFromStream(QIODevice& stream) {
    if (!Owner())
        return;
    TPropReaderEh reader(&stream, kFilerBufferSize);
    if (OnReadProp)
        reader.OnReadOwnerProp = [this](TPropReaderEh& r, const QString& name, bool& processed) {
            OnReadProp(this, r, name, processed);
        };
    reader.ReadOwnerProperties(Owner());
}

void TPropStorageEh::Loaded() {
    const bool wasLoading = Loading();
    TComponent::Loaded();
    if (wasLoading && !Designing())
        HookOwner();
}

void TPropStorageEh::HookOwner() {
    auto* form = qobject_cast<TForm*>(Owner());
    if (!form || m_hookedForm)
        return;
    m_hookedForm = form;
    m_savedOnShow = form->OnShow;
    m_savedOnCloseQuery = form->OnCloseQuery;
    m_savedOnDestroy = form->OnDestroy;

    form->OnShow = [this](QObject* sender) {
        if (m_active) {
            try {
                LoadProperties();
            } catch (...) {
                if (ReportLoadErrors())
                    ReportCurrentException();
            }
        }
        if (m_savedOnShow)
            m_savedOnShow(sender);
    };
    form->OnCloseQuery = [this](QObject* sender, bool& canClose) {
        if (m_savedOnCloseQuery)
            m_savedOnCloseQuery(sender, canClose);
        if (canClose && m_active && m_hookedForm && m_hookedForm->HandleAllocated()) {
            try {
                SaveProperties();
            } catch (...) {
                ReportCurrentException();
            }
        }
    };
    form->OnDestroy = [this](QObject* sender) {
        // The window is going away: its handlers are not to be touched any more.
        m_hookedForm = nullptr;
        if (m_active && !m_saved) {
            try {
                SaveProperties();
            } catch (...) {
                ReportCurrentException();
            }
        }
        if (m_savedOnDestroy)
            m_savedOnDestroy(sender);
    };
}

void TPropStorageEh::UnhookOwner() {
    if (!m_hookedForm)
        return;
    m_hookedForm->OnShow = m_savedOnShow;
    m_hookedForm->OnCloseQuery = m_savedOnCloseQuery;
    m_hookedForm->OnDestroy = m_savedOnDestroy;
    m_hookedForm = nullptr;
}

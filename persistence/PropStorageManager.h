#pragma once

#include "runtime/Component.h"
#include "runtime/Registry.h"

#include <QObject>
#include <QString>

class QIODevice;
class TPropStorageEh;

// Decides where a property storage's stream is kept, and in which form: the text form (default) or
// the binary stream itself. Saving asks the storage for its stream; loading hands the stream (either
// form) back to the storage.
class TPropStorageManagerEh : public QObject, public TComponent {
    Q_OBJECT
    Q_PROPERTY(bool WriteAsText READ WriteAsText WRITE SetWriteAsText)

public:
    explicit TPropStorageManagerEh(QObject* owner = nullptr);
    ~TPropStorageManagerEh() override;

    bool WriteAsText() const { return m_writeAsText; }
    void SetWriteAsText(bool v) { m_writeAsText = v; }

    virtual void ReadProperties(TPropStorageEh* storage);
    // Fails with "Invalid stream format." when the stream is in neither form.
    virtual void LoadPropertiesFromStream(QIODevice& stream, TPropStorageEh* storage);
    virtual void SaveProperties(TPropStorageEh* storage);
    virtual void WritePropertiesStream(TPropStorageEh* storage, QIODevice& stream);
    virtual void WritePropertiesText(TPropStorageEh* storage, const QByteArray& text);

private:
    bool m_writeAsText = true;
};

// Keeps the stream in the per-user settings store: under the root chosen by RegistryKey, in the key
// Path\Section, one string value per line named "Line" and ten digits ("Line0000000000", ...). The
// text form is kept one line per value; the binary form as upper-case hexadecimal digits in pieces of
// 80. A save deletes the values left over from a longer earlier save. A legacy single value named like
// the section directly under Path is read, applied and deleted. An empty Path means "Software\" and
// the application's name (or, without one, the program's file name without extension).
class TRegPropStorageManEh : public TPropStorageManagerEh {
    Q_OBJECT
    Q_PROPERTY(TRegistryKeyEh RegistryKey READ RegistryKey WRITE SetRegistryKey)
    Q_PROPERTY(QString Path READ Path WRITE SetPath)
    Q_PROPERTY(bool WriteAsText READ WriteAsText WRITE SetWriteAsText)

public:
    enum TRegistryKeyEh {
        rkClassesRootEh,
        rkCurrentUserEh,
        rkLocalMachineEh,
        rkUsersEh,
        rkPerformanceDataEh,
        rkCurrentConfigEh,
        rkDynDataEh,
        rkCustomRegistryKeyEh
    };
    Q_ENUM(TRegistryKeyEh)

    explicit TRegPropStorageManEh(QObject* owner = nullptr);

    TRegistryKeyEh RegistryKey() const { return m_registryKey; }
    void SetRegistryKey(TRegistryKeyEh key);
    const QString& Path() const { return m_path; }
    void SetPath(const QString& path) { m_path = path; }
    HKEY RootKeyHandle() const { return m_rootKey; }
    // For rkCustomRegistryKeyEh: the application sets the root itself.
    void SetRootKeyHandle(HKEY key) { m_rootKey = key; }
    QString EffectivePath() const;
    static QString DefaultPath();
    static QString LineName(int index);
    // The stream that stored line values stand for: lines in the text form joined with CR LF, or else
    // the lines' hexadecimal digits decoded up to the first pair that is not hexadecimal.
    static QByteArray StreamFromLines(const QStringList& lines);

    void ReadProperties(TPropStorageEh* storage) override;
    void WritePropertiesStream(TPropStorageEh* storage, QIODevice& stream) override;
    void WritePropertiesText(TPropStorageEh* storage, const QByteArray& text) override;

private:
    void WriteLines(TPropStorageEh* storage, const QStringList& lines);
    TRegistryKeyEh m_registryKey = rkCurrentUserEh;
    QString m_path;
    HKEY m_rootKey = HKEY_CURRENT_USER;
};

// The stream kept by a storage manager (a process-wide default for storages without a manager).
void SetDefaultPropStorageManager(TPropStorageManagerEh* manager);
TPropStorageManagerEh* DefaultPropStorageManager();

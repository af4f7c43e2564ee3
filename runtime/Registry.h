#pragma once

#include "runtime/Exception.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

// Handles of the registry roots. They keep the values the system has always used, because they are
// written into stored streams and compared by number.
using HKEY = uint32_t;
constexpr HKEY HKEY_CLASSES_ROOT = 0x80000000u;
constexpr HKEY HKEY_CURRENT_USER = 0x80000001u;
constexpr HKEY HKEY_LOCAL_MACHINE = 0x80000002u;
constexpr HKEY HKEY_USERS = 0x80000003u;
constexpr HKEY HKEY_PERFORMANCE_DATA = 0x80000004u;
constexpr HKEY HKEY_CURRENT_CONFIG = 0x80000005u;
constexpr HKEY HKEY_DYN_DATA = 0x80000006u;

// The identifier tables of the root handles ("HKEY_CURRENT_USER" <-> 0x80000001).
std::optional<QString> RootKeyToIdent(int64_t handle);
std::optional<HKEY> IdentToRootKey(const QString& ident);
bool IsRootKey(int64_t handle);

enum class TRegDataType : uint8_t {
    rdUnknown = 0,
    rdString = 1,
    rdExpandString = 2,
    rdInteger = 3,
    rdBinary = 4
};

struct TRegDataInfo {
    TRegDataType RegData = TRegDataType::rdUnknown;
    int DataSize = 0;
};

// Raised by the registry object for values that cannot be read or written.
class ERegistryException : public Exception {
public:
    using Exception::Exception;
};

// The content of the per-user settings store: a tree of keys under each root, each key with typed
// values. Key names and value names are matched without regard to case and keep the spelling they were
// created with. A key path has at most kMaxKeyDepth names and kMaxKeyPathBytes bytes of UTF-8.
class TRegistryData {
public:
    static constexpr int kMaxKeyDepth = 512;
    static constexpr qsizetype kMaxKeyPathBytes = 32 * 1024;

    struct TValue {
        QString Name;
        TRegDataType Type = TRegDataType::rdUnknown;
        QByteArray Data;         // text as UTF-8 (see EncodeText), integers as 4 bytes little-endian
        QStringList LinesBefore; // comments and unknown lines of the text form just above the value
        QString Comment;         // the comment after the value on its line (" ; my port"), kept
        bool Removed = false;    // deleted; its kept lines still go where it stood
    };
    struct TKey {
        HKEY Root = 0;
        QString Name; // its own name; empty for the root
        TKey* Parent = nullptr;
        std::map<QString, std::unique_ptr<TKey>> Children; // by case-folded name
        std::vector<TValue> Values;                        // in file order; skip the Removed ones
        QHash<QString, qsizetype> Index;                   // case-folded name -> position in Values
        qsizetype RemovedCount = 0;
        QStringList LinesAbove; // comments and unknown lines of the text form directly above the header
        QString HeaderComment;  // the comment after the header on its line
        QStringList Trailing;   // comments and unknown lines after the last value
        qint64 Order = 0;       // place in the text form: file order, new keys last
        bool Listed = false;    // has a header of its own in the file, so it is written even when bare
        // Backslash-separated, without the root, no leading or trailing backslash.
        QString Path() const;
    };

    TRegistryData();
    ~TRegistryData();
    TRegistryData(TRegistryData&&) noexcept;
    TRegistryData& operator=(TRegistryData&&) noexcept;

    // Key path without empty segments ("\a\\b\" gives "a\b").
    static QString NormalizePath(const QString& path);
    // Whether a key of that (normal) path may be stored: within the bounds above, one line of the text
    // form, and read back as the same path from its header.
    static bool PathAllowed(const QString& path);
    // Text as stored: UTF-8, with a lone surrogate (U+D800-DFFF) as its three-byte pattern so that it
    // comes back; the file form writes those bytes as \xHH escapes. DecodeText keeps a leading U+FEFF.
    static QByteArray EncodeText(const QString& text);
    static QString DecodeText(const QByteArray& bytes);

    TKey* FindKey(HKEY root, const QString& path);
    const TKey* FindKey(HKEY root, const QString& path) const;
    // Creates the key and every key above it (the path must be allowed).
    TKey& CreateKey(HKEY root, const QString& path);
    // Deletes the key and everything below it; false when it did not exist.
    bool DeleteKey(HKEY root, const QString& path);
    QStringList SubKeyNames(HKEY root, const QString& path) const;
    static TValue* FindValue(TKey& key, const QString& name);
    static const TValue* FindValue(const TKey& key, const QString& name);
    // Replaces the value of that name (keeping its place, spelling and comment) or appends it.
    static void SetValue(TKey& key, TValue value);
    // False when there was no value of that name.
    static bool RemoveValue(TKey& key, const QString& name);

    // The file form: UTF-8 text, one "[ROOT\\key\\path]" section per key and one line per value:
    //   "name"="text"  "name"=expand:"text"  "name"=dword:0000002a  "name"=hex:01,02  "name"=hex(0):01
    // (@ names the unnamed value). In quotes, \\ \" \n \r \t stand for themselves and \xHH for a
    // byte; everything else is literal UTF-8. A header or value line may end in a comment (" ; note").
    // Comments (";" or "#") and lines that are no section or value are kept with their place on
    // rewrite: those directly above a header (no blank line between) belong to that header, the others
    // to the value below or the key above. A section whose root is unknown or whose path may not be
    // stored is kept whole as it stands, and so is a line starting with "[" that is no header, with the
    // lines below it up to the next header. Parse also takes the older binary form. It never fails on text
    // that is UTF-8; other input (and a garbled or truncated binary form) gives false and leaves the
    // content empty. Every length and count of the binary form is checked against the bytes left and a
    // fixed bound.
    QByteArray Serialize() const;
    bool Parse(const QByteArray& bytes);
    // The older binary form, read only to convert an existing store.
    QByteArray SerializeBinary() const;
    static bool IsBinaryForm(const QByteArray& bytes);
    bool Empty() const { return m_roots.empty() && m_blocks.empty(); }

private:
    struct TBlock {
        QStringList Lines; // a section kept as it stands, with the lines above its header
        qint64 Order = 0;
    };
    void Clear();
    bool ParseBinary(const QByteArray& bytes);
    bool ParseText(const QByteArray& bytes);
    std::vector<const TKey*> KeysInOrder() const;
    std::map<HKEY, std::unique_ptr<TKey>> m_roots;
    std::vector<TBlock> m_blocks;
    QStringList m_preamble; // lines of the text form before the first section
    bool m_fromText = false;
    qint64 m_nextOrder = 0;
};

// The file that holds the per-user store: $XDG_CONFIG_HOME/corvantel/registry.conf (default ~/.config).
QString RegistryStorePath();
// The binary store of earlier versions (registry.dat beside it): converted once into the text store and
// then kept as registry.dat.bak. Its lock file (registry.dat.lock) stays the lock of the text store.
QString LegacyRegistryStorePath();
// Why the store cannot be used now, as one sentence for the user that names the file and the reason
// ("The settings store /home/u/.config/corvantel/registry.conf cannot be read: Permission denied.");
// empty when it reads, or does not exist yet. A store that cannot be read reads as empty, so a program
// that shows settings asks this first to tell "no settings" from "settings that cannot be read".
QString RegistryStoreProblem();
// For tests: while set, opening the store file for reading fails as an I/O error would.
void SetRegistryReadFailureForTesting(bool fail);

// Access to the per-user settings store, shaped like the operating system's registry: choose a root,
// open a key (optionally creating it), then list, read, write and delete its values. Outside an update
// (BeginUpdate) every operation reads the store file afresh and every change is written back at once;
// writes are atomic (temporary file, flush, rename) and made under an exclusive lock file, so a second
// process sees either the old or the new store, never a mixture. A store that exists but cannot be read
// reads as empty and is never written over: every change fails with "Failed to set data". A garbled one
// (not UTF-8, or larger than the 64 MiB a store may have) is kept beside the store under a name of its
// own ("registry.conf.corrupt", then ".corrupt.2", ...) before it is replaced by the next write, and the
// user is told, once, through the application's exception report, with the copy's name; when no copy
// can be made it is not replaced. A write that would make the store larger than 64 MiB fails with
// "Failed to set data". While one registry object of a thread holds an update, another one of the same
// thread reads the store as it was before the update and its changes fail; it never waits for itself.
class TRegistry {
public:
    TRegistry();
    ~TRegistry();
    TRegistry(const TRegistry&) = delete;
    TRegistry& operator=(const TRegistry&) = delete;

    HKEY RootKey() const { return m_root; }
    // Changing the root closes the open key.
    void SetRootKey(HKEY root);
    const QString& CurrentPath() const { return m_currentPath; }
    bool HasCurrentKey() const { return m_keyOpen; }

    // key is relative to the open key, or absolute when it starts with a backslash. False when the key
    // does not exist and may not be created (or the root is unknown).
    bool OpenKey(const QString& key, bool canCreate);
    bool OpenKeyReadOnly(const QString& key);
    void CloseKey();
    bool CreateKey(const QString& key);
    bool DeleteKey(const QString& key);
    bool KeyExists(const QString& key) const;

    bool ValueExists(const QString& name) const;
    QStringList GetValueNames() const;
    QStringList GetKeyNames() const;
    TRegDataType GetDataType(const QString& name) const;
    // -1 when the value does not exist.
    int GetDataSize(const QString& name) const;
    bool GetDataInfo(const QString& name, TRegDataInfo& info) const;

    // A missing value reads as the empty text; a value that is not text fails with "Invalid data type".
    QString ReadString(const QString& name) const;
    // A missing value fails with "Failed to get data", a value of another type with "Invalid data type".
    int32_t ReadInteger(const QString& name) const;
    bool ReadBool(const QString& name) const { return ReadInteger(name) != 0; }
    // Binary (or untyped) values only; a missing one fails with "Failed to get data".
    QByteArray ReadBinaryData(const QString& name) const;

    // Every write fails with "Failed to set data" when no key is open, the key was opened read-only,
    // the key has gone, or the store cannot be written.
    void WriteString(const QString& name, const QString& value);
    void WriteExpandString(const QString& name, const QString& value);
    void WriteInteger(const QString& name, int32_t value);
    void WriteBool(const QString& name, bool value) { WriteInteger(name, value ? 1 : 0); }
    void WriteBinaryData(const QString& name, const QByteArray& value);
    bool DeleteValue(const QString& name);

    // Groups changes into one write: BeginUpdate takes the store's lock and reads it once; the
    // operations up to the matching EndUpdate work on that content, and EndUpdate writes it back
    // atomically (failing with "Failed to set data" for the last value named when it cannot). Changes
    // of an update that is never ended are dropped when the registry object goes away. Calls nest.
    void BeginUpdate();
    void EndUpdate();
    // Reads the store once (under a shared lock, released at once); the reads up to the matching
    // EndRead work on that content, and every write in between fails with "Failed to set data".
    // Nests like an update; inside an update it only counts.
    void BeginRead();
    void EndRead() { EndUpdate(); }

private:
    struct TBatch;
    void Begin(bool forChange);
    // The content reads work on: the update's, or else the store read afresh into scratch.
    const TRegistryData& Snapshot(TRegistryData& scratch) const;
    template <class F> bool Change(const QString& name, F&& change);
    QString Resolve(const QString& key) const;
    void WriteValue(const QString& name, TRegDataType type, const QByteArray& data);
    std::optional<TRegistryData::TValue> LoadValue(const QString& name) const;

    HKEY m_root = HKEY_CURRENT_USER;
    QString m_currentPath;
    bool m_keyOpen = false;
    bool m_readOnly = false;
    std::unique_ptr<TBatch> m_batch;
};

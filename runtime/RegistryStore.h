#pragma once

// Pieces the settings store's files share: the bounds of the file form, the store file with its lock,
// and the checks every form applies to names and paths.

#include "runtime/Registry.h"

#include <QLoggingCategory>

#include <memory>
#include <thread>

Q_DECLARE_LOGGING_CATEGORY(lcRegistry)

namespace regstore {

// Bounds of the file form: a store larger than this is not read at all, and no single name or datum
// may exceed its bound (the operating system's registry has similar limits).
constexpr qint64 kMaxStoreBytes = 64 * 1024 * 1024;
constexpr uint32_t kMaxNameBytes = 16 * 1024;
constexpr uint32_t kMaxDataBytes = 16 * 1024 * 1024;

// Length of the well-formed UTF-8 sequence at i, 0 when the bytes there are none.
int Utf8SequenceLength(const QByteArray& b, qsizetype i);

inline bool HasControl(const QString& text) {
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

// Holds a flock on the store's lock file for the lifetime of the object. A thread that already holds the
// exclusive lock (through another registry object's update) would wait for itself: it gets the shared
// lock as held (nobody else can write meanwhile) and the exclusive one as refused, never a hang.
class TStoreLock {
public:
    TStoreLock(const QString& lockFile, bool exclusive);
    ~TStoreLock();
    TStoreLock(const TStoreLock&) = delete;
    TStoreLock& operator=(const TStoreLock&) = delete;
    bool Locked() const { return m_locked; }

private:
    int m_fd = -1;
    bool m_locked = false;
    bool m_counted = false; // counted as this thread's exclusive lock
    std::thread::id m_thread;
};

enum class TLoadResult { lrMissing, lrOk, lrGarbled, lrUnreadable };

// Reads the file at path into data; why (when given) receives the reason it could not be used.
TLoadResult ReadStoreFile(const QString& path, TRegistryData& data, QString* why = nullptr);
// Writes the content atomically (the caller holds the lock): a temporary file beside the store (or
// beside the file a symbolic link names, so the link stays), synced, renamed over it, then the folder
// synced. A new store is private to the user; an existing one keeps its mode. False when it cannot be
// written, or when it would be larger than the reader takes.
bool WriteStoreFile(const QString& path, const TRegistryData& data);
// Reads the store for reading only, converting a binary store of an earlier version first.
TRegistryData LoadStore();
// Takes the exclusive lock and reads the current content for a change; nullptr when the store's folder
// cannot be made or locked, or the store exists but cannot be read (it must not be written over). A
// garbled store is kept aside before it is replaced.
std::unique_ptr<TStoreLock> LockForChange(const QString& path, TRegistryData& data);

// Runs change on the current content under the exclusive lock and writes the result back atomically.
// change returns false when it changed nothing. Returns false when the store could not be written.
template <class F> bool ModifyStore(F&& change) {
    const QString path = RegistryStorePath();
    TRegistryData data;
    auto lock = LockForChange(path, data);
    if (!lock)
        return false;
    if (!change(data))
        return true;
    return WriteStoreFile(path, data);
}

} // namespace regstore

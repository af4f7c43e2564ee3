#include "console/SessionLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>

#include <algorithm>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr int kFileNotFound = 2;
constexpr int kInvalidFileName = 3;
constexpr int kTooManyOpenFiles = 4;
constexpr int kAccessDenied = 5;
constexpr int kDiskFull = 101;

} // namespace

EInOutError::EInOutError(int errorCode, const QString& path, int systemError)
    : Exception(MessageFor(errorCode)), m_errorCode(errorCode), m_path(path), m_systemError(systemError) {}

EInOutError EInOutError::For(int err, const QString& path) {
    return EInOutError(FromErrno(err, path), path, err);
}

QString EInOutError::MessageFor(int errorCode) {
    switch (errorCode) {
    case kFileNotFound:
        return QStringLiteral("File not found");
    case kInvalidFileName:
        return QStringLiteral("Invalid filename");
    case kTooManyOpenFiles:
        return QStringLiteral("Too many open files");
    case kAccessDenied:
        return QStringLiteral("File access denied");
    case kDiskFull:
        return QStringLiteral("Disk full");
    default:
        return QStringLiteral("I/O error %1").arg(errorCode);
    }
}

int EInOutError::FromErrno(int err, const QString& path) {
    switch (err) {
    case ENOENT:
        // A missing folder is a bad name; a missing file (when one was to be read) is not found.
        return QFileInfo(path).absoluteDir().exists() ? kFileNotFound : kInvalidFileName;
    case ENOTDIR:
    case ENAMETOOLONG:
    case EINVAL:
        return kInvalidFileName;
    case EMFILE:
    case ENFILE:
        return kTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY:
        return kAccessDenied;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return kDiskFull;
    default:
        return err;
    }
}

QString ProposedLogFileName(const QDateTime& now) {
    const QDate d = now.date();
    const QTime t = now.time();
    return QStringLiteral("Terminal log %1.%2.%3 %4 %5.txt")
        .arg(d.day())
        .arg(d.month())
        .arg(d.year())
        .arg(t.hour())
        .arg(t.minute());
}

TLogFileWriter::TLogFileWriter(const QString& path) : m_path(path) {
    const QByteArray native = QFile::encodeName(path);
    if (native.isEmpty())
        throw EInOutError(kInvalidFileName, path, ENOENT);
    m_fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (m_fd < 0)
        throw EInOutError::For(errno, path);
}

TLogFileWriter::~TLogFileWriter() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void TLogFileWriter::Write(const QByteArray& bytes) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EInOutError::For(n < 0 ? errno : ENOSPC, m_path);
        done += n;
    }
}

void TLogFileWriter::Close() {
    const int fd = m_fd;
    m_fd = -1;
    if (::close(fd) != 0)
        throw EInOutError::For(errno, m_path);
}

void WriteLogFile(const QString& path, const QByteArray& bytes) {
    TLogFileWriter writer(path);
    writer.Write(bytes);
    writer.Close();
}

void WriteLogFile(const QString& path, const TSessionLog& log) {
    TLogFileWriter writer(path);
    log.ForEachPiece([&](const QByteArray& piece) { writer.Write(piece); });
    writer.Close();
}

// ---- the session log ----

TSessionLog::TBlock::TBlock() {
    // Mapped twice the size and cut to an aligned block, so that it can be backed by huge pages.
    const size_t size = size_t(kMemoryBlock);
    void* mapped = ::mmap(nullptr, 2 * size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapped == MAP_FAILED)
        throw std::bad_alloc();
    const uintptr_t start = reinterpret_cast<uintptr_t>(mapped);
    const uintptr_t aligned = (start + size - 1) & ~uintptr_t(size - 1);
    if (aligned > start)
        ::munmap(mapped, aligned - start);
    if (const uintptr_t end = start + 2 * size; end > aligned + size)
        ::munmap(reinterpret_cast<void*>(aligned + size), end - aligned - size);
    Data = reinterpret_cast<char*>(aligned);
    // Only advice: where the system offers no huge pages the block has ordinary ones.
    ::madvise(Data, size, MADV_HUGEPAGE);
}

TSessionLog::TBlock::~TBlock() {
    if (Data)
        ::munmap(Data, size_t(kMemoryBlock));
}

TSessionLog::TSessionLog(qint64 memoryLimit) : m_memoryLimit(std::max<qint64>(0, memoryLimit)) {}

TSessionLog::~TSessionLog() = default;

TSessionLog& TSessionLog::operator=(const QByteArray& bytes) {
    clear();
    append(bytes);
    return *this;
}

void TSessionLog::KeepStage() {
    const int count = m_staged;
    m_staged = 0;
    KeepBytes(m_stage.data(), count);
}

void TSessionLog::AppendToFullStage(char ch) {
    KeepStage();
    m_stage[m_staged++] = ch;
    FlushPendingIfFull();
}

void TSessionLog::append(const char* data, qint64 count) {
    KeepStage();
    KeepBytes(data, count);
    FlushPendingIfFull();
}

void TSessionLog::KeepBytes(const char* data, qint64 count) {
    if (count <= 0)
        return;
    qint64 inMemory = std::min<qint64>(MemoryRoom(), count);
    count -= inMemory;
    while (inMemory > 0) {
        if (m_memory.empty() || m_memory.back().Size == kMemoryBlock) {
            try {
                m_memory.emplace_back();
            } catch (const std::bad_alloc&) {
                // No room for another block: the memory part ends here, the rest goes to the file.
                count += inMemory;
                break;
            }
        }
        TBlock& block = m_memory.back();
        const qsizetype n = qsizetype(std::min<qint64>(inMemory, kMemoryBlock - block.Size));
        std::memcpy(block.Data + block.Size, data, size_t(n));
        block.Size += n;
        data += n;
        inMemory -= n;
        m_memorySize += n;
    }
    if (count > 0)
        m_pending.append(data, qsizetype(count));
}

void TSessionLog::FlushPendingIfFull() {
    if (m_pending.size() >= kFileBlock)
        FlushPending();
}

qint64 TSessionLog::MemoryRoom() const {
    // Once anything went to the file, everything after it goes there too.
    if (m_fileSize + m_pending.size() > 0)
        return 0;
    return std::max<qint64>(0, m_memoryLimit - m_memorySize);
}

qint64 TSessionLog::SpilledSize() const {
    return m_fileSize + m_pending.size() + std::max<qint64>(0, m_staged - MemoryRoom());
}

void TSessionLog::FlushPending() {
    if (m_pending.isEmpty())
        return;
    if (!m_file) {
        auto file =
            std::make_unique<QTemporaryFile>(QDir::tempPath() + QStringLiteral("/corvantel-log-XXXXXX"));
        errno = 0;
        if (!file->open())
            throw EInOutError::For(errno ? errno : EACCES, QDir::tempPath());
        m_file = std::move(file);
    }
    // The bytes stay pending when the file cannot take them: nothing is lost, the next block retries.
    errno = 0;
    if (!m_file->seek(m_fileSize) || m_file->write(m_pending) != m_pending.size() || !m_file->flush())
        throw EInOutError::For(errno ? errno : ENOSPC, m_file->fileName());
    m_fileSize += m_pending.size();
    m_pending.clear();
}

void TSessionLog::ReadFilePart(const std::function<void(const QByteArray&)>& sink) const {
    if (!m_file || m_fileSize == 0)
        return;
    constexpr qint64 kPiece = 1 << 20;
    for (qint64 at = 0; at < m_fileSize; at += kPiece)
        sink(ReadFileAt(at, std::min(kPiece, m_fileSize - at)));
}

QByteArray TSessionLog::ReadFileAt(qint64 at, qint64 count) const {
    if (!m_file->seek(at))
        throw EInOutError::For(EIO, m_file->fileName());
    QByteArray piece = m_file->read(count);
    if (piece.size() != count)
        throw EInOutError::For(EIO, m_file->fileName());
    return piece;
}

void TSessionLog::clear() {
    m_staged = 0;
    m_memory = std::vector<TBlock>(); // gives the memory back
    m_memorySize = 0;
    m_pending.clear();
    m_file.reset();
    m_fileSize = 0;
}

QByteArray TSessionLog::ReadAll() const {
    QByteArray all;
    all.reserve(qsizetype(size()));
    ForEachPiece([&](const QByteArray& piece) { all.append(piece); });
    return all;
}

QByteArray TSessionLog::Tail(qint64 count) const {
    // One read into one array (prepending part by part would copy a long tail over and over).
    const qint64 n = std::clamp<qint64>(count, 0, size());
    return Read(size() - n, n);
}

QByteArray TSessionLog::Read(qint64 pos, qint64 count) const {
    pos = std::clamp<qint64>(pos, 0, size());
    qint64 need = std::clamp<qint64>(count, 0, size() - pos);
    QByteArray out;
    out.reserve(qsizetype(need));
    auto take = [&](const char* data, qint64 partSize) {
        // `pos` is relative to the part here; what is taken moves the next part's start.
        if (need > 0 && pos < partSize) {
            const qint64 n = std::min(need, partSize - pos);
            out.append(data + pos, qsizetype(n));
            need -= n;
            pos += n;
        }
        pos -= partSize;
    };
    for (const TBlock& block : m_memory)
        take(block.Data, block.Size);
    if (need > 0 && pos < m_fileSize) {
        const qint64 n = std::min(need, m_fileSize - pos);
        out.append(ReadFileAt(pos, n));
        need -= n;
        pos += n;
    }
    pos -= m_fileSize;
    take(m_pending.constData(), m_pending.size());
    take(m_stage.data(), m_staged);
    return out;
}

bool TSessionLog::operator==(const QByteArray& bytes) const {
    return size() == bytes.size() && ReadAll() == bytes;
}

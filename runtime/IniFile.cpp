#include "runtime/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSet>
#include <QStringDecoder>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

int TCustomIniFile::ReadInteger(const QString& section, const QString& key, int defaultValue) {
    QString text = ReadString(section, key, QString()).trimmed();
    if (text.isEmpty())
        return defaultValue;
    bool ok = false;
    int value;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        value = text.mid(2).toInt(&ok, 16);
    else
        value = text.toInt(&ok, 10);
    return ok ? value : defaultValue;
}

void TCustomIniFile::WriteInteger(const QString& section, const QString& key, int value) {
    WriteString(section, key, QString::number(value));
}

bool TCustomIniFile::ReadBool(const QString& section, const QString& key, bool defaultValue) {
    return ReadInteger(section, key, defaultValue ? 1 : 0) != 0;
}

void TCustomIniFile::WriteBool(const QString& section, const QString& key, bool value) {
    WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

namespace {

// A file larger than this is not read (it reads as empty and is never written over), and no change may
// make the file larger.
constexpr qint64 kMaxFileBytes = 64 * 1024 * 1024;

bool IsBlank(QChar c) {
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

QString Trimmed(QStringView text) {
    qsizetype b = 0, e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    return text.mid(b, e - b).toString();
}

// A line as text: UTF-8, or Latin-1 when its bytes are not UTF-8.
QString Decode(const QByteArray& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(bytes);
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

// Text that survives the trip to UTF-8 and back (no lone surrogate).
bool IsValidUnicode(const QString& text) {
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            ++i;
        else if (text[i].isSurrogate())
            return false;
    }
    return true;
}

// Where the "]" of a header that ends in a comment stands ("[name] ; note"); 0 when the line is none.
qsizetype HeaderEnd(const QString& t) {
    if (!t.startsWith(QLatin1Char('[')))
        return 0;
    for (qsizetype i = t.indexOf(QLatin1Char(']')); i > 0; i = t.indexOf(QLatin1Char(']'), i + 1)) {
        qsizetype j = i + 1;
        while (j < t.size() && IsBlank(t[j]))
            ++j;
        if (j < t.size() && (t[j] == QLatin1Char(';') || t[j] == QLatin1Char('#')))
            return i;
    }
    return 0;
}

// A name the reader finds again exactly as it was written.
bool IsStorableName(const QString& name) {
    return !name.contains(QLatin1Char('\n')) && !name.contains(QLatin1Char('\r')) &&
           (name.isEmpty() || (!IsBlank(name.front()) && !IsBlank(name.back()))) && IsValidUnicode(name);
}

// A section name whose header is read back as that name (a "]" followed by a comment would end it).
bool IsStorableSection(const QString& section) {
    return IsStorableName(section) && HeaderEnd(QLatin1Char('[') + section + QLatin1Char(']')) == 0;
}

bool IsStorableKey(const QString& key) {
    return !key.isEmpty() && IsStorableName(key) && !key.contains(QLatin1Char('=')) &&
           !key.startsWith(QLatin1Char(';')) && !key.startsWith(QLatin1Char('#')) &&
           !key.startsWith(QLatin1Char('['));
}

// Holds an exclusive flock on "<file>.lock" for the lifetime of the object. The lock file stays: the
// lock goes with the process, so a writer that dies leaves nothing stale, and taking it writes nothing
// to the disk. A writer that keeps it longer than ten seconds makes the change fail.
class TWriteLock {
public:
    explicit TWriteLock(const QString& fileName) {
        constexpr auto kPatience = std::chrono::seconds(10);
        m_fd = ::open(QFile::encodeName(fileName + QStringLiteral(".lock")).constData(),
                      O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (m_fd < 0)
            return;
        const auto deadline = std::chrono::steady_clock::now() + kPatience;
        while (::flock(m_fd, LOCK_EX | LOCK_NB) != 0) {
            if ((errno != EWOULDBLOCK && errno != EINTR) || std::chrono::steady_clock::now() > deadline)
                return;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        m_locked = true;
    }
    ~TWriteLock() {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    TWriteLock(const TWriteLock&) = delete;
    TWriteLock& operator=(const TWriteLock&) = delete;
    bool Locked() const { return m_locked; }

private:
    int m_fd = -1;
    bool m_locked = false;
};

enum class TLineKind { lkOther, lkBlank, lkComment, lkSection, lkEntry };

struct TLine {
    QByteArray Bytes; // as in the file, without the line end
    QByteArray End;   // "\n", "\r\n", or empty for a last line without one
    TLineKind Kind = TLineKind::lkOther;
    QString Name; // of a section or a key

    TLine(QByteArray bytes, QByteArray end) : Bytes(std::move(bytes)), End(std::move(end)) {
        const QString text = Decode(Bytes);
        const QString t = Trimmed(text);
        if (t.isEmpty()) {
            Kind = TLineKind::lkBlank;
        } else if (t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'))) {
            Kind = TLineKind::lkComment;
        } else if (const qsizetype close = HeaderEnd(t); close > 0) {
            Kind = TLineKind::lkSection; // "[name] ; note": the comment may hold brackets too
            Name = Trimmed(QStringView(t).mid(1, close - 1));
        } else if (t.startsWith(QLatin1Char('[')) && t.endsWith(QLatin1Char(']')) && t.size() >= 2) {
            Kind = TLineKind::lkSection;
            Name = Trimmed(QStringView(t).mid(1, t.size() - 2));
        } else if (const qsizetype eq = text.indexOf(QLatin1Char('=')); eq >= 0) {
            Name = Trimmed(QStringView(text).left(eq));
            if (!Name.isEmpty())
                Kind = TLineKind::lkEntry;
        }
    }

    QString Value() const {
        const QString text = Decode(Bytes);
        return Trimmed(QStringView(text).mid(text.indexOf(QLatin1Char('=')) + 1));
    }
};

} // namespace

// The file as lines, with the blocks of sections and the places of keys found on demand.
struct TIniFile::TLines {
    QByteArray FileBytes; // the file as it was read or written
    QByteArray Bom;
    std::vector<TLine> Lines;

    explicit TLines(QByteArray bytes) : FileBytes(std::move(bytes)) {
        QByteArrayView rest(FileBytes);
        if (rest.startsWith("\xEF\xBB\xBF")) {
            Bom = rest.first(3).toByteArray();
            rest = rest.sliced(3);
        }
        while (!rest.isEmpty()) {
            const qsizetype nl = rest.indexOf('\n');
            QByteArrayView line = nl < 0 ? rest : rest.first(nl);
            const qsizetype endSize = nl < 0 ? 0 : line.endsWith('\r') ? 2 : 1;
            line.chop(endSize - (nl < 0 ? 0 : 1));
            Lines.emplace_back(line.toByteArray(), rest.sliced(line.size(), endSize).toByteArray());
            rest = rest.sliced(line.size() + endSize);
        }
    }

    // The blocks of a section as [first line after the header, end) pairs, in file order. The end
    // leaves out the comments directly above the next header, which belong to it. The lines before
    // the first header are a block of the section "".
    std::vector<std::pair<size_t, size_t>> Blocks(const QString& section) const {
        std::vector<std::pair<size_t, size_t>> blocks;
        bool inside = section.isEmpty();
        size_t begin = 0;
        const auto close = [&](size_t end) {
            size_t own = end;
            if (end < Lines.size())
                while (own > begin && Lines[own - 1].Kind == TLineKind::lkComment)
                    --own;
            blocks.emplace_back(begin, own);
        };
        for (size_t i = 0; i < Lines.size(); ++i) {
            if (Lines[i].Kind != TLineKind::lkSection)
                continue;
            if (inside)
                close(i);
            inside = Lines[i].Name == section;
            begin = i + 1;
        }
        if (inside)
            close(Lines.size());
        return blocks;
    }

    // The first line of the key in the section; -1 when there is none.
    qsizetype Find(const QString& section, const QString& key) const {
        for (const auto& [begin, end] : Blocks(section))
            for (size_t i = begin; i < end; ++i)
                if (Lines[i].Kind == TLineKind::lkEntry && Lines[i].Name == key)
                    return qsizetype(i);
        return -1;
    }

    QByteArray LineEnd() const {
        for (const TLine& line : Lines)
            if (!line.End.isEmpty())
                return line.End;
        return QByteArrayLiteral("\n");
    }

    void Insert(size_t at, const QString& text) {
        const QByteArray end = LineEnd();
        if (at == Lines.size() && at > 0 && Lines.back().End.isEmpty())
            Lines.back().End = end;
        Lines.emplace(Lines.begin() + qsizetype(at), text.toUtf8(), end);
    }

    // Keeps only the lines for which keep(index) holds.
    template <class P> bool KeepOnly(P&& keep) {
        std::vector<TLine> kept;
        kept.reserve(Lines.size());
        for (size_t i = 0; i < Lines.size(); ++i)
            if (keep(i))
                kept.push_back(std::move(Lines[i]));
        const bool changed = kept.size() != Lines.size();
        Lines = std::move(kept);
        return changed;
    }

    QByteArray Bytes() const {
        qsizetype size = Bom.size();
        for (const TLine& line : Lines)
            size += line.Bytes.size() + line.End.size();
        QByteArray out;
        out.reserve(size);
        out += Bom;
        for (const TLine& line : Lines)
            out.append(line.Bytes).append(line.End);
        return out;
    }
};

TIniFile::TIniFile(const QString& fileName) : TCustomIniFile(fileName) {}

TIniFile::~TIniFile() = default;

void TIniFile::Fail() const {
    throw EIniFileException(QStringLiteral("Unable to write to %1").arg(FileName()));
}

TIniFile::TLines* TIniFile::Load() {
    QFile file(FileName());
    QByteArray bytes;
    if (file.exists()) {
        // A pipe would wait for a writer and a device may never end: only a plain file is read.
        if (!QFileInfo(FileName()).isFile() || !file.open(QIODevice::ReadOnly) || file.size() > kMaxFileBytes)
            return nullptr;
        bytes = file.readAll();
        if (file.error() != QFileDevice::NoError || bytes.size() > kMaxFileBytes)
            return nullptr;
    }
    // Parsing is what costs; reading and comparing the bytes is cheap next to the write that follows.
    if (!m_lines || m_lines->FileBytes != bytes)
        m_lines = std::make_unique<TLines>(std::move(bytes));
    return m_lines.get();
}

template <class F> void TIniFile::Change(F&& change) {
    if (!QDir().mkpath(QFileInfo(FileName()).absolutePath()))
        Fail();
    const TWriteLock lock(FileName());
    if (!lock.Locked())
        Fail();
    TLines* file = Load();
    if (!file)
        Fail(); // never written over: what it holds would be lost
    if (!change(*file))
        return;
    QSaveFile out(FileName());
    QByteArray bytes = file->Bytes();
    if (bytes.size() > kMaxFileBytes || !out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() ||
        !out.commit()) {
        m_lines.reset(); // changed in memory only
        Fail();
    }
    file->FileBytes = std::move(bytes);
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) {
    const TLines* file = Load();
    const qsizetype at = file ? file->Find(section, key) : -1;
    return at < 0 ? defaultValue : file->Lines[size_t(at)].Value();
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')) || !IsStorableKey(key) ||
        !IsStorableSection(section))
        Fail();
    Change([&](TLines& file) {
        const QString line = key + QLatin1Char('=') + value;
        if (const qsizetype at = file.Find(section, key); at >= 0) {
            TLine& old = file.Lines[size_t(at)];
            if (old.Value() == value)
                return false;
            old = TLine(line.toUtf8(), old.End);
            return true;
        }
        const auto blocks = file.Blocks(section);
        if (blocks.empty()) {
            if (!file.Lines.empty() && file.Lines.back().Kind != TLineKind::lkBlank)
                file.Insert(file.Lines.size(), QString());
            file.Insert(file.Lines.size(), QLatin1Char('[') + section + QLatin1Char(']'));
            file.Insert(file.Lines.size(), line);
            return true;
        }
        // After the first block's last line that is not blank.
        auto [begin, end] = blocks.front();
        while (end > begin && file.Lines[end - 1].Kind == TLineKind::lkBlank)
            --end;
        file.Insert(end, line);
        return true;
    });
}

void TIniFile::UpdateFile() {}

bool TIniFile::SectionExists(const QString& section) {
    return !ReadSection(section).isEmpty();
}

bool TIniFile::ValueExists(const QString& section, const QString& key) {
    const TLines* file = Load();
    return file && file->Find(section, key) >= 0;
}

QStringList TIniFile::ReadSection(const QString& section) {
    QStringList keys;
    const TLines* file = Load();
    if (!file)
        return keys;
    QSet<QString> seen;
    for (const auto& [begin, end] : file->Blocks(section))
        for (size_t i = begin; i < end; ++i)
            if (const TLine& line = file->Lines[i];
                line.Kind == TLineKind::lkEntry && !seen.contains(line.Name)) {
                seen.insert(line.Name);
                keys.append(line.Name);
            }
    return keys;
}

QStringList TIniFile::ReadSections() {
    QStringList sections;
    const TLines* file = Load();
    if (!file)
        return sections;
    QSet<QString> seen;
    for (const TLine& line : file->Lines)
        if (line.Kind == TLineKind::lkSection && !seen.contains(line.Name)) {
            seen.insert(line.Name);
            sections.append(line.Name);
        }
    return sections;
}

void TIniFile::EraseSection(const QString& section) {
    Change([&](TLines& file) {
        std::vector<bool> erase(file.Lines.size(), false);
        for (const auto& [begin, end] : file.Blocks(section)) {
            // The header too, unless it is the part before the first section.
            const size_t from =
                begin > 0 && file.Lines[begin - 1].Kind == TLineKind::lkSection ? begin - 1 : begin;
            std::fill(erase.begin() + qsizetype(from), erase.begin() + qsizetype(end), true);
        }
        return file.KeepOnly([&](size_t i) { return !erase[i]; });
    });
}

void TIniFile::DeleteKey(const QString& section, const QString& key) {
    Change([&](TLines& file) {
        std::vector<bool> erase(file.Lines.size(), false);
        for (const auto& [begin, end] : file.Blocks(section))
            for (size_t i = begin; i < end; ++i)
                erase[i] = file.Lines[i].Kind == TLineKind::lkEntry && file.Lines[i].Name == key;
        return file.KeepOnly([&](size_t i) { return !erase[i]; });
    });
}

#include "runtime/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <optional>
#include <utility>

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

QString Trimmed(QStringView text) {
    qsizetype b = 0, e = text.size();
    while (b < e && (text[b] == QLatin1Char(' ') || text[b] == QLatin1Char('\t')))
        ++b;
    while (e > b && (text[e - 1] == QLatin1Char(' ') || text[e - 1] == QLatin1Char('\t')))
        --e;
    return text.mid(b, e - b).toString();
}

bool IsComment(const QString& line) {
    const QString t = Trimmed(line);
    return t.startsWith(QLatin1Char(';')) || t.startsWith(QLatin1Char('#'));
}

// The section a line starts, if it is a section line.
std::optional<QString> SectionOf(const QString& line) {
    const QString t = Trimmed(line);
    if (!t.startsWith(QLatin1Char('[')) || !t.endsWith(QLatin1Char(']')) || t.size() < 2)
        return std::nullopt;
    return Trimmed(QStringView(t).mid(1, t.size() - 2));
}

// The key and value of a "key=value" line.
std::optional<std::pair<QString, QString>> EntryOf(const QString& line) {
    if (IsComment(line))
        return std::nullopt;
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq < 0)
        return std::nullopt;
    const QString key = Trimmed(QStringView(line).left(eq));
    if (key.isEmpty())
        return std::nullopt;
    return std::make_pair(key, Trimmed(QStringView(line).mid(eq + 1)));
}

} // namespace

// The file as lines, with the places of sections and keys found on demand.
struct TIniFile::TLines {
    QStringList Lines;
    bool Unreadable = false;

    explicit TLines(const QString& fileName) {
        QFile file(fileName);
        if (!file.exists())
            return;
        if (!file.open(QIODevice::ReadOnly)) {
            Unreadable = true;
            return;
        }
        QByteArray bytes = file.readAll();
        if (file.error() != QFileDevice::NoError) {
            Unreadable = true;
            return;
        }
        if (bytes.startsWith("\xEF\xBB\xBF"))
            bytes.remove(0, 3);
        Lines = QString::fromUtf8(bytes).split(QLatin1Char('\n'));
        if (!Lines.isEmpty() && Lines.last().isEmpty())
            Lines.removeLast(); // the final line end
        for (QString& line : Lines)
            if (line.endsWith(QLatin1Char('\r')))
                line.chop(1);
    }

    // The range of lines of a section: [first line after its header, end). Keys before any section
    // are the section "". Empty when the section is absent.
    std::pair<qsizetype, qsizetype> Range(const QString& section) const {
        qsizetype begin = -1;
        if (section.isEmpty())
            begin = 0;
        for (qsizetype i = 0; i < Lines.size(); ++i) {
            if (auto name = SectionOf(Lines[i])) {
                if (begin >= 0)
                    return {begin, i};
                if (*name == section)
                    begin = i + 1;
            }
        }
        return begin >= 0 ? std::make_pair(begin, Lines.size())
                          : std::make_pair(qsizetype(-1), qsizetype(-1));
    }

    qsizetype Find(const QString& section, const QString& key) const {
        const auto [begin, end] = Range(section);
        for (qsizetype i = begin; i >= 0 && i < end; ++i)
            if (auto entry = EntryOf(Lines[i]); entry && entry->first == key)
                return i;
        return -1;
    }

    QByteArray Bytes() const {
        QByteArray out;
        for (const QString& line : Lines)
            out += line.toUtf8() + '\n';
        return out;
    }
};

TIniFile::TIniFile(const QString& fileName) : TCustomIniFile(fileName) {}

TIniFile::~TIniFile() = default;

template <class F> void TIniFile::Change(F&& change) {
    const auto fail = [this] {
        throw EIniFileException(QStringLiteral("Unable to write to %1").arg(FileName()));
    };
    const QFileInfo info(FileName());
    if (!QDir().mkpath(info.absolutePath()))
        fail();
    QLockFile lock(FileName() + QStringLiteral(".lock"));
    if (!lock.lock())
        fail();
    TLines file(FileName());
    if (file.Unreadable)
        fail(); // never written over: what it holds would be lost
    if (!change(file))
        return;
    QSaveFile out(FileName());
    const QByteArray bytes = file.Bytes();
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes) != bytes.size() || !out.commit())
        fail();
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) {
    const TLines file(FileName());
    const qsizetype at = file.Find(section, key);
    return at < 0 ? defaultValue : EntryOf(file.Lines[at])->second;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    if (value.contains(QLatin1Char('\n')) || value.contains(QLatin1Char('\r')) ||
        key.contains(QLatin1Char('=')) || key.contains(QLatin1Char('\n')) ||
        section.contains(QLatin1Char('\n')))
        throw EIniFileException(QStringLiteral("Unable to write to %1").arg(FileName()));
    Change([&](TLines& file) {
        const QString line = key + QLatin1Char('=') + value;
        if (const qsizetype at = file.Find(section, key); at >= 0) {
            if (file.Lines[at] == line)
                return false;
            file.Lines[at] = line;
            return true;
        }
        auto [begin, end] = file.Range(section);
        if (begin < 0) {
            if (!file.Lines.isEmpty() && !Trimmed(file.Lines.last()).isEmpty())
                file.Lines.append(QString());
            file.Lines.append(QLatin1Char('[') + section + QLatin1Char(']'));
            file.Lines.append(line);
            return true;
        }
        // After the section's last line that is not blank.
        while (end > begin && Trimmed(file.Lines[end - 1]).isEmpty())
            --end;
        file.Lines.insert(end, line);
        return true;
    });
}

void TIniFile::UpdateFile() {}

bool TIniFile::SectionExists(const QString& section) {
    return !ReadSection(section).isEmpty();
}

bool TIniFile::ValueExists(const QString& section, const QString& key) {
    return TLines(FileName()).Find(section, key) >= 0;
}

QStringList TIniFile::ReadSection(const QString& section) {
    const TLines file(FileName());
    const auto [begin, end] = file.Range(section);
    QStringList keys;
    for (qsizetype i = begin; i >= 0 && i < end; ++i)
        if (auto entry = EntryOf(file.Lines[i]); entry && !keys.contains(entry->first))
            keys.append(entry->first);
    return keys;
}

QStringList TIniFile::ReadSections() {
    QStringList sections;
    for (const QString& line : TLines(FileName()).Lines)
        if (auto name = SectionOf(line); name && !sections.contains(*name))
            sections.append(*name);
    return sections;
}

void TIniFile::EraseSection(const QString& section) {
    Change([&](TLines& file) {
        const auto [begin, end] = file.Range(section);
        if (begin < 0)
            return false;
        // The header too, unless it is the part before the first section.
        const qsizetype from = section.isEmpty() ? begin : begin - 1;
        file.Lines.erase(file.Lines.begin() + from, file.Lines.begin() + end);
        return true;
    });
}

void TIniFile::DeleteKey(const QString& section, const QString& key) {
    Change([&](TLines& file) {
        const qsizetype at = file.Find(section, key);
        if (at < 0)
            return false;
        file.Lines.removeAt(at);
        return true;
    });
}

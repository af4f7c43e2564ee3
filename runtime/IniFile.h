#pragma once

#include "runtime/Exception.h"

#include <QString>
#include <QStringList>

#include <memory>

// Raised when an INI-style store cannot be written.
class EIniFileException : public Exception {
public:
    using Exception::Exception;
};

// An INI-style settings store: text and integer values by section and key. The four virtual operations
// keep this order; the rest are conveniences built on them.
class TCustomIniFile {
public:
    explicit TCustomIniFile(QString fileName) : m_fileName(std::move(fileName)) {}
    virtual ~TCustomIniFile() = default;
    TCustomIniFile(const TCustomIniFile&) = delete;
    TCustomIniFile& operator=(const TCustomIniFile&) = delete;

    virtual QString ReadString(const QString& section, const QString& key, const QString& defaultValue) = 0;
    virtual void WriteString(const QString& section, const QString& key, const QString& value) = 0;
    // A missing key or a text that is no decimal (or 0x hexadecimal) 32-bit number gives the default.
    virtual int ReadInteger(const QString& section, const QString& key, int defaultValue);
    virtual void WriteInteger(const QString& section, const QString& key, int value);

    bool ReadBool(const QString& section, const QString& key, bool defaultValue);
    void WriteBool(const QString& section, const QString& key, bool value);
    const QString& FileName() const { return m_fileName; }

private:
    QString m_fileName;
};

// The INI-style store on a plain "key=value" text file. Value text is read and written verbatim: commas,
// semicolons, quotes and backslashes are ordinary characters (only blanks around the key and the value
// are not part of them). "[name]" starts a section, any name (also "General"), and may end in a comment
// ("[name] ; note"); keys before the first section belong to the section named "". A section may appear in
// several blocks: they read as one, in file order. Lines starting with ";" or "#" are comments; comments
// directly above a header belong to that header: a new key of the section above goes before them, and erasing
// that section keeps them. A key that appears twice reads as its first; DeleteKey and EraseSection remove
// every copy. Section and key names are case-sensitive.
//
// Lines are UTF-8; a line that is not (a file from an older editor) reads as Latin-1. A change rewrites
// only the lines it must: every other byte (line ends, byte order mark, lines in other encodings) stays
// as it was, and new lines take the file's line end. Every change reaches the file at once, atomically
// (temporary file, rename) under an flock on "<file>.lock"; a file that cannot be written, or that
// exists but cannot be read, fails with "Unable to write to <file>". So does a name that could never be
// found again (empty, blanks at either end, a line break, a key with "=" or starting with ";", "#" or
// "[", text that is not valid Unicode) and a value holding a line break.
//
// The parsed file is kept between operations and used again while the file holds the same bytes as when
// it was last read or written, so a change by another writer is always seen. One object serves one
// thread at a time. A file over 64 MiB is not read (it reads as empty and every change fails), and a
// change that would make the file larger fails.
class TIniFile : public TCustomIniFile {
public:
    explicit TIniFile(const QString& fileName);
    ~TIniFile() override;

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) override;
    void WriteString(const QString& section, const QString& key, const QString& value) override;

    bool SectionExists(const QString& section);
    bool ValueExists(const QString& section, const QString& key);
    QStringList ReadSection(const QString& section);
    QStringList ReadSections();
    void EraseSection(const QString& section);
    void DeleteKey(const QString& section, const QString& key);
    // Every change is written at once: nothing is pending.
    void UpdateFile();

private:
    struct TLines;
    // The file's content as it is now; nullptr when it exists but cannot be read.
    TLines* Load();
    template <class F> void Change(F&& change);
    [[noreturn]] void Fail() const;
    std::unique_ptr<TLines> m_lines;
};

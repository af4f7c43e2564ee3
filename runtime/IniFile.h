#pragma once

#include "runtime/Exception.h"

#include <QString>
#include <QStringList>

#include <memory>

class QSettings;

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

// The INI-style store on a file, through QSettings' INI format. Every write reaches the file at once
// (QSettings writes atomically under its own lock file); a file that cannot be written fails with
// "Unable to write to <file>". Section and key names are case-sensitive, as QSettings keeps them.
// A value that QSettings reads as a list (an unquoted text with commas, written by another program)
// reads back as the original text.
class TIniFile : public TCustomIniFile {
public:
    explicit TIniFile(const QString& fileName);
    ~TIniFile() override;

    QString ReadString(const QString& section, const QString& key, const QString& defaultValue) override;
    void WriteString(const QString& section, const QString& key, const QString& value) override;

    bool SectionExists(const QString& section);
    bool ValueExists(const QString& section, const QString& key);
    QStringList ReadSection(const QString& section);
    void EraseSection(const QString& section);
    void DeleteKey(const QString& section, const QString& key);
    // Writes pending changes; fails like a write.
    void UpdateFile();

private:
    QString Key(const QString& section, const QString& key) const;
    std::unique_ptr<QSettings> m_settings;
};

#include "runtime/IniFile.h"

#include <QSettings>

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

TIniFile::TIniFile(const QString& fileName)
    : TCustomIniFile(fileName), m_settings(std::make_unique<QSettings>(fileName, QSettings::IniFormat)) {}

TIniFile::~TIniFile() {
    // Every write was synced already; nothing may leave a destructor.
}

QString TIniFile::Key(const QString& section, const QString& key) const {
    // QSettings puts keys without a group under [General]; an explicit section keeps its own name.
    return section + QLatin1Char('/') + key;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& defaultValue) {
    const QVariant value = m_settings->value(Key(section, key));
    if (!value.isValid())
        return defaultValue;
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
    m_settings->setValue(Key(section, key), value);
    UpdateFile();
}

void TIniFile::UpdateFile() {
    m_settings->sync();
    if (m_settings->status() != QSettings::NoError)
        throw EIniFileException(QStringLiteral("Unable to write to %1").arg(FileName()));
}

bool TIniFile::SectionExists(const QString& section) {
    return !ReadSection(section).isEmpty();
}

bool TIniFile::ValueExists(const QString& section, const QString& key) {
    return m_settings->contains(Key(section, key));
}

QStringList TIniFile::ReadSection(const QString& section) {
    m_settings->beginGroup(section);
    QStringList keys = m_settings->childKeys();
    m_settings->endGroup();
    return keys;
}

void TIniFile::EraseSection(const QString& section) {
    m_settings->remove(section);
    UpdateFile();
}

void TIniFile::DeleteKey(const QString& section, const QString& key) {
    m_settings->remove(Key(section, key));
    UpdateFile();
}

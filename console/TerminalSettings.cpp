#include "console/TerminalSettings.h"

#include "controls/TermHistory.h"
#include "runtime/Registry.h"

#include <algorithm>
#include <optional>

namespace {

std::optional<QString> ReadValue(const QString& key, const QString& name) {
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        if (!reg.OpenKeyReadOnly(key) || !reg.ValueExists(name))
            return std::nullopt;
        return reg.ReadString(name);
    } catch (const ERegistryException&) {
        return std::nullopt;
    }
}

} // namespace

namespace TerminalSettings {

int HistoryLines(const QString& key) {
    const std::optional<QString> value = ReadValue(key, QStringLiteral("HistoryLines"));
    if (!value)
        return kDefaultHistoryLines;
    bool ok = false;
    const qlonglong lines = value->trimmed().toLongLong(&ok);
    if (!ok || lines < 0)
        return kDefaultHistoryLines;
    return int(std::min<qlonglong>(lines, TTermHistory::kMaxLines));
}

bool ShowTimes(const QString& key) {
    return ReadValue(key, QStringLiteral("ShowTimes")).value_or(QString()).trimmed() == QLatin1String("1");
}

void SetShowTimes(const QString& key, bool on) {
    try {
        TRegistry reg;
        reg.SetRootKey(HKEY_CURRENT_USER);
        if (reg.OpenKey(key, true))
            reg.WriteString(QStringLiteral("ShowTimes"), on ? QStringLiteral("1") : QStringLiteral("0"));
    } catch (const ERegistryException&) {
        // The margin still toggles; it is only not remembered.
    }
}

} // namespace TerminalSettings

#pragma once

#include <QString>

// The terminal pane's settings in the settings store, as string values of the application's key:
// `HistoryLines` (how many rows the history keeps; 0 keeps none) and `ShowTimes` ("1" shows the times
// margin). A value that is missing or cannot be read gives the default; a store that cannot be
// written keeps the old value.
namespace TerminalSettings {

constexpr int kDefaultHistoryLines = 10000;

int HistoryLines(const QString& key);
bool ShowTimes(const QString& key);
void SetShowTimes(const QString& key, bool on);

} // namespace TerminalSettings

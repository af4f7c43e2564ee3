#pragma once

#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <random>
#include <string>
#include <string_view>

// A field controller as the console sees it over the serial line: a real-time clock with its own
// weekday register, and an event log that grows with what happens at the site.
//
// Commands are single bytes and may arrive split across reads or several in one read:
//   "R"            the log, one "YYYY-MM-DD hh:mm:ss TEXT\r\n" line per entry, then "END OF LOG\r\n"
//   "O"            "TIME hh:mm:ss DATE dd.mm.yy WD w\r\n"
//   "C"            clears the log, "LOG CLEARED\r\n"
//   "t" hhmmssw    sets the time of day and the weekday, "TIME SET\r\n"
//   "d" yymmddw    sets the date (year 2000 + yy) and the weekday, "DATE SET\r\n"
// A field out of range ("t2500001", 31 February) answers "ERR\r\n" and changes nothing; so does a
// non-digit inside "t"/"d", which then counts as the next byte of the line. Every other byte (CR, LF,
// lower-case letters, noise) is ignored without an answer.
//
// The clock runs on from the value set: it is the set value plus the time elapsed since, counted on a
// steady clock (injectable for tests). The weekday register is set by "t" and "d" and turns over with
// the date, as on a real RTC chip, so it need not agree with the calendar.
class TController {
public:
    using TSteadyNow = std::function<std::chrono::steady_clock::time_point()>;
    // A controller's memory is finite: the oldest entries go first.
    static constexpr std::size_t kMaxEntries = 500;

    // `start` is the controller's clock (local civil time) now; `seed` drives the random events.
    TController(std::chrono::sys_seconds start, TSteadyNow steadyNow, unsigned seed);

    // Takes bytes from the line; returns the bytes to answer with (possibly empty).
    std::string Feed(std::string_view bytes);

    std::chrono::sys_seconds Now() const;
    int Weekday() const; // 1 = Monday ... 7 = Sunday

    // Entries as "YYYY-MM-DD hh:mm:ss TEXT", oldest first.
    const std::deque<std::string>& Entries() const { return m_entries; }
    void Log(std::chrono::sys_seconds at, std::string_view text);
    // A few entries from the hours before now (power cycle, doors, a cleared alarm).
    void AddHistory();
    // One plausible event stamped with the clock's present time; doors that were opened close again,
    // alarms and power failures are followed by their reset.
    void AddRandomEvent();

private:
    std::string HandleByte(char c);
    std::string Execute(char command, std::string_view digits);
    std::string SetTime(std::string_view digits);
    std::string SetDate(std::string_view digits);
    std::string ClockAnswer() const;
    std::string LogAnswer() const;
    void SetClock(std::chrono::sys_seconds value, int weekday);

    TSteadyNow m_steadyNow;
    std::chrono::sys_seconds m_base;
    std::chrono::steady_clock::time_point m_baseAt;
    int m_weekdayOffset = 0; // weekday register minus the calendar's weekday, modulo 7

    char m_pending = 0; // 't' or 'd' while its digits arrive
    std::string m_digits;

    std::deque<std::string> m_entries;
    std::mt19937 m_random;
    bool m_doorOpen[4] = {};
    int m_alarmZone = 0; // zone with an alarm not yet reset, 0 for none
    bool m_powerFailed = false;
};

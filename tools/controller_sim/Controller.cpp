#include "controller_sim/Controller.h"

#include <cstdio>

using namespace std::chrono;

namespace {

constexpr int kDigitsAfterCommand = 7;
constexpr std::string_view kError = "ERR\r\n";

int IsoWeekday(sys_days day) {
    return int(weekday(day).iso_encoding());
}

int Number(std::string_view digits, std::size_t at) {
    return (digits[at] - '0') * 10 + (digits[at + 1] - '0');
}

std::string FormatStamp(sys_seconds at) {
    const sys_days day = floor<days>(at);
    const year_month_day ymd(day);
    const hh_mm_ss<seconds> tod(at - day);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u %02d:%02d:%02d", int(ymd.year()), unsigned(ymd.month()),
                  unsigned(ymd.day()), int(tod.hours().count()), int(tod.minutes().count()),
                  int(tod.seconds().count()));
    return text;
}

} // namespace

TController::TController(sys_seconds start, TSteadyNow steadyNow, unsigned seed)
    : m_steadyNow(std::move(steadyNow)), m_base(start), m_baseAt(m_steadyNow()), m_random(seed) {}

sys_seconds TController::Now() const {
    return m_base + floor<seconds>(m_steadyNow() - m_baseAt);
}

int TController::Weekday() const {
    return (IsoWeekday(floor<days>(Now())) - 1 + m_weekdayOffset) % 7 + 1;
}

void TController::SetClock(sys_seconds value, int weekday) {
    m_base = value;
    m_baseAt = m_steadyNow();
    m_weekdayOffset = ((weekday - IsoWeekday(floor<days>(value))) % 7 + 7) % 7;
}

std::string TController::Feed(std::string_view bytes) {
    std::string answer;
    for (char c : bytes)
        answer += HandleByte(c);
    return answer;
}

std::string TController::HandleByte(char c) {
    if (m_pending) {
        if (c >= '0' && c <= '9') {
            m_digits += c;
            if (m_digits.size() < kDigitsAfterCommand)
                return {};
            const char command = m_pending;
            const std::string digits = std::move(m_digits);
            m_pending = 0;
            m_digits.clear();
            return Execute(command, digits);
        }
        // A broken setting command: refuse it and read the byte as the start of what follows.
        m_pending = 0;
        m_digits.clear();
        return std::string(kError) + HandleByte(c);
    }
    switch (c) {
    case 'R':
        return LogAnswer();
    case 'O':
        return ClockAnswer();
    case 'C':
        m_entries.clear();
        return "LOG CLEARED\r\n";
    case 't':
    case 'd':
        m_pending = c;
        return {};
    default:
        return {};
    }
}

std::string TController::Execute(char command, std::string_view digits) {
    return command == 't' ? SetTime(digits) : SetDate(digits);
}

std::string TController::SetTime(std::string_view digits) {
    const int hour = Number(digits, 0), minute = Number(digits, 2), second = Number(digits, 4);
    const int weekday = digits[6] - '0';
    if (hour > 23 || minute > 59 || second > 59 || weekday < 1 || weekday > 7)
        return std::string(kError);
    const sys_days day = floor<days>(Now());
    SetClock(day + hours(hour) + minutes(minute) + seconds(second), weekday);
    return "TIME SET\r\n";
}

std::string TController::SetDate(std::string_view digits) {
    const year_month_day ymd{year(2000 + Number(digits, 0)), month(unsigned(Number(digits, 2))),
                             day(unsigned(Number(digits, 4)))};
    const int weekday = digits[6] - '0';
    if (!ymd.ok() || weekday < 1 || weekday > 7)
        return std::string(kError);
    const sys_seconds now = Now();
    SetClock(sys_days(ymd) + (now - floor<days>(now)), weekday);
    return "DATE SET\r\n";
}

std::string TController::ClockAnswer() const {
    const sys_seconds now = Now();
    const sys_days day = floor<days>(now);
    const year_month_day ymd(day);
    const hh_mm_ss<seconds> tod(now - day);
    char text[48];
    std::snprintf(text, sizeof text, "TIME %02d:%02d:%02d DATE %02u.%02u.%02d WD %d\r\n",
                  int(tod.hours().count()), int(tod.minutes().count()), int(tod.seconds().count()),
                  unsigned(ymd.day()), unsigned(ymd.month()), int(ymd.year()) % 100, Weekday());
    return text;
}

std::string TController::LogAnswer() const {
    std::string answer;
    for (const std::string& entry : m_entries)
        answer += entry + "\r\n";
    return answer + "END OF LOG\r\n";
}

void TController::Log(sys_seconds at, std::string_view text) {
    if (m_entries.size() >= kMaxEntries)
        m_entries.pop_front();
    m_entries.push_back(FormatStamp(at) + ' ' + std::string(text));
}

void TController::AddHistory() {
    const sys_seconds now = Now();
    const struct {
        int secondsAgo;
        const char* text;
    } history[] = {
        {7260, "POWER FAIL"},
        {7245, "POWER RESTORED"},
        {7240, "SYSTEM START"},
        {5400, "DOOR 1 OPEN"},
        {5385, "DOOR 1 CLOSED"},
        {3300, "CARD 004711 ACCEPTED DOOR 2"},
        {3295, "DOOR 2 OPEN"},
        {3280, "DOOR 2 CLOSED"},
        {1200, "ALARM ZONE 3"},
        {1080, "ALARM ZONE 3 RESET"},
        {300, "CARD 000815 REJECTED DOOR 1"},
    };
    for (const auto& entry : history)
        Log(now - seconds(entry.secondsAgo), entry.text);
}

void TController::AddRandomEvent() {
    const auto pick = [this](int count) {
        return int(std::uniform_int_distribution<int>(0, count - 1)(m_random));
    };
    char text[64];
    // Pending consequences come first, so the log reads like a site where things get resolved.
    if (m_powerFailed && pick(2) == 0) {
        m_powerFailed = false;
        Log(Now(), "POWER RESTORED");
        return;
    }
    if (m_alarmZone && pick(3) == 0) {
        std::snprintf(text, sizeof text, "ALARM ZONE %d RESET", m_alarmZone);
        m_alarmZone = 0;
        Log(Now(), text);
        return;
    }
    const int door = pick(4);
    if (m_doorOpen[door]) {
        m_doorOpen[door] = false;
        std::snprintf(text, sizeof text, "DOOR %d CLOSED", door + 1);
        Log(Now(), text);
        return;
    }
    switch (pick(10)) {
    case 0:
    case 1:
    case 2:
        m_doorOpen[door] = true;
        std::snprintf(text, sizeof text, "DOOR %d OPEN", door + 1);
        break;
    case 3:
    case 4:
        std::snprintf(text, sizeof text, "CARD %06d ACCEPTED DOOR %d", 1 + pick(99999), door + 1);
        break;
    case 5:
        std::snprintf(text, sizeof text, "CARD %06d REJECTED DOOR %d", 1 + pick(99999), door + 1);
        break;
    case 6:
        if (m_alarmZone == 0) {
            m_alarmZone = 1 + pick(8);
            std::snprintf(text, sizeof text, "ALARM ZONE %d", m_alarmZone);
        } else {
            std::snprintf(text, sizeof text, "TAMPER ZONE %d", 1 + pick(8));
        }
        break;
    case 7:
        if (!m_powerFailed) {
            m_powerFailed = true;
            std::snprintf(text, sizeof text, "POWER FAIL");
        } else {
            std::snprintf(text, sizeof text, "BATTERY LOW");
        }
        break;
    case 8:
        std::snprintf(text, sizeof text, "TEMPERATURE %d C", 18 + pick(9));
        break;
    default:
        std::snprintf(text, sizeof text, "DOOR %d FORCED", door + 1);
        break;
    }
    Log(Now(), text);
}

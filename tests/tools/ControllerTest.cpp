#include "controller_sim/Controller.h"
#include "TextShape.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

using namespace std::chrono;

namespace {

// A controller whose steady clock only moves when the test says so.
struct TFixture {
    steady_clock::time_point now{};
    TController controller{sys_days(year(2026) / 12 / 6) + hours(14) + minutes(3) + seconds(11),
                           [this] { return now; }, 7};
};

TEST(Controller, ClockRunsOnFromTheValueSetWithItsWeekdayRegister) {
    TFixture f;
    EXPECT_EQ(f.controller.Feed("O"), "TIME 14:03:11 DATE 06.12.26 WD 7\r\n");
    f.now += milliseconds(61999);
    EXPECT_EQ(f.controller.Feed("O"), "TIME 14:04:12 DATE 06.12.26 WD 7\r\n");

    EXPECT_EQ(f.controller.Feed("d2603087"), "DATE SET\r\n"); // Sunday 8 March 2026
    EXPECT_EQ(f.controller.Feed("O"), "TIME 14:04:12 DATE 08.03.26 WD 7\r\n");
    EXPECT_EQ(f.controller.Feed("t2359587"), "TIME SET\r\n");
    f.now += seconds(1);
    EXPECT_EQ(f.controller.Feed("O"), "TIME 23:59:59 DATE 08.03.26 WD 7\r\n");
    f.now += seconds(2);
    EXPECT_EQ(f.controller.Feed("O"), "TIME 00:00:01 DATE 09.03.26 WD 1\r\n");

    // The weekday register keeps what it was told and turns over with the date.
    EXPECT_EQ(f.controller.Feed("d2602283"), "DATE SET\r\n"); // a Saturday, told Wednesday
    EXPECT_EQ(f.controller.Feed("O"), "TIME 00:00:01 DATE 28.02.26 WD 3\r\n");
    f.now += hours(24);
    EXPECT_EQ(f.controller.Feed("O"), "TIME 00:00:01 DATE 01.03.26 WD 4\r\n");
    EXPECT_EQ(f.controller.Feed("t0905031"), "TIME SET\r\n");
    EXPECT_EQ(f.controller.Feed("O"), "TIME 09:05:03 DATE 01.03.26 WD 1\r\n");
}

TEST(Controller, SettingCommandsRefuseFieldsOutOfRange) {
    const struct {
        const char* command;
        const char* answer;
    } cases[] = {
        {"t2359597", "TIME SET\r\n"}, {"t2400001", "ERR\r\n"},      {"t0960001", "ERR\r\n"},
        {"t0000601", "ERR\r\n"},      {"t0000000", "ERR\r\n"},      {"t0000008", "ERR\r\n"},
        {"d2402294", "DATE SET\r\n"}, {"d2602294", "ERR\r\n"},      {"d2604314", "ERR\r\n"},
        {"d2613014", "ERR\r\n"},      {"d2600014", "ERR\r\n"},      {"d2601004", "ERR\r\n"},
        {"d9912317", "DATE SET\r\n"}, {"d0001016", "DATE SET\r\n"}, {"d0001019", "ERR\r\n"},
    };
    for (const auto& c : cases) {
        TFixture f;
        EXPECT_EQ(f.controller.Feed(c.command), c.answer) << c.command;
        if (std::string(c.answer) == "ERR\r\n") { // nothing changed
            EXPECT_EQ(f.controller.Feed("O"), "TIME 14:03:11 DATE 06.12.26 WD 7\r\n") << c.command;
        }
    }
    TFixture f;
    f.controller.Feed("d9912317");
    EXPECT_EQ(f.controller.Feed("O"), "TIME 14:03:11 DATE 31.12.99 WD 7\r\n");
}

TEST(Controller, OtherBytesAreIgnoredAndABrokenSettingIsRefused) {
    TFixture f;
    EXPECT_EQ(f.controller.Feed(std::string("\r\n roc TD xyz\0\xff\x1b[A", 16)), "");
    // A non-digit ends a setting command and is read as what it is.
    EXPECT_EQ(f.controller.Feed("t09xO"), "ERR\r\nTIME 14:03:11 DATE 06.12.26 WD 7\r\n");
    EXPECT_EQ(f.controller.Feed("d\r"), "ERR\r\n");
    EXPECT_EQ(f.controller.Feed("tt0905031O"), "ERR\r\nTIME SET\r\nTIME 09:05:03 DATE 06.12.26 WD 1\r\n");
}

TEST(Controller, AnswersDoNotDependOnHowTheBytesAreSplit) {
    const std::string stream = "O\r\nt0905031Ox\rd2603054OCR t1d2sRz";
    TFixture whole;
    whole.controller.Log(sys_days(year(2026) / 12 / 6), "SYSTEM START");
    const std::string expected = whole.controller.Feed(stream);
    EXPECT_EQ(expected, "TIME 14:03:11 DATE 06.12.26 WD 7\r\n"
                        "TIME SET\r\nTIME 09:05:03 DATE 06.12.26 WD 1\r\n"
                        "DATE SET\r\nTIME 09:05:03 DATE 05.03.26 WD 4\r\n"
                        "LOG CLEARED\r\nEND OF LOG\r\n"
                        "ERR\r\nERR\r\nEND OF LOG\r\n");

    std::mt19937 random(1);
    for (int round = 0; round < 50; ++round) {
        TFixture split;
        split.controller.Log(sys_days(year(2026) / 12 / 6), "SYSTEM START");
        std::string answer;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n =
                round == 0 ? 1 : std::uniform_int_distribution<std::size_t>(1, stream.size() - at)(random);
            answer += split.controller.Feed(std::string_view(stream).substr(at, n));
            at += n;
        }
        EXPECT_EQ(answer, expected) << "round " << round;
    }
}

TEST(Controller, LogIsReadClearedAndBounded) {
    TFixture f;
    EXPECT_EQ(f.controller.Feed("R"), "END OF LOG\r\n");
    f.controller.AddHistory();
    const std::string log = f.controller.Feed("R");
    EXPECT_TRUE(log.starts_with("2026-12-06 12:02:11 POWER FAIL\r\n")) << log;
    EXPECT_TRUE(log.ends_with("2026-12-06 13:58:11 CARD 000815 REJECTED DOOR 1\r\nEND OF LOG\r\n")) << log;
    std::size_t lines = 0;
    for (std::size_t at = 0; log.compare(at, std::string::npos, "END OF LOG\r\n") != 0; ++lines) {
        const std::size_t end = log.find("\r\n", at) + 2;
        const std::string_view entry = std::string_view(log).substr(at, end - at);
        EXPECT_TRUE(entry.size() > 22 && HasShape(entry.substr(0, 20), "9999-99-99 99:99:99 ") &&
                    entry.substr(20).find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 \r\n") ==
                        std::string_view::npos)
            << entry;
        at = end;
    }
    EXPECT_EQ(lines, f.controller.Entries().size());

    EXPECT_EQ(f.controller.Feed("C"), "LOG CLEARED\r\n");
    EXPECT_EQ(f.controller.Feed("R"), "END OF LOG\r\n");

    for (std::size_t i = 0; i < TController::kMaxEntries + 100; ++i)
        f.controller.Log(f.controller.Now(), "EVENT " + std::to_string(i));
    ASSERT_EQ(f.controller.Entries().size(), TController::kMaxEntries);
    EXPECT_EQ(f.controller.Entries().front(), "2026-12-06 14:03:11 EVENT 100");
}

TEST(Controller, RandomEventsTellAPlausibleStory) {
    TFixture f;
    std::map<std::string, int> kinds;
    bool doorOpen[5] = {};
    int alarm = 0;
    bool powerFailed = false;
    for (int i = 0; i < 3000; ++i) {
        f.now += seconds(3);
        f.controller.AddRandomEvent();
        const std::string entry = f.controller.Entries().back();
        ASSERT_TRUE(entry.size() > 20 && HasShape(entry.substr(0, 20), "2026-12-99 99:99:99 ")) << entry;
        const std::string text = entry.substr(20);
        int n = 0;
        if (std::sscanf(text.c_str(), "DOOR %d OPEN", &n) == 1 && text.ends_with("OPEN")) {
            EXPECT_FALSE(doorOpen[n]) << text;
            doorOpen[n] = true;
        } else if (std::sscanf(text.c_str(), "DOOR %d CLOSED", &n) == 1 && text.ends_with("CLOSED")) {
            EXPECT_TRUE(doorOpen[n]) << text;
            doorOpen[n] = false;
        } else if (std::sscanf(text.c_str(), "ALARM ZONE %d", &n) == 1) {
            if (text.ends_with("RESET")) {
                EXPECT_EQ(alarm, n) << text;
                alarm = 0;
            } else {
                EXPECT_EQ(alarm, 0) << text;
                alarm = n;
            }
        } else if (text == "POWER FAIL") {
            EXPECT_FALSE(powerFailed);
            powerFailed = true;
        } else if (text == "POWER RESTORED") {
            EXPECT_TRUE(powerFailed);
            powerFailed = false;
        }
        kinds[text.substr(0, text.find_first_of("0123456789"))]++;
    }
    // Every kind of event occurs.
    for (const char* kind : {"DOOR ", "CARD ", "ALARM ZONE ", "POWER FAIL", "POWER RESTORED", "TEMPERATURE "})
        EXPECT_GT(kinds[kind], 0) << kind;
}

} // namespace

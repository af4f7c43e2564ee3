#include "console/ControllerCommands.h"

#include <gtest/gtest.h>

using namespace ControllerCommands;

namespace {
QDateTime At(int y, int mo, int d, int h, int mi, int s, int ms = 0) {
    return QDateTime(QDate(y, mo, d), QTime(h, mi, s, ms));
}
} // namespace

TEST(ControllerCommands, SettingCommandsFromOneReading) {
    struct Row {
        QDateTime now;
        const char* time;
        const char* date;
    };
    const Row rows[] = {
        {At(2026, 3, 2, 9, 5, 3), "t0905031", "d2603021"},          // Monday
        {At(2026, 3, 5, 14, 7, 9), "t1407094", "d2603054"},         // Thursday 5 March 2026
        {At(2026, 12, 6, 23, 59, 59, 999), "t2359597", "d2612067"}, // Sunday is 7; milliseconds dropped
        {At(2027, 1, 1, 0, 0, 0), "t0000005", "d2701015"},          // midnight
        {At(2005, 6, 15, 12, 0, 0), "t1200003", "d0506153"},        // two-digit year keeps its leading zero
        {At(2100, 1, 4, 8, 0, 0), "t0800001", "d10001041"},         // a wider year keeps all its digits
        {At(1999, 12, 31, 10, 0, 0), "t1000005", "d9912315"}, // before 2000: last two digits, not a wrap
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.now.toString(Qt::ISODate).toStdString());
        EXPECT_EQ(SyncTime(r.now), QByteArray(r.time));
        EXPECT_EQ(SyncDate(r.now), QByteArray(r.date));
    }
}

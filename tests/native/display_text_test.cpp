#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "app/display_text.h"

namespace {

// An 8-byte field holding `text` (at most 7 characters) and NUL bytes.
struct Field {
    explicit Field(const char* text) { std::strncpy(bytes, text, sizeof bytes); }
    char bytes[LMDATA_FIELD_SIZE] = {};
};

std::string Line(int item, const char* label, const char* reading) {
    Field f(reading);
    return FormatValueLine(item, label, f.bytes).GetString();
}

TEST(ValueLines, WorkedExamplesAreTwelveCharacters) {
    EXPECT_EQ(Line(1, "CPU :", "45.0"), "CPU :   45.0");
    EXPECT_EQ(Line(10, "+5V :", "5.02"), "+5V :  +5.02");
    EXPECT_EQ(Line(12, "+12V:", "12.03"), "+12V: +12.03");
    EXPECT_EQ(Line(13, "-12V:", "-12.05"), "-12V: -12.05");
    EXPECT_EQ(Line(4, "FAN1:", "2812"), "FAN1:   2812");
    EXPECT_EQ(Line(11, "-5V :", "-5.04"), "-5V :  -5.04");
}

TEST(ValueLines, ErrorLinesUseThePlainFormatForEveryItem) {
    EXPECT_EQ(std::string(FormatErrorLine("CPU :")), "CPU :  ERROR");
    EXPECT_EQ(std::string(FormatErrorLine("+5V :")), "+5V :  ERROR");
    EXPECT_EQ(std::string(FormatErrorLine("+12V:")), "+12V:  ERROR");
}

TEST(ValueLines, NothingIsCutAndShortLabelsArePadded) {
    EXPECT_EQ(Line(1, "Temperature:", "45.0"), "Temperature:   45.0");
    EXPECT_EQ(Line(1, "", "45.0"), "        45.0");
    EXPECT_EQ(Line(2, "PWR :", "1234567"), "PWR :  1234567");
    EXPECT_EQ(Line(3, "SYS :", "-"), "SYS :      -");
}

TEST(ValueLines, AnUnterminatedReadingIsReadWithinItsEightBytes) {
    char full[LMDATA_FIELD_SIZE];
    std::memset(full, '9', sizeof full);
    EXPECT_EQ(std::string(FormatValueLine(1, "CPU :", full)), "CPU :  99999999");
}

TEST(ValueLines, ItemsMapToRecordFieldsInDisplayOrder) {
    const int expected[] = {LM_CPU, LM_PWR, LM_SYS, LM_FAN1, LM_FAN2, LM_FAN3, LM_VID,
                            LM_VTT, LM_V33, LM_VP5, LM_VM5,  LM_VP12, LM_VM12};
    for (int item = 1; item <= 13; ++item)
        EXPECT_EQ(FieldOfItem(item), expected[item - 1]);
    EXPECT_EQ(FieldOfItem(0), -1);
    EXPECT_EQ(FieldOfItem(14), -1);
    Field f("45.0");
    EXPECT_TRUE(FormatValueLine(0, "x", f.bytes).IsEmpty());
}

TEST(StatusTexts, DefaultSettingsGiveTwelveCharacterTexts) {
    BarSettings s;
    s.m_strHostName = "localhost";
    s.m_strSection = "SERVER2";
    s.m_nMonitorTimer = 60;
    s.m_nSocketTimer = 2000;
    EXPECT_EQ(std::string(FormatStatusText(STATUS_HOST, s, 0)), "localhost");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_SECTION, s, 0)), "SERVER2");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_MONITOR, s, 0)), "MON :     60");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_SOCKET, s, 0)), "SOCK:   2000");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_ERRORS, s, 0)), "ERR :      0");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_ERRORS, s, 1)), "ERR :      1");
    EXPECT_EQ(std::string(FormatStatusText(STATUS_ERRORS, s, 1234567)), "ERR : 1234567");
    EXPECT_TRUE(FormatStatusText(5, s, 0).IsEmpty());
}

TEST(StatusTexts, FiveAdvancesReturnToTheStartingMode) {
    for (int start = 0; start <= 4; ++start) {
        int mode = start;
        for (int i = 0; i < 5; ++i)
            mode = NextStatusMode(mode);
        EXPECT_EQ(mode, start);
    }
    EXPECT_EQ(NextStatusMode(4), 0);
    EXPECT_EQ(NextStatusMode(5), -1);
    EXPECT_EQ(NextStatusMode(255), -1);
    EXPECT_EQ(NextStatusMode(-1), -1);
}

TEST(SlotMap, EntriesOutsideTheTableAreNotShown) {
    int map[BAR_ITEMS];
    for (int k = 0; k < BAR_ITEMS; ++k)
        map[k] = k;
    map[3] = 14;
    map[4] = -1;
    map[5] = 2147483647;
    map[6] = 0;
    EXPECT_EQ(SlotOfItem(map, 0), 0);
    EXPECT_EQ(SlotOfItem(map, 13), 13);
    EXPECT_EQ(SlotOfItem(map, 3), -1);
    EXPECT_EQ(SlotOfItem(map, 4), -1);
    EXPECT_EQ(SlotOfItem(map, 5), -1);
    EXPECT_EQ(SlotOfItem(map, 6), 0);
    EXPECT_EQ(SlotOfItem(map, 14), -1);
}

TEST(SlotMap, AlarmsReachTheSlotsThatShowTheirReadings) {
    int map[BAR_ITEMS];
    for (int k = 0; k < BAR_ITEMS; ++k)
        map[k] = k;
    // Record field 0 (CPU) is item 1 in slot 1; field 10 (FAN1) is item 4; field 3 (VID) item 7.
    EXPECT_EQ(SlotsInAlarm(map, 0), 0u);
    EXPECT_EQ(SlotsInAlarm(map, 1u << LM_CPU), 1u << 1);
    EXPECT_EQ(SlotsInAlarm(map, (1u << LM_FAN1) | (1u << LM_VID)), (1u << 4) | (1u << 7));
    EXPECT_EQ(SlotsInAlarm(map, 0x1FFF), 0x3FFEu);  // every value slot, never the status slot

    // A rearranged bar: CPU in slot 13, -12V (item 13) in slot 1.
    map[1] = 13;
    map[13] = 1;
    EXPECT_EQ(SlotsInAlarm(map, 1u << LM_CPU), 1u << 13);
    EXPECT_EQ(SlotsInAlarm(map, 1u << LM_VM12), 1u << 1);

    // Two items in one slot: the later one written (item 13) is the one shown.
    map[1] = 5;
    map[13] = 5;
    EXPECT_EQ(SlotsInAlarm(map, 1u << LM_CPU), 0u);
    EXPECT_EQ(SlotsInAlarm(map, 1u << LM_VM12), 1u << 5);
    // A value line sharing the status slot, or not shown at all, marks nothing.
    map[1] = 0;
    map[2] = 99;
    EXPECT_EQ(SlotsInAlarm(map, (1u << LM_CPU) | (1u << LM_PWR)), 0u);
}

}  // namespace

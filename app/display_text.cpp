#include "app/display_text.h"

#include <cstring>

namespace {

struct ItemFormat {
    int field;           // record field of the reading
    const char* format;  // label first, reading second
};

// Items 1 to 13 in display order: temperatures, fans, voltages.
constexpr ItemFormat kItems[BAR_LABELS] = {
    {LM_CPU, "%5s  %5s"},  {LM_PWR, "%5s  %5s"},  {LM_SYS, "%5s  %5s"}, {LM_FAN1, "%5s  %5s"},
    {LM_FAN2, "%5s  %5s"}, {LM_FAN3, "%5s  %5s"}, {LM_VID, "%5s  %5s"}, {LM_VTT, "%5s  %5s"},
    {LM_V33, "%5s  %5s"},  {LM_VP5, "%5s  +%4s"}, {LM_VM5, "%5s  %5s"}, {LM_VP12, "%5s +%5s"},
    {LM_VM12, "%5s %6s"},
};

bool IsValueItem(int item) {
    return item >= 1 && item <= BAR_LABELS;
}

}  // namespace

int FieldOfItem(int item) {
    return IsValueItem(item) ? kItems[item - 1].field : -1;
}

CString FormatValueLine(int item, const char* label, const char (&reading)[LMDATA_FIELD_SIZE]) {
    CString line;
    if (!IsValueItem(item))
        return line;
    char text[LMDATA_FIELD_SIZE + 1] = {};
    std::memcpy(text, reading, LMDATA_FIELD_SIZE);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    line.Format(kItems[item - 1].format, label, text);
#pragma GCC diagnostic pop
    return line;
}

CString FormatErrorLine(const char* label) {
    CString line;
    line.Format("%5s  %5s", label, "ERROR");
    return line;
}

CString FormatWindowTitle(const BarSettings& s) {
    if (s.m_bTitleHostOnly)
        return s.m_strHostName;
    CString title;
    title.Format("TERVALO - %s", s.m_strHostName.GetString());
    return title;
}

CString FormatStatusText(int mode, const BarSettings& s, int errorCount) {
    CString text;
    switch (mode) {
        case STATUS_HOST:
            text.Format("%s", s.m_strHostName.GetString());
            break;
        case STATUS_SECTION:
            text.Format("%s", s.m_strSection.GetString());
            break;
        case STATUS_MONITOR:
            text.Format("MON : %6d", s.m_nMonitorTimer);
            break;
        case STATUS_SOCKET:
            text.Format("SOCK: %6d", s.m_nSocketTimer);
            break;
        case STATUS_ERRORS:
            text.Format("ERR : %6d", errorCount);
            break;
        default:
            break;
    }
    return text;
}

int NextStatusMode(int mode) {
    if (mode < STATUS_HOST || mode > STATUS_ERRORS)
        return -1;
    return mode == STATUS_ERRORS ? STATUS_HOST : mode + 1;
}

int SlotOfItem(const int (&indicator)[BAR_ITEMS], int item) {
    if (item < 0 || item >= BAR_ITEMS)
        return -1;
    const int slot = indicator[item];
    return slot >= 0 && slot < BAR_SLOTS ? slot : -1;
}

// The sensor plug-in as the bar sees it: VORNPLUG.dll exports the class VORNPLUG, which is
// opened once on a host, asked once per poll to fill an LMDATA record, and closed at exit.
#pragma once

#include <cstddef>

#if defined(_WIN32)
#if defined(VORNPLUG_BUILDING_DLL)
#define VORNPLUG_API __declspec(dllexport)
#else
#define VORNPLUG_API __declspec(dllimport)
#endif
#else
#define VORNPLUG_API
#endif

enum { LMDATA_FIELDS = 13, LMDATA_FIELD_SIZE = 8 };

// Record order of the fields.
enum LmField {
    LM_CPU, LM_PWR, LM_SYS, LM_VID, LM_VTT, LM_V33, LM_VP5, LM_VM5, LM_VP12, LM_VM12,
    LM_FAN1, LM_FAN2, LM_FAN3
};

// One poll's readings: thirteen short texts, each NUL-terminated within its 8 bytes.
struct LMDATA {
    char szText[LMDATA_FIELDS][LMDATA_FIELD_SIZE];
};
static_assert(sizeof(LMDATA) == 104, "LMDATA is 13 fields of 8 bytes");

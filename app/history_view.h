// What the history window shows, apart from drawing it: the spans and their resolutions, one
// fetched span of the thirteen readings, the figures over it (current, minimum, mean,
// maximum, alarm periods), value texts in each reading's unit, and the span as CSV text.
// Portable, so that the figures and the CSV are tested without Windows.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "plugin_api/vornplug.h"

enum { HISTORY_SPANS = 4 };

struct HistorySpanInfo {
    long long seconds;       // how far back the span reaches
    int resolution;          // VORNHIST_*
    unsigned int refreshMs;  // how often an open window fetches it again
};

// Span 0 to 3: 10 minutes and 1 hour by the second, 24 hours by the minute, 30 days by the
// quarter hour. Any other number is taken as span 1.
const HistorySpanInfo& SpanInfo(int span);
// Slots the span holds at its resolution, the current one included.
unsigned int SlotsOfSpan(int span);

// One reading's history over the span as GetHistory returned it.
struct HistorySeries {
    int result = VORNHIST_FAILED;  // a VornHistoryResult
    VORNHISTORY info{};
    std::vector<VORNHISTSLOT> slots;  // info.nSlots of them
};

// The thirteen readings (record order) over one span, fetched together.
struct HistorySet {
    int span = 1;
    HistorySeries series[LMDATA_FIELDS];
};

// The figures of one series over its slots, gaps left out.
struct SeriesFigures {
    bool any = false;            // some slot has a value
    int current = VORNHIST_GAP;  // the newest value (the newest slot's mean)
    int min = VORNHIST_GAP;
    int mean = VORNHIST_GAP;  // the mean of the slots' means, rounded half away from zero
    int max = VORNHIST_GAP;
};
SeriesFigures FiguresOf(const HistorySeries& series);

// Runs of slots in alarm, as [first, last] slot indexes, oldest first.
std::vector<std::pair<unsigned int, unsigned int>> AlarmRuns(const HistorySeries& series);

// The outcome of a fetch as a whole: VORNHIST_OK when any reading came back, else the
// result the readings agree on, or the first reading's.
int SetResult(const HistorySet& set);

// A value of record field `field` in its unit: "45.5" (0.1 degC), "-12.049" (0.001 V),
// "2812" (RPM); "" for a gap.
std::string FormatFixed(int field, int value);
// "C", "V" or "rpm".
const char* UnitOfField(int field);
// The CSV column names of the readings in display order: CPU, PWR, SYS, FAN1 ... -12V.
const char* ColumnName(int column);
// The record field of CSV column `column` (0 to 12).
int FieldOfColumn(int column);

// Seconds since 1970 as ISO 8601 UTC: "2025-12-01T00:00:05Z".
std::string FormatIsoUtc(long long unixSeconds);

// The set as CSV text, lines ended by CR LF: a header line, then one line per slot from the
// oldest to the newest slot any reading has, times in ISO 8601 UTC, empty fields for gaps.
// Spans by the second have one column per reading; the others _min, _mean and _max.
std::string FormatHistoryCsv(const HistorySet& set);

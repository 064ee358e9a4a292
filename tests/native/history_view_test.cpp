// The history window's figures and CSV text, from spans built here.
#include "app/history_view.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr long long kT0 = 1764547200;  // 2025-12-01T00:00:00Z
constexpr int kGap = VORNHIST_GAP;

HistorySeries Series(long long first, unsigned int step, std::vector<VORNHISTSLOT> slots) {
    HistorySeries s;
    s.result = VORNHIST_OK;
    s.info.llFirst = first;
    s.info.llNow = first + static_cast<long long>(slots.size()) * step;
    s.info.nStep = step;
    s.info.nSlots = static_cast<unsigned int>(slots.size());
    s.slots = std::move(slots);
    return s;
}

VORNHISTSLOT Sample(int v, int alarm = 0) {
    return VORNHISTSLOT{v, v, v, alarm};
}

VORNHISTSLOT Gap() {
    return VORNHISTSLOT{kGap, kGap, kGap, 0};
}

std::vector<std::string> LinesOf(const std::string& csv) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < csv.size()) {
        const std::size_t end = csv.find("\r\n", at);
        EXPECT_NE(end, std::string::npos) << "every line ends with CR LF";
        if (end == std::string::npos)
            break;
        lines.push_back(csv.substr(at, end - at));
        at = end + 2;
    }
    return lines;
}

std::vector<std::string> FieldsOf(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream in(line);
    std::string field;
    while (std::getline(in, field, ','))
        fields.push_back(field);
    if (!line.empty() && line.back() == ',')
        fields.emplace_back();
    return fields;
}

TEST(HistoryViewSpans, FourSpansAndTheirResolutions) {
    EXPECT_EQ(SpanInfo(0).seconds, 600);
    EXPECT_EQ(SpanInfo(0).resolution, VORNHIST_SAMPLES);
    EXPECT_EQ(SlotsOfSpan(1), 3600u);
    EXPECT_EQ(SpanInfo(2).resolution, VORNHIST_MINUTES);
    EXPECT_EQ(SlotsOfSpan(2), 1440u);
    EXPECT_EQ(SpanInfo(3).resolution, VORNHIST_QUARTER_HOURS);
    EXPECT_EQ(SlotsOfSpan(3), 2880u) << "30 days by the quarter hour";
    EXPECT_EQ(&SpanInfo(7), &SpanInfo(1)) << "a span out of range is an hour";
    EXPECT_EQ(&SpanInfo(-1), &SpanInfo(1));
}

TEST(HistoryViewText, ValuesInTheirUnitsAndTimesInUtc) {
    EXPECT_EQ(FormatFixed(LM_CPU, 455), "45.5");
    EXPECT_EQ(FormatFixed(LM_SYS, -35), "-3.5");
    EXPECT_EQ(FormatFixed(LM_PWR, -5), "-0.5");
    EXPECT_EQ(FormatFixed(LM_VM12, -12049), "-12.049");
    EXPECT_EQ(FormatFixed(LM_V33, 3300), "3.300");
    EXPECT_EQ(FormatFixed(LM_VID, 7), "0.007");
    EXPECT_EQ(FormatFixed(LM_FAN3, 2812), "2812");
    EXPECT_EQ(FormatFixed(LM_FAN1, 0), "0");
    EXPECT_EQ(FormatFixed(LM_VP12, 2147483647), "2147483.647");
    EXPECT_EQ(FormatFixed(LM_FAN2, -2147483647), "-2147483647");
    EXPECT_EQ(FormatFixed(LM_CPU, kGap), "") << "a gap is no text";
    EXPECT_EQ(FormatIsoUtc(kT0 + 5), "2025-12-01T00:00:05Z");
    EXPECT_EQ(FormatIsoUtc(0), "1970-01-01T00:00:00Z");
    EXPECT_EQ(FormatIsoUtc(951825599), "2000-02-29T11:59:59Z") << "a leap day";
    EXPECT_EQ(FormatIsoUtc(4102444800), "2100-01-01T00:00:00Z");
}

TEST(HistoryViewFigures, MinimumMeanMaximumCurrentAndAlarmRunsLeaveGapsOut) {
    const HistorySeries s = Series(
        kT0, 1, {Gap(), Sample(400), Sample(915, 1), Sample(700, 1), Gap(), Sample(401, 1), Gap()});
    const SeriesFigures f = FiguresOf(s);
    EXPECT_TRUE(f.any);
    EXPECT_EQ(f.min, 400);
    EXPECT_EQ(f.max, 915);
    EXPECT_EQ(f.mean, 604) << "(400 + 915 + 700 + 401) / 4 = 604";
    EXPECT_EQ(f.current, 401) << "the newest value, past the trailing gap";
    const auto runs = AlarmRuns(s);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0], std::make_pair(2u, 3u));
    EXPECT_EQ(runs[1], std::make_pair(5u, 5u));

    // Minutes: the extremes of the slots' extremes, the mean of their means; negative halves
    // round away from zero.
    const HistorySeries m =
        Series(kT0, 60,
               {VORNHISTSLOT{-12100, -12050, -12000, 0}, VORNHISTSLOT{-12003, -12001, -11990, 0}});
    const SeriesFigures g = FiguresOf(m);
    EXPECT_EQ(g.min, -12100);
    EXPECT_EQ(g.max, -11990);
    EXPECT_EQ(g.mean, -12026) << "-24051 / 2 = -12025.5";

    const SeriesFigures none = FiguresOf(Series(kT0, 1, {Gap(), Gap()}));
    EXPECT_FALSE(none.any);
    EXPECT_EQ(none.current, kGap);
    HistorySeries failed;
    failed.result = VORNHIST_UNSUPPORTED;
    failed.info.nSlots = 5;  // more than it holds: never read
    EXPECT_FALSE(FiguresOf(failed).any);
    EXPECT_TRUE(AlarmRuns(failed).empty());
}

TEST(HistoryViewCsv, SamplesHaveOneColumnPerReadingInDisplayOrderAndEmptyGaps) {
    HistorySet set;
    set.span = 0;
    set.series[LM_CPU] = Series(kT0, 1, {Sample(400), Sample(915), Gap()});
    set.series[LM_FAN1] = Series(kT0 + 1, 1, {Sample(2812), Sample(2800), Sample(2790)});
    set.series[LM_VM12] = Series(kT0, 1, {Sample(-12049), Gap(), Sample(-12000)});
    set.series[LM_VID].result = VORNHIST_FAILED;
    const std::vector<std::string> lines = LinesOf(FormatHistoryCsv(set));
    ASSERT_EQ(lines.size(), 5u) << "the header and the seconds kT0 to kT0 + 3";
    EXPECT_EQ(lines[0], "time,CPU,PWR,SYS,FAN1,FAN2,FAN3,VID,VTT,3.3V,+5V,-5V,+12V,-12V");
    EXPECT_EQ(lines[1], "2025-12-01T00:00:00Z,40.0,,,,,,,,,,,,-12.049");
    EXPECT_EQ(lines[2], "2025-12-01T00:00:01Z,91.5,,,2812,,,,,,,,,");
    EXPECT_EQ(lines[3], "2025-12-01T00:00:02Z,,,,2800,,,,,,,,,-12.000");
    EXPECT_EQ(lines[4], "2025-12-01T00:00:03Z,,,,2790,,,,,,,,,");
    for (const std::string& line : lines)
        EXPECT_EQ(FieldsOf(line).size(), 14u) << line;
}

TEST(HistoryViewCsv, MinutesAndQuarterHoursHaveMinimumMeanMaximumColumns) {
    for (int span : {2, 3}) {
        SCOPED_TRACE(span);
        const unsigned int step = span == 2 ? 60 : 900;
        HistorySet set;
        set.span = span;
        set.series[LM_CPU] = Series(kT0, step, {VORNHISTSLOT{400, 455, 915, 1}, Gap()});
        set.series[LM_FAN3] = Series(kT0, step, {VORNHISTSLOT{2700, 2750, 2812, 0}, Gap()});
        const std::vector<std::string> lines = LinesOf(FormatHistoryCsv(set));
        ASSERT_EQ(lines.size(), 3u);
        const std::vector<std::string> header = FieldsOf(lines[0]);
        ASSERT_EQ(header.size(), 1u + 13u * 3u);
        EXPECT_EQ(header[1], "CPU_min");
        EXPECT_EQ(header[2], "CPU_mean");
        EXPECT_EQ(header[3], "CPU_max");
        EXPECT_EQ(header[16], "FAN3_min") << "FAN3 is the sixth column";
        EXPECT_EQ(header[39], "-12V_max");
        const std::vector<std::string> first = FieldsOf(lines[1]);
        ASSERT_EQ(first.size(), header.size());
        EXPECT_EQ(first[0], "2025-12-01T00:00:00Z");
        EXPECT_EQ(first[1], "40.0");
        EXPECT_EQ(first[2], "45.5");
        EXPECT_EQ(first[3], "91.5");
        EXPECT_EQ(first[18], "2812");
        EXPECT_EQ(first[4], "") << "PWR never read";
        EXPECT_EQ(FieldsOf(lines[2])[0], FormatIsoUtc(kT0 + step));
        EXPECT_EQ(FieldsOf(lines[2])[1], "");
    }
}

TEST(HistoryViewCsv, NothingFetchedIsTheHeaderAloneAndAWrongStepIsLeftOut) {
    HistorySet set;
    set.span = 1;
    EXPECT_EQ(LinesOf(FormatHistoryCsv(set)).size(), 1u);
    // A series whose step is not the span's (a stale fetch) is not mixed in.
    set.series[LM_CPU] = Series(kT0, 60, {Sample(400)});
    EXPECT_EQ(LinesOf(FormatHistoryCsv(set)).size(), 1u);
    EXPECT_EQ(SetResult(set), VORNHIST_OK);
    HistorySet refused;
    for (HistorySeries& s : refused.series)
        s.result = VORNHIST_UNSUPPORTED;
    EXPECT_EQ(SetResult(refused), VORNHIST_UNSUPPORTED);
}

}  // namespace
